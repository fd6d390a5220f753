// RunControl: the program's entry and the frame of every run. It binds the
// record files, makes sure only one instance works at a time, reads the
// command letter and the start directory, hands over to exactly one run, and
// ends every run the same way in endOfRun().
#pragma once

#include <string>

#include "control/instance_marker.h"
#include "db/basic_database.h"
#include "db/extension_database.h"
#include "db/finding_counters.h"
#include "db/work_file.h"
#include "files/file_facts.h"
#include "platform/platform.h"
#include "report/findings_export.h"
#include "report/run_log.h"
#include "scan/extension_list.h"
#include "store/line_file.h"
#include "ui/launch_service.h"
#include "ui/message_service.h"
#include "ui/unattended.h"

namespace velumtar {

inline constexpr std::string_view kProgramTitle = "VELUMTAR 4.01.03 File-Comparing-Tool";

class RunControl {
  public:
    explicit RunControl(Platform& platform);

    // Start-up, one run, endOfRun. Returns the process exit code: 0, unless
    // VELUMTAR_EXIT_CODE=findings asks for the findings' bits (exitBits).
    int run(int argc, char** argv);

    // The bits of the exit code that VELUMTAR_EXIT_CODE=findings asks for:
    // one per kind of finding the run counted or reported, and one for a run
    // that did not reach its end (closing message, information shown) with
    // what it was asked to deliver.
    static constexpr int kExitNew = 1, kExitChanged = 2, kExitDeleted = 4, kExitLocked = 8,
                         kExitIncomplete = 16;

    MessageService& messages() { return messages_; }
    LaunchService& launcher() { return launcher_; }

    // Reads the letter from the argument text: the first non-blank character,
    // upper-cased; blank when there is none.
    static std::string letterOf(std::string_view argumentText, Platform& platform);
    // The directory in searchPattern form: the path, a backslash and an
    // asterisk ("C:\*" for the root), upper-cased, blank-padded to 255.
    static std::string patternOf(std::string_view directory, Platform& platform);

  private:
    // Whether this instance holds the instance marker.
    enum class InstanceState { notHeld, held, lockedElsewhere, notCreated };

    void guardInstance();
    void releaseMarker();
    void endOfRun();
    // The exit code of the run as it ended.
    int finalExitCode() const;

    void openCompareOrBuild();
    void compareRun();
    // `keepFingerprints`: the database it replaces kept them (an interrupted
    // build is built again as it was asked for).
    void newBuildRun(bool keepFingerprints = false);
    // VELUMTAR_FINGERPRINTS=SHA256 (in any case) asks for fingerprints of
    // file contents; any other value, or none, does not.
    bool fingerprintsAsked();
    void endOfRunMessage();
    void discardDatabase();
    void checkDatabase();
    bool repairDatabase();
    bool openDatabaseForUpdate();
    bool comparePasses();
    void showLogRun();
    void programInformationRun();
    void unsuitableCommandRun();
    void helpPrompt();

    // Run-wide fields.
    std::string commandLetter;  // one character, upper case; blank when none
    InstanceState instanceState = InstanceState::notHeld;
    std::string startDirectory;  // 255 characters, searchPattern form
    std::string programTitle;    // 52 characters
    int exitCode = 0;
    // The run reached its end: the closing message of a compare or build,
    // the log or the program information shown.
    bool completed_ = false;

    Platform& platform_;
    Unattended unattended_;
    MessageService messages_;
    FindingsExport findings_;
    LaunchService launcher_;
    InstanceMarker marker_;
    LineFile log_;
    RunStamp stamp_;
    ExtensionDatabase extensions_;
    BasicDatabase database_;
    WorkFile workFile_;
    ExtensionList extensionList_;
    FindingCounters counters_;
    RunLog runLog_;
    // The database is damaged and could not be repaired: the compare run
    // ends at once (the failure has been shown).
    bool databaseUnusable_ = false;
};

}  // namespace velumtar
