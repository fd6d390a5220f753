// A second process for lock tests: holds a file exclusively through the
// platform, the way a running instance holds its marker, until a release file
// appears. Tests start it to see the lock from outside, and kill it to see
// that a dead holder leaves no lock behind.
//
//   hold_file <path to hold> <release file>
//
// The path to hold is handed to the platform as it is (a drive path); the
// release file is a host path. Prints "held" (or "refused") on a line of its
// own once the hold is decided. Exit code 0 after a release, 2 on bad
// arguments, 3 when the hold was refused, 4 when no release came within two
// minutes (so that a forgotten helper ends by itself).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    velumtar::PlatformStatus status = velumtar::PlatformStatus::ioError;
    const auto hold = velumtar::systemPlatform().holdExclusive(argv[1], status);
    std::printf("%s\n", hold ? "held" : "refused");
    std::fflush(stdout);
    if (!hold) {
        return 3;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ignored;
        if (std::filesystem::exists(argv[2], ignored)) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 4;
}
