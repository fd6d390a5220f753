// What a compare or build run leaves where administrators collect findings,
// each only when asked for:
//
//   VELUMTAR_FINDINGS=<file>   the findings file, JSON Lines: a start record,
//                              one record per finding the report tells and
//                              per error box shown, and the run record.
//   VELUMTAR_SYSTEM_LOG=1      the run's summary and each finding as events
//                              of the system's log (also "on").
//
// The findings file is written under a name of its own, <file>.part, beside
// it, and put in place by one rename at the end of the run. A finding is
// committed in the database only after its record has reached the device, as
// after its report line. A run that ends early (killed, or after a failure
// of the file) leaves the part file, and the next run goes on writing it, so
// no record that was on the device is dropped; a start record without a run
// record after it is a run that did not reach its end. A failure of the
// system's log changes nothing but the counts in the run record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "report/finding.h"
#include "ui/message_service.h"

namespace velumtar {

struct FindingCounters;

class FindingsExport final : public FindingSink, public ErrorObserver {
  public:
    // `program` is the program title, as the start record names it.
    FindingsExport(Platform& platform, MessageService& messages, std::string_view program);
    ~FindingsExport() override;
    FindingsExport(const FindingsExport&) = delete;
    FindingsExport& operator=(const FindingsExport&) = delete;

    // Starts a compare or build run given as `command`: reads the variables
    // and opens what they ask for. A relative file name is taken from the
    // working directory of this moment. A findings file that cannot be
    // opened, or that names one of the tool's own files, is told with the
    // file-error box (OPEN); the report then stops at its first finding.
    void begin(std::string_view command);

    bool collect(const Finding& finding) override;
    bool sync(bool quietly) override;
    void errorShown(std::string_view text) override;

    // Ends the run that ran as `ran` (C, or N for a build): the summary
    // event, then the run record; the file is forced to the device and put
    // in place. A failure is told with the file-error box (WRITE) and leaves
    // the part file for the next run.
    void finish(std::string_view ran, bool completed, const FindingCounters& counters);

    // The findings file was asked for and has failed (a failure was told).
    bool failed() const { return failed_; }
    // The kinds of finding collected, bit 1 << FindingCounters::Index each.
    unsigned kindsCollected() const { return kinds_; }

  private:
    bool writeRecord(const std::string& line);
    // Tells the first failure of the findings file (unless `quietly`) and
    // writes nothing more to it in this run.
    void fail(std::string_view operation, bool quietly = false);
    bool openPart();
    void send(const SystemEvent& event);

    Platform& platform_;
    MessageService& messages_;
    std::string program_;
    bool begun_ = false;
    std::string command_;
    LocalDateTime start_;
    // The findings file, as asked for and made absolute; empty when not asked.
    std::string target_;
    std::string part_;
    std::unique_ptr<File> file_;
    std::uint64_t offset_ = 0;
    bool failed_ = false;
    std::unique_ptr<SystemLog> systemLog_;
    std::uint64_t findings_ = 0, errorsShown_ = 0, eventsSent_ = 0, eventsFailed_ = 0;
    unsigned kinds_ = 0;
};

}  // namespace velumtar
