// The commands that only inform: show the run log, show the program
// information, and the answer to an unsuitable command.
#include "control/run_control.h"
#include "ui/messages.h"

namespace velumtar {

void RunControl::showLogRun() {
    completed_ = true;
    if (!log_.openInput().isSuccess()) {
        (void)log_.close();
        messages_.show(messages::noLogFile(), messages::kInformation);
        return;
    }
    // The log stays open for input until endOfRun closes it.
    launcher_.launchWithoutWaiting(kShowLogCommand);
}

void RunControl::programInformationRun() {
    completed_ = true;
    messages_.show(messages::programInformation(programTitle), messages::kInformation);
    helpPrompt();
}

void RunControl::unsuitableCommandRun() {
    messages_.show(messages::unsuitableCommand(commandLetter), messages::kInformation);
    helpPrompt();
}

void RunControl::helpPrompt() {
    if (messages_.show(messages::openHelpQuestion(), messages::kQuestion) == Answer::yes) {
        launcher_.launchWithoutWaiting(kHelpCommand);
    }
}

}  // namespace velumtar
