// Entering the directories of drive C: without ever leaving it.
//
// A walk lists a directory, and enters each sub-directory later, by its path.
// In between, any directory on that path may have been replaced by a
// symbolic link, which chdir() would follow off the drive. A directory is
// therefore opened relative to the drive's root, each component without
// following a link (openat2() with RESOLVE_NO_SYMLINKS does the whole path in
// one call where the kernel has it; otherwise one openat() with O_NOFOLLOW
// per component), and entered through that descriptor with fchdir(): what is
// entered is the directory that was opened.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

#include "platform/posix/posix_internal.h"

namespace velumtar::posix {
namespace {

constexpr int kDirectoryOpen = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// `relative` below `rootFd` in one call: no component may be a link, and
// nothing outside the root is reached. -1 where the kernel lacks the call.
int openBeneath(int rootFd, const char* relative) {
#ifdef SYS_openat2
    struct open_how how {};
    how.flags = kDirectoryOpen;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    return static_cast<int>(::syscall(SYS_openat2, rootFd, relative, &how, sizeof how));
#else
    (void)rootFd;
    (void)relative;
    errno = ENOSYS;
    return -1;
#endif
}

// Another spelling of `name` in the directory `directoryFd` that is a
// directory itself, not a link: the one spelt as the name's key, else the
// first in byte order.
std::optional<std::string> directorySpelling(int directoryFd, const std::string& name) {
    const int fd = ::openat(directoryFd, ".", kDirectoryOpen);
    if (fd < 0) {
        return std::nullopt;
    }
    DIR* stream = ::fdopendir(fd);
    if (stream == nullptr) {
        ::close(fd);
        return std::nullopt;
    }
    const std::string key = nameKey(name);
    std::optional<std::string> chosen;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view candidate = entry->d_name;
        if (candidate == name || nameKey(candidate) != key) {
            continue;
        }
        bool directory = entry->d_type == DT_DIR;
        struct stat st;
        if (entry->d_type == DT_UNKNOWN) {
            directory = ::fstatat(::dirfd(stream), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISDIR(st.st_mode);
        }
        if (directory &&
            (!chosen || (*chosen != key && (candidate == key || candidate < *chosen)))) {
            chosen = std::string(candidate);
        }
    }
    ::closedir(stream);
    return chosen;
}

// Opens the components of `host` from `start` on one by one below the
// directory `fd` (taken over), none through a link.
int openStepByStep(int fd, std::string& host, std::size_t start, bool otherSpellings) {
    std::size_t at = start;
    while (fd >= 0 && at < host.size()) {
        std::size_t end = host.find('/', at);
        if (end == std::string::npos) {
            end = host.size();
        }
        if (end == at) {
            ++at;
            continue;
        }
        const std::string name = host.substr(at, end - at);
        int next = ::openat(fd, name.c_str(), kDirectoryOpen | O_NOFOLLOW);
        if (next < 0 && otherSpellings && (errno == ELOOP || errno == ENOTDIR || errno == ENOENT)) {
            const int error = errno;
            std::optional<std::string> other = directorySpelling(fd, name);
            if (other) {
                next = ::openat(fd, other->c_str(), kDirectoryOpen | O_NOFOLLOW);
            }
            if (next >= 0) {
                host.replace(at, end - at, *other);
                end = at + other->size();
            } else if (!other) {
                errno = error;
            }
        }
        const int error = errno;
        ::close(fd);
        errno = error;
        fd = next;
        at = end + 1;
    }
    return fd;
}

}  // namespace

int openDirectoryBelow(int rootFd, const std::string& root, std::string& host,
                       bool otherSpellings) {
    std::size_t start;
    if (host == root) {
        start = host.size();
    } else if (root == "/" && !host.empty() && host.front() == '/') {
        start = 1;
    } else if (host.size() > root.size() && host.compare(0, root.size(), root) == 0 &&
               host[root.size()] == '/') {
        start = root.size() + 1;
    } else {
        errno = EXDEV;
        return -1;
    }
    const bool ownRoot = rootFd < 0;
    if (ownRoot) {
        // The root itself is the drive, as configured: the path to it may
        // hold links.
        rootFd = ::open(root.c_str(), kDirectoryOpen);
        if (rootFd < 0) {
            return -1;
        }
    }
    int fd = -1;
    if (start < host.size()) {
        fd = openBeneath(rootFd, host.c_str() + start);
    }
    if (fd < 0) {
        // The kernel lacks the call, or the path did not open as it stands:
        // component by component, which also finds other spellings.
        fd = ::openat(rootFd, ".", kDirectoryOpen);
        fd = openStepByStep(fd, host, start, otherSpellings);
    }
    if (ownRoot) {
        const int error = errno;
        ::close(rootFd);
        errno = error;
    }
    return fd;
}

bool PathResolver::enterBelowRoot(std::string& host, bool otherSpellings) {
    if (rootFd_.get() < 0) {
        rootFd_.reset(::open(root_.c_str(), kDirectoryOpen));
    }
    std::string entered = host;
    const Descriptor fd(openDirectoryBelow(rootFd_.get(), root_, entered, otherSpellings));
    if (fd.get() < 0 || ::fstat(fd.get(), &workingStat_) != 0 || ::fchdir(fd.get()) != 0) {
        return false;
    }
    host = std::move(entered);
    working_ = host;
    workingStatAt_ = ++directoryChanges_;
    return true;
}

}  // namespace velumtar::posix
