// The POSIX implementation of the platform seam. Drive C: is a host directory
// (VELUMTAR_DRIVE_C, else the Wine prefix's drive_c, else $HOME), drive Z: is
// "/", and names are matched case-insensitively; see PathResolver.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/posix/posix_internal.h"
#include "util/name_mapping.h"

namespace velumtar {
namespace {

using posix::processResolver;

class PosixPlatform final : public Platform {
  public:
    BoxButton messageBox(std::string_view text, std::string_view caption, BoxType type) override {
        return posix::terminalMessageBox(text, caption, type);
    }

    LaunchStage startProcess(std::string_view commandLine, int /*showWindow*/, bool wait) override {
        return posix::launchCommand(processResolver(), commandLine, wait);
    }

    std::string upperCase(std::string_view text) override { return posix::asciiUpper(text); }

    bool currentDirectory(std::string& path) override {
        char buffer[PATH_MAX];
        if (::getcwd(buffer, sizeof buffer) == nullptr) {
            return false;
        }
        path = processResolver().drivePath(buffer);
        return true;
    }

    bool changeDirectory(std::string_view path) override {
        posix::PathResolver& resolver = processResolver();
        posix::SplitPath split;
        if (!resolver.split(path, split)) {
            return false;
        }
        // The change itself tells whether a remembered directory is still
        // there; only when it fails is the path resolved against the disk.
        bool remembered = false;
        std::string host = resolver.resolve(split, false, &remembered);
        if (!resolver.enter(host)) {
            host = resolver.resolve(split, true, &remembered);
            if (!resolver.enter(host)) {
                return false;
            }
        }
        if (!remembered) {
            resolver.rememberDirectory(split, host);
        }
        resolver.setWorkingKeyed(posix::PathResolver::keyedPrefix(split) ==
                                 split.components.size());
        return true;
    }

    bool enterDirectory(std::string_view path) override {
        posix::PathResolver& resolver = processResolver();
        posix::SplitPath split;
        if (!resolver.split(path, split)) {
            return false;
        }
        bool remembered = false;
        std::string key;
        const std::string resolved = resolver.resolve(split, false, &remembered, &key);
        std::string host = resolved;
        if (!resolver.enterBelowRoot(host, true)) {
            host = resolver.resolve(split, true, &remembered);
            if (!resolver.enterBelowRoot(host, true)) {
                return false;
            }
        }
        // What was entered, another spelling where the one found was a link.
        if (!remembered || host != resolved) {
            resolver.rememberDirectory(split, host);
        }
        resolver.enteredBy(split, std::move(key));
        return true;
    }

    std::unique_ptr<DirectoryListing> newListing() override {
        return posix::newHostListing(processResolver());
    }

    PlatformStatus fileInformation(std::string_view path, FileInformation& info) override {
        posix::PathResolver& resolver = processResolver();
        std::string host;
        // An entry the walk has just listed: one lstat, by its bare name when
        // the listed directory is the working directory. Gone since from
        // another directory, the full resolution below decides.
        if (resolver.listedName(posix::stripPathQuotes(path), host)) {
            host = hostName(host);
            if (!resolver.listedIsWorking()) {
                host = resolver.listedDirectory() + (resolver.listedDirectory() == "/" ? "" : "/") +
                       host;
            }
            PlatformStatus status = posix::hostFileInformation(host, info);
            // Gone from the working directory: its whole path, which may
            // lead off the drive by now (a directory above it replaced by a
            // link), is not asked; the walk lists the directory again.
            if (status != PlatformStatus::notFound || resolver.listedIsWorking()) {
                return status;
            }
            host.clear();
        }
        if (!resolver.hostPath(path, host)) {
            return PlatformStatus::notFound;
        }
        return posix::hostFileInformation(host, info);
    }

    bool entryName(std::string_view path, std::string& name) override {
        return processResolver().canonicalName(path, name);
    }

    LocalDateTime localDateTime() override { return posix::hostLocalDateTime(); }

    PlatformStatus removeFile(std::string_view path) override {
        std::string host;
        if (!processResolver().hostPath(path, host)) {
            return PlatformStatus::notFound;
        }
        return posix::removeHostFile(host);
    }

    PlatformStatus renameFile(std::string_view from, std::string_view to) override {
        std::string hostFrom, hostTo;
        if (!processResolver().hostPath(from, hostFrom) ||
            !processResolver().hostPath(to, hostTo)) {
            return PlatformStatus::notFound;
        }
        return posix::renameHostFile(hostFrom, hostTo);
    }

    PlatformStatus replaceFile(std::string_view from, std::string_view to) override {
        std::string hostFrom, hostTo;
        if (!processResolver().hostPath(from, hostFrom) ||
            !processResolver().hostPath(to, hostTo)) {
            return PlatformStatus::notFound;
        }
        return posix::replaceHostFile(hostFrom, hostTo);
    }

    bool fileExists(std::string_view path) override {
        std::string host;
        if (!processResolver().hostPath(path, host)) {
            return false;
        }
        // The name itself: a dangling link still occupies it.
        struct stat st;
        return ::lstat(host.c_str(), &st) == 0;
    }

    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override {
        // A watched file by the name its directory's listing gave, in the
        // working directory: that name as it stands, one lookup of one
        // name instead of the whole path. Not found as it stands, the
        // case-insensitive resolution below decides.
        const std::string_view name = posix::stripPathQuotes(path);
        if (mode == OpenMode::contents && !name.empty() && name != "." && name != ".." &&
            name.find_first_of("\\/") == std::string_view::npos) {
            std::unique_ptr<File> file = posix::openHostFile(hostName(name), mode, status);
            if (status != PlatformStatus::notFound) {
                return file;
            }
        }
        std::string host;
        if (!processResolver().hostPath(path, host)) {
            status = PlatformStatus::notFound;
            return nullptr;
        }
        return posix::openHostFile(host, mode, status);
    }

    std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path,
                                                 PlatformStatus& status) override {
        std::string host;
        if (!processResolver().hostPath(path, host)) {
            status = PlatformStatus::notFound;
            return nullptr;
        }
        return posix::holdHostFile(host, status);
    }

    PlatformStatus probe(std::string_view path) override {
        std::string host;
        if (!processResolver().hostPath(path, host)) {
            return PlatformStatus::notFound;
        }
        return posix::probeHostFile(host);
    }

    std::string argumentText(int argc, char** argv) override { return joinArguments(argc, argv); }

    std::unique_ptr<SystemLog> openSystemLog() override {
        // Tests point the events at a socket of their own.
        const char* socket = std::getenv("VELUMTAR_SYSLOG_SOCKET");
        return posix::openSyslog(socket != nullptr && *socket != '\0' ? socket : "/dev/log");
    }

    std::optional<std::string> environment(std::string_view name) override {
        const char* value = std::getenv(std::string(name).c_str());
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    }

    [[noreturn]] void exitProcess(int code) override { posix::endProcess(code); }
};

}  // namespace

Platform& systemPlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace velumtar
