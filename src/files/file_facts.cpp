#include "files/file_facts.h"

#include "util/text_field.h"

namespace velumtar {

namespace {

bool allDigits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

}  // namespace

FileFacts zeroFacts(bool longPath) {
    FileFacts f;
    RecordView v = f.view();
    if (longPath)
        v.at(facts::longPathMark) = 'L';
    v.set(facts::date, "00000000");
    v.set(facts::time, "000000");
    v.set(facts::size, "0000000000000000");
    return f;
}

FileFacts factsFrom(const FileInformation& info, std::uint8_t attributes,
                    std::string_view userExtension) {
    FileFacts f;
    RecordView v = f.view();
    v.set(facts::year, digits(static_cast<std::uint64_t>(info.year), 4));
    v.set(facts::month, digits(static_cast<std::uint64_t>(info.month), 2));
    v.set(facts::day, digits(static_cast<std::uint64_t>(info.day), 2));
    v.set(facts::hour, digits(static_cast<std::uint64_t>(info.hour), 2));
    v.set(facts::minute, digits(static_cast<std::uint64_t>(info.minute), 2));
    v.set(facts::second, digits(static_cast<std::uint64_t>(info.second), 2));
    v.set(facts::size, digits(info.size, 16));
    if (attributes & attr::archive)
        v.at(facts::archive) = 'A';
    if (attributes & attr::readOnly)
        v.at(facts::readOnly) = 'R';
    if (attributes & attr::system)
        v.at(facts::system) = 'S';
    if (attributes & attr::hidden)
        v.at(facts::hidden) = 'H';
    if (userExtension.find_first_not_of(' ') != std::string_view::npos) {
        v.at(facts::extensionMark) = 'E';
        v.set(facts::userExtension, userExtension);
    }
    return f;
}

bool buildFacts(Platform& platform, std::string_view path, std::string_view userExtension,
                FileFacts& out) {
    FileInformation info;
    std::string quoted = "\"" + std::string(trimmedRight(path)) + "\"";
    if (platform.fileInformation(quoted, info) != PlatformStatus::ok)
        return false;
    out = factsFrom(info, info.attributes, userExtension);
    return true;
}

RunStamp::RunStamp(Platform& clock) : clock_(clock) {}

bool RunStamp::plausibleDate(std::string_view d) {
    if (d.size() != 8 || !allDigits(d))
        return false;
    if (d.substr(0, 4) == "0000")
        return false;
    std::string_view month = d.substr(4, 2), day = d.substr(6, 2);
    if (month == "00" || month > "12" || day == "00")
        return false;
    int m = (month[0] - '0') * 10 + (month[1] - '0');
    return day <= MonthLengths[static_cast<std::size_t>(m - 1)];
}

bool RunStamp::plausibleTime(std::string_view t) {
    if (t.size() != 8 || !allDigits(t))
        return false;
    return t.substr(0, 2) <= "24" && t.substr(2, 2) <= "60";
}

void RunStamp::read() {
    invalid_ = false;
    LocalDateTime now = clock_.localDateTime();
    if (!plausibleDate(now.date)) {
        invalid_ = true;
        return;
    }
    date_ = now.date.substr(0, 4) + "." + now.date.substr(4, 2) + "." + now.date.substr(6, 2);
    invalid_ = false;
    if (!plausibleTime(now.time)) {
        invalid_ = true;
        return;
    }
    time_ = now.time.substr(0, 2) + ":" + now.time.substr(2, 2) + "-" + now.time.substr(4, 2) +
            ":" + now.time.substr(6, 2);
}

}  // namespace velumtar
