// Services not yet written.
#include <cstdio>
#include <cstdlib>

#include "platform/posix/posix_internal.h"

namespace velumtar::posix {

int terminalMessageBox(std::string_view, std::string_view, unsigned) { return 0; }
LaunchStage launchCommand(PathResolver&, std::string_view, bool) { return 1; }
void endProcess(int code) {
    std::fflush(nullptr);
    std::exit(code);
}

}  // namespace velumtar::posix
