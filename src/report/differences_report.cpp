#include "report/differences_report.h"

#include <string>

#include "db/basic_database.h"
#include "db/finding_counters.h"
#include "db/work_file.h"
#include "files/file_error.h"
#include "files/file_facts.h"
#include "files/file_names.h"
#include "files/record_view.h"
#include "report/finding.h"
#include "store/line_file.h"
#include "util/name_mapping.h"
#include "util/text_field.h"

namespace velumtar {

namespace {

// A detail line of the report (343 characters). The labels and separators
// are fixed; the other fields are filled from the entry.
//
//   offset  width  content
//        0      7  status word: "New", "Changed", "Deleted", "LOCKED"
//        8     10  "Date/time:"
//       19     10  year "." month "." day
//       29      3  " / "
//       32      8  hour ":" minute ":" second
//       41      5  "Size:"
//       47     16  size, 16 digits as stored
//       64      6  "Attr.:"
//       71      4  archive, read-only, system, hidden
//       76     10  "Path-Name:" or "DIRECTORY:"
//       87    253  path
//      340      3  "..." when the path was longer than 253 characters
namespace reportline {
inline constexpr std::size_t kWidth = 343;
inline constexpr Field status{0, 7};
inline constexpr Field dateLabel{8, 10};
inline constexpr Field year{19, 4};
inline constexpr Field dateDot1{23, 1};
inline constexpr Field month{24, 2};
inline constexpr Field dateDot2{26, 1};
inline constexpr Field day{27, 2};
inline constexpr Field slash{29, 3};
inline constexpr Field hour{32, 2};
inline constexpr Field timeColon1{34, 1};
inline constexpr Field minute{35, 2};
inline constexpr Field timeColon2{37, 1};
inline constexpr Field second{38, 2};
inline constexpr Field sizeLabel{41, 5};
inline constexpr Field size{47, 16};
inline constexpr Field attributesLabel{64, 6};
inline constexpr Field attributes{71, 4};
inline constexpr Field pathLabel{76, 10};
inline constexpr Field path{87, 253};
inline constexpr Field overflow{340, 3};
}  // namespace reportline

// Heading: date, time and the title.
namespace heading {
inline constexpr std::size_t kWidth = 60;
inline constexpr Field date{0, 10};
inline constexpr Field time{11, 5};
inline constexpr Field title{17, 43};
}  // namespace heading

constexpr std::string_view kTitle = "Data of new, changed and/or deleted files:";

// A line buffer with the labels and separators in place and every value
// field blank.
std::string blankLine(std::string_view pathLabel) {
    std::string line(reportline::kWidth, ' ');
    RecordView v(line.data());
    v.set(reportline::dateLabel, "Date/time:");
    v.set(reportline::dateDot1, ".");
    v.set(reportline::dateDot2, ".");
    v.set(reportline::slash, " / ");
    v.set(reportline::timeColon1, ":");
    v.set(reportline::timeColon2, ":");
    v.set(reportline::sizeLabel, "Size:");
    v.set(reportline::attributesLabel, "Attr.:");
    v.set(reportline::pathLabel, pathLabel);
    return line;
}

FileFacts factsOf(std::string_view text) {
    FileFacts f;
    text.copy(f.text.data(), f.text.size());
    return f;
}

// The "..." mark: the facts say the path was cut.
std::string_view overflowMark(FileFacts& f) {
    return f.view().at(facts::longPathMark) != ' ' ? "..." : "";
}

// A directory path with every backslash-asterisk pair blanked (the search
// pattern's "\*" included).
std::string withoutPatterns(std::string_view path) {
    std::string out(path);
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == '\\' && out[i + 1] == '*') {
            out[i] = ' ';
            out[++i] = ' ';
        }
    }
    return out;
}

void fillFacts(RecordView line, FileFacts& f) {
    RecordView fv = f.view();
    line.set(reportline::year, fv.get(facts::year));
    line.set(reportline::month, fv.get(facts::month));
    line.set(reportline::day, fv.get(facts::day));
    line.set(reportline::hour, fv.get(facts::hour));
    line.set(reportline::minute, fv.get(facts::minute));
    line.set(reportline::second, fv.get(facts::second));
    line.set(reportline::size, fv.get(facts::size));
    line.set(reportline::attributes, fv.get(facts::attributes));
}

