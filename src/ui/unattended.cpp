#include "ui/unattended.h"

#include <cstdio>

#include "util/json_text.h"
#include "util/text_field.h"

namespace velumtar {

namespace {

constexpr unsigned kButtonsMask = 0x0F;
constexpr unsigned kDefaultButton2 = 0x100;
constexpr int kIdOk = 1, kIdCancel = 2, kIdRetry = 4, kIdYes = 6, kIdNo = 7;

}  // namespace

std::string jsonString(std::string_view text) {
    return jsonText(text, InvalidByte::asCodePoint);
}

std::string absoluteName(Platform& platform, std::string name) {
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    const bool absolute = (!name.empty() && (name[0] == '/' || name[0] == '\\')) ||
                          (name.size() >= 2 && name[1] == ':');
    std::string directory;
    if (absolute || !platform.currentDirectory(directory))
        return name;
    return directory + "\\" + name;
}

Unattended::Unattended(Platform& platform) : platform_(platform) {
    transcript_ = platform.environment("VELUMTAR_TRANSCRIPT");
    if (transcript_ && transcript_->empty())
        transcript_.reset();
    // Boxes shown during the walk must not land in the directory it is in.
    if (transcript_)
        transcript_ = absoluteName(platform, *transcript_);
    answers_ = platform.environment("VELUMTAR_ANSWERS").value_or("");
    // A final '*' repeats the last answer letter for every further question,
    // so that a scheduled run can say Yes to however many locked directories
    // it meets.
    if (!answers_.empty() && answers_.back() == '*') {
        answers_.pop_back();
        std::size_t last = answers_.find_last_of("YyNn");
        if (last != std::string::npos)
            repeated_ = answers_[last];
    }
}

int Unattended::answerFor(unsigned type) {
    unsigned buttons = type & kButtonsMask;
    bool second = (type & kDefaultButton2) != 0;
    switch (buttons) {
        case 4:  // Yes, No
        case 3:  // Yes, No, Cancel
            while (nextAnswer_ < answers_.size()) {
                char a = answers_[nextAnswer_++];
                if (a == 'Y' || a == 'y')
                    return kIdYes;
                if (a == 'N' || a == 'n')
                    return kIdNo;
            }
            if (repeated_ != '\0')
                return repeated_ == 'Y' || repeated_ == 'y' ? kIdYes : kIdNo;
            return second ? kIdNo : kIdYes;
        case 5:  // Retry, Cancel
            return second ? kIdCancel : kIdRetry;
        case 1:  // OK, Cancel
            return second ? kIdCancel : kIdOk;
        default:
            return kIdOk;
    }
}

void Unattended::append(const std::string& line) {
    PlatformStatus status;
    std::unique_ptr<File> file = platform_.openFile(*transcript_, OpenMode::append, status);
    if (!file)
        return;
    std::uint64_t size = 0;
    if (file->size(size) != PlatformStatus::ok)
        return;
    // The transcript is a record for the one who reads it; a line it cannot
    // take changes nothing in the run.
    (void)file->write(size, line.data(), line.size());
}

void Unattended::recordBox(std::string_view caption, char style, unsigned type,
                           std::string_view text, char answer) {
    std::string line = "{\"caption\": " + jsonString(caption) +
                       ", \"style\": " + jsonString(std::string(1, style)) +
                       ", \"type\": " + std::to_string(type) + ", \"text\": " + jsonString(text) +
                       ", \"answer\": " + jsonString(std::string(1, answer)) + "}\n";
    append(line);
}

void Unattended::recordLaunch(std::string_view commandLine, int show, bool wait) {
    std::string line = "{\"launch\": " + jsonString(commandLine) +
                       ", \"show\": " + std::to_string(show) +
                       ", \"wait\": " + (wait ? "true" : "false") + "}\n";
    append(line);
}

}  // namespace velumtar
