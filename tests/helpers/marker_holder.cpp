// Test helper: holds a file exclusively, as a running instance holds its
// marker, until a release file appears (or the process is killed).
//
//   marker_holder <path to hold> <release file>
//
// Prints "held" on standard output once the file is held, "locked" when
// another process holds it already.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: marker_holder <path> <release file>\n");
        return 2;
    }
    velumtar::Platform& platform = velumtar::systemPlatform();
    velumtar::PlatformStatus status;
    auto hold = platform.holdExclusive(argv[1], status);
    if (!hold) {
        std::printf("locked\n");
        std::fflush(stdout);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (!platform.fileExists(argv[2])) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}
