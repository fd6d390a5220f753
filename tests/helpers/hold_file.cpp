// A second process for lock tests: holds a file exclusively through the
// platform, announces it, and keeps the hold until told to let go or killed.
//
//   hold_file <path to hold> <ready file> <release file>
//
// The path to hold is handed to the platform as it is (a drive path); the
// ready and release files are host paths. Exit code 0 after a release, 3 when
// the hold was refused (the ready file then holds the word "refused"), 2 on
// bad arguments, 4 when no release came within two minutes.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    velumtar::PlatformStatus status;
    auto hold = velumtar::systemPlatform().holdExclusive(argv[1], status);
    // Written under another name and renamed, so the reader never sees it half done.
    const std::string partial = std::string(argv[2]) + ".part";
    {
        std::ofstream ready(partial);
        ready << (hold ? "held" : "refused") << '\n';
    }
    std::error_code ignored;
    std::filesystem::rename(partial, argv[2], ignored);
    if (!hold) {
        return 3;
    }
    for (int i = 0; i < 6000; ++i) {
        if (std::filesystem::exists(argv[3])) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 4;
}
