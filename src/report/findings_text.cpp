#include "report/findings_text.h"

#include <cstdio>

#include "files/file_contents.h"
#include "files/file_facts.h"
#include "files/record_view.h"
#include "util/json_text.h"
#include "util/text_field.h"

namespace velumtar::findings {

namespace {

constexpr std::string_view kKindNames[] = {"New", "Changed", "Deleted", "LOCKED"};

// The texts of the message table (resources/velumtar_events.mc holds the
// same for the Windows event log).
constexpr std::string_view kRunTemplate =
    "%1 %2: %3 New, %4 Changed, %5 Deleted, %6 LOCKED, %7 errors shown.";
constexpr std::string_view kFindingTemplates[] = {
    "New: %1 (written %2, %3 bytes, attributes %4)",
    "Changed: %1 (now written %2, %3 bytes, attributes %4)",
    "Deleted: %1 (last recorded as written %2, %3 bytes, attributes %4)",
    "LOCKED %1, not examined: %2",
};

bool allDigits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return !text.empty();
}

// "YYYY-MM-DD" + `separator` + "hh:mm:ss" from the facts' date and time;
// empty when they are not digits.
std::string writtenAt(RecordView facts, char separator) {
    std::string_view date = facts.get(facts::date);
    std::string_view time = facts.get(facts::time);
    if (!allDigits(date) || !allDigits(time))
        return "";
    std::string out;
    out.append(date.substr(0, 4)).append("-").append(date.substr(4, 2)).append("-");
    out.append(date.substr(6, 2)).append(1, separator).append(time.substr(0, 2)).append(":");
    out.append(time.substr(2, 2)).append(":").append(time.substr(4, 2));
    return out;
}

// The size without its leading zeros; empty when it is not digits.
std::string sizeOf(RecordView facts) {
    std::string_view size = facts.get(facts::size);
    if (!allDigits(size))
        return "";
    std::size_t first = size.find_first_not_of('0');
    return first == std::string_view::npos ? "0" : std::string(size.substr(first));
}

// The attribute letters set, in the order archive, read-only, system, hidden.
std::string attributesOf(RecordView facts) {
    std::string out;
    for (char c : facts.get(facts::attributes)) {
        if (c != ' ')
            out += c;
    }
    return out;
}

// "YYYY-MM-DDThh:mm:ss.cc" from the clock's reading; the reading as it is
// when it is not digits.
std::string clockText(const LocalDateTime& at) {
    if (at.date.size() != 8 || at.time.size() != 8 || !allDigits(at.date) || !allDigits(at.time)) {
        return at.date + at.time;
    }
    return at.date.substr(0, 4) + "-" + at.date.substr(4, 2) + "-" + at.date.substr(6, 2) + "T" +
           at.time.substr(0, 2) + ":" + at.time.substr(2, 2) + ":" + at.time.substr(4, 2) + "." +
           at.time.substr(6, 2);
}

std::string factsObject(const FileFacts& given) {
    FileFacts copy = given;
    RecordView facts = copy.view();
    std::string written = writtenAt(facts, 'T');
    std::string size = sizeOf(facts);
    std::string out = "{\"written\": " + (written.empty() ? "null" : jsonText(written)) +
                      ", \"size\": " + (size.empty() ? "null" : size) +
                      ", \"attributes\": " + jsonText(attributesOf(facts));
    const std::string fingerprint = fingerprintOf(given.str());
    if (!allBlank(fingerprint))
        out += ", \"fingerprint\": " + jsonText(fingerprint);
    return out + "}";
}

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const unsigned char b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string shownPath(const Finding& finding) {
    return std::string(finding.path) + (finding.cut ? "..." : "");
}

SystemEvent composed(unsigned id, EventLevel level, std::vector<std::string> inserts) {
    SystemEvent event{.id = id, .level = level, .inserts = std::move(inserts), .text = ""};
    std::string_view pattern = eventTemplate(id);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        const std::size_t which = static_cast<std::size_t>(next - '1');
        if (pattern[i] == '%' && next >= '1' && next <= '9' && which < event.inserts.size()) {
            event.text += event.inserts[which];
            ++i;
        } else {
            event.text += pattern[i];
        }
    }
    return event;
}

}  // namespace

