// Services not yet written.
#include <cstdio>
#include <cstdlib>

#include "platform/posix/posix_internal.h"

namespace velumtar::posix {

std::unique_ptr<DirectoryListing> newHostListing(PathResolver&) {
    return nullptr;
}
PlatformStatus hostFileInformation(const std::string&, FileInformation&) {
    return PlatformStatus::ioError;
}
LocalDateTime hostLocalDateTime() {
    return {"00000000", "00000000"};
}
int terminalMessageBox(std::string_view, std::string_view, unsigned) {
    return 0;
}
LaunchStage launchCommand(PathResolver&, std::string_view, bool) {
    return 1;
}
void endProcess(int code) {
    std::fflush(nullptr);
    std::exit(code);
}

}  // namespace velumtar::posix
