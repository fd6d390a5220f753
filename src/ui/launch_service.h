// LaunchService: starts the text editor or the help viewer from a command
// line held in a fixed-width buffer, optionally waits for it, and answers
// how far the start got, which nobody is obliged to read.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velumtar {

class Unattended;

// Commands the tool launches.
inline constexpr std::string_view kShowLogCommand = "NOTEPAD C:\\VELUMTAR.LOG";
inline constexpr std::string_view kShowReportCommand = "NOTEPAD C:\\VELUMTAR.TXT";
inline constexpr std::string_view kHelpCommand = "HH vlmhelpx.chm";

class LaunchService {
  public:
    static constexpr std::size_t kCommandWidth = 255;

    LaunchService(Platform& platform, Unattended& unattended);

    enum class Window { normal, hidden };
    enum class Wait { untilEnded, no };
    // How far a launch got.
    using Result = LaunchStage;

    // Copies `command` into the buffer, blank-padded to its width.
    void setCommandLine(std::string_view command);
    // Starts the command line in the buffer.
    Result launchProgram(Window window, Wait wait);
    // Shorthand used by every caller: show normally, do not wait.
    Result launchWithoutWaiting(std::string_view command);

    // The command line as handed to the system: the buffer up to its last
    // character that is neither a blank, nor a NUL, nor code 5.
    static std::string terminateAtLastText(std::string_view buffer);

  private:
    Platform& platform_;
    Unattended& unattended_;
    std::array<char, kCommandWidth + 1> commandLineBuffer_;
};

}  // namespace velumtar
