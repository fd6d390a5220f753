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

void LaunchService::launchProgram() {
    launchFailed = '0';
    failureStage = '0';
    std::string command =
        terminateAtLastText(std::string_view(commandLineBuffer_.data(), kCommandWidth));
    int show = showNormalFlag == '0' ? 1 : 0;
    bool wait = noWaitFlag == '0';
    int stage;
    if (unattended_.active()) {
        unattended_.recordLaunch(command, show, wait);
        stage = 0;
    } else {
        stage = platform_.startProcess(command, show, wait);
    }
    if (stage != 0) {
        launchFailed = '1';
        failureStage = static_cast<char>('0' + (stage >= 1 && stage <= 3 ? stage : 1));
    }
    showNormalFlag = '0';
    noWaitFlag = '0';
}

void LaunchService::launchWithoutWaiting(std::string_view command) {
    setCommandLine(command);
    showNormalFlag = '0';
    noWaitFlag = '1';
    launchProgram();
}

}  // namespace velumtar