std::string jsonText(std::string_view text, bool* exact) {
    return velumtar::jsonText(text, InvalidByte::replaced, exact);
}

std::string_view eventTemplate(unsigned id) {
    if (id == kRunEvent)
        return kRunTemplate;
    for (std::size_t kind = 0; kind < 4; ++kind) {
        if (id == kFindingEvent[kind])
            return kFindingTemplates[kind];
    }
    return "";
}

std::string startRecord(std::string_view program, std::string_view command,
                        const LocalDateTime& start) {
    return "{\"record\": \"start\", \"schema\": " + std::to_string(kSchemaVersion) +
           ", \"program\": " + jsonText(program) + ", \"command\": " + jsonText(command) +
           ", \"start\": " + jsonText(clockText(start)) + "}\n";
}

std::string findingRecord(const Finding& finding) {
    bool exact = true;
    std::string line = "{\"record\": \"finding\", \"kind\": \"" +
                       std::string(kKindNames[finding.kind]) + "\", \"entry\": \"" +
                       (finding.directory ? "directory" : "file") +
                       "\", \"path\": " + jsonText(finding.path, &exact);
    if (!exact)
        line += ", \"path_hex\": \"" + hex(finding.path) + "\"";
    line += std::string(", \"truncated\": ") + (finding.cut ? "true" : "false");
    if (finding.facts != nullptr) {
        line += finding.kind == FindingCounters::kDeleted ? ", \"old\": " : ", \"new\": ";
        line += factsObject(*finding.facts);
    }
    return line + "}\n";
}

std::string errorRecord(std::string_view text) {
    std::string shown;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find(crlf, at);
        if (end == std::string_view::npos)
            end = text.size();
        if (at > 0)
            shown += crlf;
        shown += trimmedRight(text.substr(at, end - at));
        at = end + crlf.size();
    }
    return "{\"record\": \"error\", \"text\": " + jsonText(shown) + "}\n";
}

std::string runRecord(const RunRecord& run) {
    std::string counters;
    for (std::size_t kind = 0; kind < 4; ++kind) {
        counters += std::string(kind == 0 ? "" : ", ") + "\"" + std::string(kKindNames[kind]) +
                    "\": " + std::to_string(run.counters->value[kind]);
    }
    return "{\"record\": \"run\", \"command\": " + jsonText(run.command) +
           ", \"ran\": " + jsonText(run.ran) + ", \"start\": " + jsonText(clockText(run.start)) +
           ", \"end\": " + jsonText(clockText(run.end)) +
           ", \"completed\": " + (run.completed ? "true" : "false") + ", \"counters\": {" +
           counters + "}, \"findings\": " + std::to_string(run.findings) +
           ", \"errors_shown\": " + std::to_string(run.errorsShown) +
           ", \"system_log\": {\"asked\": " + (run.systemLogAsked ? "true" : "false") +
           ", \"sent\": " + std::to_string(run.eventsSent) +
           ", \"failed\": " + std::to_string(run.eventsFailed) + "}}\n";
}

SystemEvent findingEvent(const Finding& finding) {
    const unsigned id = kFindingEvent[finding.kind];
    if (finding.kind == FindingCounters::kLocked || finding.facts == nullptr) {
        return composed(id, EventLevel::warning,
                        {finding.directory ? "directory" : "file", shownPath(finding)});
    }
    FileFacts copy = *finding.facts;
    RecordView facts = copy.view();
    std::string attributes = attributesOf(facts);
    return composed(id, EventLevel::warning,
                    {shownPath(finding), writtenAt(facts, ' '), sizeOf(facts),
                     attributes.empty() ? "none" : attributes});
}

SystemEvent runEvent(std::string_view ran, bool completed, const FindingCounters& counters,
                     std::uint64_t errorsShown) {
    const EventLevel level = !completed           ? EventLevel::error
                             : counters.allZero() ? EventLevel::information
                                                  : EventLevel::warning;
    std::vector<std::string> inserts{ran == "N" ? "New build" : "Compare",
                                     completed ? "completed" : "did not complete"};
    for (std::size_t kind = 0; kind < 4; ++kind)
        inserts.push_back(std::to_string(counters.value[kind]));
    inserts.push_back(std::to_string(errorsShown));
    return composed(kRunEvent, level, std::move(inserts));
}

}  // namespace velumtar::findings