// The kind of finding an entry's flags tell (a later flag overrides an
// earlier one), and its status word.
FindingCounters::Index findingKind(const RecordView& entry) {
    FindingCounters::Index kind = FindingCounters::kNew;
    if (entry.at(dbrec::changedFlag) != ' ')
        kind = FindingCounters::kChanged;
    if (entry.at(dbrec::deletedFlag) != ' ')
        kind = FindingCounters::kDeleted;
    return kind;
}

std::string_view statusWord(FindingCounters::Index kind) {
    constexpr std::string_view kWords[] = {"New", "Changed", "Deleted", "LOCKED"};
    return kWords[kind];
}

class ReportWriter {
  public:
    ReportWriter(Platform& platform, MessageService& messages, FindingSink& sink)
        : messages_(messages),
          sink_(sink),
          report_(platform, std::string(files::kReport), files::kReportRecord) {}

    bool open() {
        if (report_.openOutput().isSuccess())
            return true;
        abandon();
        reportFileError(messages_, kOpen, files::kReport);
        return false;
    }
    bool write(std::string_view line) {
        if (report_.write(line).isSuccess())
            return true;
        reportFileError(messages_, kWrite, files::kReport);
        return false;
    }
    // A line written, the finding it tells goes to the sink.
    bool collect(const Finding& finding) { return sink_.collect(finding); }
    bool syncQuietly() { return report_.sync().isSuccess() && sink_.sync(true); }
    MessageService& messages() { return messages_; }
    // The lines written and findings collected so far reach the device.
    bool sync() {
        if (!report_.sync().isSuccess()) {
            reportFileError(messages_, kWrite, files::kReport);
            return false;
        }
        return sink_.sync(false);
    }
    // The last lines reach the device as the report closes.
    bool close() {
        if (report_.close().isSuccess())
            return true;
        reportFileError(messages_, kWrite, files::kReport);
        return false;
    }
    // Closes it after a failure already told.
    void abandon() { (void)report_.close(); }

  private:
    MessageService& messages_;
    FindingSink& sink_;
    LineFile report_;
};

std::string lockedLine(std::string_view label, std::string_view path, std::string_view facts) {
    std::string line = blankLine(label);
    RecordView v(line.data());
    FileFacts f = factsOf(facts);
    v.set(reportline::status, "LOCKED");
    v.set(reportline::path, shownName(path));
    v.set(reportline::overflow, overflowMark(f));
    return line;
}

// Writes the line `lineFor` makes for each work record of `type`, in key
// order, and hands on the LOCKED finding it tells; `lineFor` makes none when
// it answers false. False when a line cannot be written or the work file
// cannot be read.
template <class LineFor>
bool writeLinesOf(ReportWriter& out, WorkFile& workFile, char type, LineFor lineFor) {
    workFile.clearRecord();
    RecordView entry = workFile.view();
    entry.at(workrec::recordType) = type;
    std::string line;
    std::string path;
    std::string shown;
    for (bool more = workFile.startAt(); more && entry.at(workrec::recordType) == type;
         more = workFile.readNext()) {
        Finding finding;
        finding.kind = FindingCounters::kLocked;
        if (!lineFor(entry, line, path, finding))
            continue;
        shown = shownName(path);
        finding.path = trimmedRight(shown);
        if (!out.write(line) || !out.collect(finding))
            return false;
    }
    if (workFile.readFailed()) {
        reportFileError(out.messages(), kRead, files::kWorkFile);
        return false;
    }
    return true;
}

bool writeLockedSection(ReportWriter& out, WorkFile& workFile) {
    const bool directories =
        writeLinesOf(out, workFile, 'A',
                     [](RecordView entry, std::string& line, std::string& path, Finding& finding) {
                         if (entry.at(workrec::lockedMark) == ' ')
                             return false;
                         path = withoutPatterns(entry.get(workrec::path));
                         line = lockedLine("DIRECTORY:", path, entry.get(workrec::facts));
                         finding.directory = true;
                         finding.cut = entry.at(workrec::facts) != ' ';
                         return true;
                     });
    // Then the entries not watched because another spelling of their name
    // is, under their own spelling, counted with the locked directories.
    return directories &&
           writeLinesOf(
               out, workFile, 'T',
               [](RecordView entry, std::string& line, std::string& path, Finding& finding) {
                   finding.directory = entry.at(workrec::twinKind) == 'A';
                   path = entry.get(workrec::path);
                   line = lockedLine(finding.directory ? "DIRECTORY:" : "Path-Name:", path,
                                     entry.get(workrec::facts));
                   finding.cut = entry.at(workrec::facts) != ' ';
                   return true;
               });
}

