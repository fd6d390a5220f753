// LaunchService: starts the text editor or the help viewer from a command
// line held in a fixed-width buffer, optionally waits for it, and reports
// failure through two result characters that nobody is obliged to read.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace velumtar {

class Platform;
class Unattended;

// Commands the tool launches.
inline constexpr std::string_view kShowLogCommand = "NOTEPAD C:\\VELUMTAR.LOG";
inline constexpr std::string_view kShowReportCommand = "NOTEPAD C:\\VELUMTAR.TXT";
inline constexpr std::string_view kHelpCommand = "HH vlmhelpx.chm";

class LaunchService {
  public:
    static constexpr std::size_t kCommandWidth = 255;

    LaunchService(Platform& platform, Unattended& unattended);

    // '0': a normally shown window; any other value: hidden. Reset to '0' by
    // every launch.
    char showNormalFlag = '0';
    // '0': wait for the started program; any other value: do not. Reset to
    // '0' by every launch.
    char noWaitFlag = '0';
    // Results: '0' success, '1' failure; the stage '1' not started, '2'
    // waiting failed, '3' exit code not obtained.
    char launchFailed = '0';
    char failureStage = '0';

    // Copies `command` into the buffer, blank-padded to its width.
    void setCommandLine(std::string_view command);
    void launchProgram();
    // Shorthand used by every caller: show normally, do not wait.
    void launchWithoutWaiting(std::string_view command);

    // The command line as handed to the system: the buffer up to its last
    // character that is neither a blank, nor a NUL, nor code 5.
    static std::string terminateAtLastText(std::string_view buffer);

  private:
    Platform& platform_;
    Unattended& unattended_;
    std::array<char, kCommandWidth + 1> commandLineBuffer_;
};

}  // namespace velumtar
