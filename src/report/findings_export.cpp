#include "report/findings_export.h"

#include <array>
#include <optional>

#include "db/finding_counters.h"
#include "files/file_error.h"
#include "files/file_names.h"
#include "report/findings_text.h"
#include "store/fault_injection.h"
#include "ui/unattended.h"

namespace velumtar {

namespace {

constexpr std::size_t kTailChunk = 64 * 1024;

char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i]))
            return false;
    }
    return true;
}

bool switchedOn(const std::optional<std::string>& value) {
    return value && (*value == "1" || sameText(*value, "on"));
}

// Whether the last part of `name` is one of the tool's own files, which the
// findings file must never replace.
bool namesOwnFile(std::string_view name) {
    const std::size_t cut = name.find_last_of("\\/:");
    const std::string_view last = cut == std::string_view::npos ? name : name.substr(cut + 1);
    constexpr std::array<std::string_view, 9> kOwn = {
        "VELUMTAR.DBI", "VELUMTAR.TXT", "VELUMTAR.LOG", "VELUMTAR.AKT", "VELUCMPT.TMP",
        "VELUTMPA.TMP", "VELULSTA.TMP", "VELULIST.EXT", "VELULIST.DBI"};
    for (std::string_view own : kOwn) {
        if (sameText(last, own))
            return true;
    }
    return false;
}

}  // namespace

FindingsExport::FindingsExport(Platform& platform, MessageService& messages,
                               std::string_view program)
    : platform_(platform), messages_(messages), program_(program) {}

FindingsExport::~FindingsExport() = default;

void FindingsExport::begin(std::string_view command) {
    const bool systemLog = switchedOn(platform_.environment("VELUMTAR_SYSTEM_LOG"));
    std::optional<std::string> name = platform_.environment("VELUMTAR_FINDINGS");
    if (name && name->empty())
        name.reset();
    // Nothing asked for: nothing is done, not even the clock read.
    if (!systemLog && !name)
        return;
    begun_ = true;
    command_ = command;
    start_ = platform_.localDateTime();
    if (systemLog)
        systemLog_ = platform_.openSystemLog();
    if (!name)
        return;
    target_ = absoluteName(platform_, *name);
    part_ = target_ + ".part";
    if (namesOwnFile(target_) || !openPart())
        fail(kOpen);
    else if (!writeRecord(findings::startRecord(program_, command_, start_)))
        fail(kWrite);
}

// Opens the part file where the last run left it: a run that ended early
// left whole records, and perhaps part of one, which is cut off.
bool FindingsExport::openPart() {
    if (injectedFault(platform_, FaultKind::open, target_))
        return false;
    PlatformStatus status = PlatformStatus::ok;
    file_ = platform_.openFile(part_, OpenMode::readWrite, status);
    std::uint64_t size = 0;
    if (!file_ || file_->size(size) != PlatformStatus::ok)
        return false;
    offset_ = size;
    char last = '\n';
    std::size_t got = 0;
    if (size == 0 ||
        (file_->read(size - 1, &last, 1, got) == PlatformStatus::ok && got == 1 && last == '\n')) {
        return true;
    }
    std::string chunk(kTailChunk, '\0');
    offset_ = 0;
    for (std::uint64_t end = size; end > 0;) {
        const std::uint64_t begin = end > kTailChunk ? end - kTailChunk : 0;
        const std::size_t length = static_cast<std::size_t>(end - begin);
        if (file_->read(begin, chunk.data(), length, got) != PlatformStatus::ok || got != length)
            return false;
        const std::size_t lineEnd = std::string_view(chunk.data(), length).rfind('\n');
        if (lineEnd != std::string_view::npos) {
            offset_ = begin + lineEnd + 1;
            break;
        }
        end = begin;
    }
    return file_->truncate(offset_) == PlatformStatus::ok;
}

bool FindingsExport::writeRecord(const std::string& line) {
    if (!file_)
        return false;
    if (injectedFault(platform_, FaultKind::write, target_) ||
        file_->write(offset_, line.data(), line.size()) != PlatformStatus::ok) {
        // A full device may have taken part of the record: cut it off again.
        (void)file_->truncate(offset_);
        return false;
    }
    offset_ += line.size();
    return true;
}

void FindingsExport::fail(std::string_view operation, bool quietly) {
    file_.reset();
    if (failed_)
        return;
    failed_ = true;
    if (!quietly)
        reportFileError(messages_, operation, target_);
}

void FindingsExport::send(const SystemEvent& event) {
    if (systemLog_->send(event))
        ++eventsSent_;
    else
        ++eventsFailed_;
}

bool FindingsExport::collect(const Finding& finding) {
    kinds_ |= 1u << finding.kind;
    if (!target_.empty()) {
        if (!writeRecord(findings::findingRecord(finding))) {
            fail(kWrite);
            return false;
        }
        ++findings_;
    }
    if (systemLog_)
        send(findings::findingEvent(finding));
    return true;
}

bool FindingsExport::sync(bool quietly) {
    if (target_.empty())
        return true;
    if (file_ && !injectedFault(platform_, FaultKind::commit, target_) &&
        file_->sync() == PlatformStatus::ok) {
        return true;
    }
    fail(kWrite, quietly);
    return false;
}

void FindingsExport::errorShown(std::string_view text) {
    ++errorsShown_;
    if (file_ && !writeRecord(findings::errorRecord(text)))
        fail(kWrite);
}

void FindingsExport::finish(std::string_view ran, bool completed, const FindingCounters& counters) {
    if (!begun_)
        return;
    begun_ = false;
    const LocalDateTime end = platform_.localDateTime();
    const bool systemLogAsked = systemLog_ != nullptr;
    if (systemLogAsked)
        send(findings::runEvent(ran, completed && !failed_, counters, errorsShown_));
    systemLog_.reset();
    if (!file_)
        return;
    const findings::RunRecord run{.command = command_,
                                  .ran = ran,
                                  .start = start_,
                                  .end = end,
                                  .completed = completed,
                                  .counters = &counters,
                                  .findings = findings_,
                                  .errorsShown = errorsShown_,
                                  .systemLogAsked = systemLogAsked,
                                  .eventsSent = eventsSent_,
                                  .eventsFailed = eventsFailed_};
    if (!writeRecord(findings::runRecord(run))) {
        fail(kWrite);
        return;
    }
    if (!sync(false))
        return;
    file_.reset();
    if (injectedFault(platform_, FaultKind::rename, target_) ||
        platform_.replaceFile(part_, target_) != PlatformStatus::ok) {
        fail(kWrite);
    }
}

}  // namespace velumtar
