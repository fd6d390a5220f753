#include "control/run_control.h"

#include <utility>

#include "files/file_names.h"
#include "ui/messages.h"
#include "util/text_field.h"

namespace velumtar {

namespace {

std::string markerName(std::string_view title) {
    return "C:\\" + std::string(title.substr(0, 8)) + ".AKT";
}

// Length of the UTF-8 character starting at text[0] (1 for a stray byte).
std::size_t firstCharacterLength(std::string_view text) {
    unsigned char c = static_cast<unsigned char>(text[0]);
    std::size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    return n <= text.size() ? n : 1;
}

}  // namespace

RunControl::RunControl(Platform& platform, RunnerSource workers)
    : programTitle(padded(kProgramTitle, 52)),
      platform_(platform),
      workers_(std::move(workers)),
      unattended_(platform),
      messages_(platform, unattended_, std::string_view(programTitle).substr(0, 8)),
      findings_(platform, messages_, kProgramTitle),
      launcher_(platform, unattended_),
      marker_(platform, markerName(programTitle)),
      log_(platform, std::string(files::kLog), files::kLogRecord),
      stamp_(platform),
      extensions_(platform),
      database_(platform, messages_, stamp_),
      workFile_(platform),
      extensionList_(platform, messages_, extensions_, database_),
      runLog_(platform, messages_, stamp_) {}

std::string RunControl::letterOf(std::string_view text, Platform& platform) {
    std::size_t i = text.find_first_not_of(' ');
    if (i == std::string_view::npos)
        return " ";
    text.remove_prefix(i);
    return platform.upperCase(text.substr(0, firstCharacterLength(text)));
}

std::string RunControl::patternOf(std::string_view directory, Platform& platform) {
    std::string path = platform.upperCase(directory);
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return padded(path + "\\*", 255);
}

int RunControl::run(int argc, char** argv) {
    // Binding of the record files happens in the constructor: every file is
    // bound to its name and record length and starts closed.
    guardInstance();
    if (instanceState != InstanceState::held) {
        messages_.show(messages::alreadyRunning(), messages::kInformation);
        releaseMarker();
        return finalExitCode();
    }
    commandLetter = letterOf(platform_.argumentText(argc, argv), platform_);

    std::string directory;
    if (!platform_.currentDirectory(directory)) {
        messages_.show(messages::enterDirectoryError("Path of the software-start"),
                       messages::kError);
        releaseMarker();
        return finalExitCode();
    }
    startDirectory = patternOf(directory, platform_);

    if (commandLetter == "C" || commandLetter == "N") {
        findings_.begin(commandLetter);
        messages_.observeErrors(&findings_);
        openCompareOrBuild();
    }
    if (commandLetter == "C") {
        compareRun();
    } else if (commandLetter == "N") {
        newBuildRun();
    } else if (commandLetter == "L") {
        showLogRun();
    } else if (commandLetter == "?") {
        programInformationRun();
    } else {
        unsuitableCommandRun();
    }
    endOfRun();
    return finalExitCode();
}

int RunControl::finalExitCode() const {
    std::optional<std::string> asked = platform_.environment("VELUMTAR_EXIT_CODE");
    if (!asked || platform_.upperCase(*asked) != "FINDINGS")
        return exitCode;
    int bits = static_cast<int>(findings_.kindsCollected());
    for (int kind = FindingCounters::kNew; kind <= FindingCounters::kLocked; ++kind) {
        if (counters_.value[kind] > 0)
            bits |= 1 << kind;
    }
    if (!completed_ || findings_.failed())
        bits |= kExitIncomplete;
    return bits;
}

void RunControl::guardInstance() {
    FileStatus probe = marker_.probe();
    if (probe.isLocked()) {
        instanceState = InstanceState::lockedElsewhere;
        return;
    }
    // A marker that opens is the leftover of a run that did not end normally;
    // it is simply created anew below.
    FileStatus hold = marker_.openOutput();
    if (hold.isSuccess() || hold == status::created) {
        instanceState = InstanceState::held;
    } else {
        marker_.close();
        instanceState = InstanceState::notCreated;
    }
}

void RunControl::releaseMarker() {
    // A refused instance holds nothing; the removal then fails against the
    // running instance's hold and its guard stays in place.
    marker_.close();
    marker_.remove();
    instanceState = InstanceState::notHeld;
}

void RunControl::endOfRun() {
    database_.close();
    // The work file is made anew by every run that uses it and removed here,
    // so its last changes are dropped rather than forced to the disk first
    // (on a large drive that write is a good part of the run's end). One
    // that stays costs only space.
    workFile_.discardChanges();
    runLog_.close();
    (void)log_.close();
    extensions_.close();
    (void)platform_.removeFile(files::kWorkFile);
    // The findings file is put in place while the marker still keeps the
    // next run away.
    findings_.finish(commandLetter, completed_, counters_);
    messages_.observeErrors(nullptr);
    releaseMarker();
}

}  // namespace velumtar