// Findings made durable together. Each finding is committed (its entry
// removed or its flags cleared) right after its line; the database is made
// durable once for a group of them, after the group's lines have reached the
// device. A finding whose line may not be on the device is never committed:
// when the report cannot be synced, or a line cannot be written, the group's
// uncommitted changes are dropped and its findings stay pending, so at most
// one group's findings, whose lines were written, come again in the next
// report. Two forced writes per finding would otherwise dominate a
// comparison with many findings.
constexpr int kFindingsPerCommit = 256;

// Writes a line per flagged entry and commits its finding right after it:
// a deleted entry is removed, the others lose their flag (and get a new
// stored-at stamp).
bool writeFileSection(ReportWriter& out, BasicDatabase& database, MessageService& messages) {
    int pending = 0;
    std::string_view word = kRewrite;
    // The report's lines first, then the findings committed after them.
    auto makeDurable = [&] {
        if (pending == 0)
            return true;
        if (!out.sync()) {
            database.discardChanges();
            return false;
        }
        if (!database.commit()) {
            reportFileError(messages, word, files::kBasicDatabase);
            database.discardChanges();
            return false;
        }
        pending = 0;
        return true;
    };
    // After a failure: the findings of the group whose lines are written
    // stay committed once those lines are on the device; otherwise none.
    auto settle = [&] {
        if (pending == 0 || !out.syncQuietly() || !database.commit())
            database.discardChanges();
        return false;
    };
    database.setFirstFileKey();
    RecordView entry = database.view();
    for (bool more = database.startAt(); more && entry.at(dbrec::recordType) == 'F';
         more = database.readNext()) {
        if (entry.get(dbrec::flags) == "   ")
            continue;
        std::string line = blankLine("Path-Name:");
        RecordView v(line.data());
        FileFacts f = factsOf(entry.get(dbrec::facts));
        const FindingCounters::Index kind = findingKind(entry);
        v.set(reportline::status, statusWord(kind));
        fillFacts(v, f);
        const std::string shown = shownName(entry.get(dbrec::path));
        v.set(reportline::path, shown);
        v.set(reportline::overflow, overflowMark(f));
        const Finding finding{.kind = kind,
                              .path = trimmedRight(shown),
                              .cut = !overflowMark(f).empty(),
                              .directory = false,
                              .facts = &f};
        if (!out.write(line) || !out.collect(finding))
            return settle();
        if (entry.at(dbrec::deletedFlag) != ' ') {
            word = kDelete;
            if (!database.deleteRecord()) {
                reportFileError(messages, kDelete, files::kBasicDatabase);
                return settle();
            }
        } else {
            entry.blank(dbrec::flags);
            const bool rewrite = database.found();
            word = rewrite ? kRewrite : kWrite;
            if (!database.store()) {
                reportFileError(messages, word, files::kBasicDatabase);
                return settle();
            }
        }
        if (++pending == kFindingsPerCommit && !makeDurable())
            return false;
    }
    if (database.readFailed()) {
        // The findings from the damaged page on stay pending, and so do those
        // of the group under way (the database takes no commit after the
        // failure): the next report lists them.
        reportFileError(messages, kRead, files::kBasicDatabase);
        return false;
    }
    return makeDurable();
}

}  // namespace

bool writeDifferencesReport(Platform& platform, MessageService& messages, WorkFile& workFile,
                            BasicDatabase& database, const FindingCounters& counters,
                            std::string_view date, std::string_view time, FindingSink& sink) {
    ReportWriter out(platform, messages, sink);
    if (!out.open())
        return false;
    std::string head(heading::kWidth, ' ');
    RecordView h(head.data());
    h.set(heading::date, date);
    h.set(heading::time, time);
    h.set(heading::title, kTitle);
    bool ok = out.write(head);
    if (ok && counters.value[FindingCounters::kLocked] > 0)
        ok = writeLockedSection(out, workFile);
    if (ok)
        ok = writeFileSection(out, database, messages);
    if (!ok) {
        out.abandon();
        return false;
    }
    return out.close();
}

FindingSink& FindingSink::none() {
    struct Nothing final : FindingSink {
        bool collect(const Finding&) override { return true; }
        bool sync(bool) override { return true; }
    };
    static Nothing nothing;
    return nothing;
}

}  // namespace velumtar
