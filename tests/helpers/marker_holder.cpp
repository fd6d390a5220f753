// Test helper: holds a file exclusively, the way a running instance holds its
// marker, until a release file appears; then exits 0. Tests start it as a
// second process to see the lock from outside, and kill it to see that a dead
// holder leaves no lock behind.
//
//   marker_holder MARKER RELEASE
//
// Exit codes: 0 released, 2 bad arguments, 3 the hold could not be taken,
// 4 no release within two minutes (so that a forgotten helper ends by itself).
// The paths come through main's argv and should be plain ASCII.
#include <chrono>
#include <thread>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    velumtar::Platform& platform = velumtar::systemPlatform();
    velumtar::PlatformStatus status = velumtar::PlatformStatus::ioError;
    const auto hold = platform.holdExclusive(argv[1], status);
    if (!hold) {
        return 3;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < deadline) {
        if (platform.fileExists(argv[2])) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 4;
}
