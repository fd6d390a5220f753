#include "ui/launch_service.h"

#include <cstring>

#include "platform/platform.h"
#include "ui/unattended.h"

namespace velumtar {

LaunchService::LaunchService(Platform& platform, Unattended& unattended)
    : platform_(platform), unattended_(unattended) {
    commandLineBuffer_.fill(' ');
    commandLineBuffer_[kCommandWidth] = '\0';
}

void LaunchService::setCommandLine(std::string_view command) {
    commandLineBuffer_.fill(' ');
    std::size_t n = command.size() < kCommandWidth ? command.size() : kCommandWidth;
    std::memcpy(commandLineBuffer_.data(), command.data(), n);
    commandLineBuffer_[kCommandWidth] = '\0';
}

std::string LaunchService::terminateAtLastText(std::string_view buffer) {
    std::size_t end = buffer.size() < kCommandWidth ? buffer.size() : kCommandWidth;
    while (end > 0) {
        char c = buffer[end - 1];
        if (c != ' ' && c != '\0' && c != '\x05')
            break;
        --end;
    }
    // A NUL inside the kept text ends the string the system sees.
    std::string_view kept = buffer.substr(0, end);
    std::size_t nul = kept.find('\0');
    if (nul != std::string_view::npos)
        kept = kept.substr(0, nul);
    return std::string(kept);
}

LaunchService::Result LaunchService::launchProgram(Window window, Wait wait) {
    std::string command =
        terminateAtLastText(std::string_view(commandLineBuffer_.data(), kCommandWidth));
    int show = window == Window::normal ? 1 : 0;
    bool waits = wait == Wait::untilEnded;
    if (unattended_.active()) {
        unattended_.recordLaunch(command, show, waits);
        return Result::started;
    }
    return platform_.startProcess(command, show, waits);
}

LaunchService::Result LaunchService::launchWithoutWaiting(std::string_view command) {
    setCommandLine(command);
    return launchProgram(Window::normal, Wait::no);
}

}  // namespace velumtar
