// File services on POSIX: positional file access, removal and renaming, and
// the exclusively held instance marker.
//
// Windows refuses to open or delete a file that another process holds
// exclusively; POSIX locks are advisory and unlink ignores them. The marker is
// therefore held with flock(LOCK_EX), the probe tests that lock without
// blocking, and removal takes the same lock first, so a refused second
// instance cannot delete the marker of the instance that runs. A flock dies
// with its process, also after SIGKILL, which makes a leftover marker harmless.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/posix_internal.h"

namespace velumtar::posix {
namespace {

class FdFile final : public File {
  public:
    // `newEntryIn`: the directory of a file this open created, whose entry is
    // made durable by the first sync.
    FdFile(int fd, std::string newEntryIn) : fd_(fd), newEntryIn_(std::move(newEntryIn)) {}
    ~FdFile() override { ::close(fd_); }
    FdFile(const FdFile&) = delete;
    FdFile& operator=(const FdFile&) = delete;

    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override {
        got = 0;
        auto* bytes = static_cast<char*>(buffer);
        while (got < length) {
            ssize_t n = ::pread(fd_, bytes + got, length - got, static_cast<off_t>(offset + got));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return statusFromErrno(errno);
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        return PlatformStatus::ok;
    }

    PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        const auto* bytes = static_cast<const char*>(buffer);
        std::size_t done = 0;
        while (done < length) {
            ssize_t n =
                ::pwrite(fd_, bytes + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return statusFromErrno(errno);
            }
            done += static_cast<std::size_t>(n);
        }
        return PlatformStatus::ok;
    }

    PlatformStatus size(std::uint64_t& size) override {
        struct stat st;
        if (::fstat(fd_, &st) != 0) {
            return statusFromErrno(errno);
        }
        size = static_cast<std::uint64_t>(st.st_size);
        return PlatformStatus::ok;
    }

    PlatformStatus truncate(std::uint64_t size) override {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
            return statusFromErrno(errno);
        }
        return PlatformStatus::ok;
    }

    // A new file's data may reach the device while its directory entry does
    // not, and a power loss then loses the file: the first sync after the
    // creation syncs its directory too, so nothing counts as durable before
    // the file's name is.
    PlatformStatus sync() override {
        if (::fdatasync(fd_) != 0) {
            return statusFromErrno(errno);
        }
        if (!newEntryIn_.empty()) {
            int dir = ::open(newEntryIn_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir < 0 || ::fsync(dir) != 0) {
                PlatformStatus failed = statusFromErrno(errno);
                if (dir >= 0) {
                    ::close(dir);
                }
                return failed;
            }
            ::close(dir);
            newEntryIn_.clear();
        }
        return PlatformStatus::ok;
    }

  private:
    int fd_;
    std::string newEntryIn_;
};

// The directory that holds `host`.
std::string directoryOf(const std::string& host) {
    std::size_t slash = host.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : host.substr(0, slash);
}

class FlockHold final : public ExclusiveHold {
  public:
    explicit FlockHold(int fd) : fd_(fd) {}
    ~FlockHold() override { ::close(fd_); }
    FlockHold(const FlockHold&) = delete;
    FlockHold& operator=(const FlockHold&) = delete;

  private:
    int fd_;
};

// Only regular files are opened: a directory is refused as Windows refuses it,
// and a FIFO or device would block or never end.
PlatformStatus checkRegular(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return statusFromErrno(errno);
    }
    return S_ISREG(st.st_mode) ? PlatformStatus::ok : PlatformStatus::accessDenied;
}

// Opens `host` with `flags`, creating it when missing. `created` tells whether
// this call made the file. Returns -1 with errno set on failure.
int openOrCreate(const std::string& host, int flags, bool& created) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = ::open(host.c_str(), flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            created = true;
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
        fd = ::open(host.c_str(), flags);
        if (fd >= 0 || errno != ENOENT) {
            created = false;
            return fd;
        }
        // Removed between the two opens: try again.
    }
    errno = EIO;
    return -1;
}

}  // namespace

std::unique_ptr<File> openHostFile(const std::string& host, OpenMode mode, PlatformStatus& status) {
    // O_NONBLOCK keeps an open of a FIFO from hanging; it changes nothing for
    // regular files.
    const int common = O_CLOEXEC | O_NONBLOCK;
    int fd = -1;
    bool created = false;
    switch (mode) {
        case OpenMode::read:
            fd = ::open(host.c_str(), O_RDONLY | common);
            break;
        case OpenMode::readWrite:
            fd = openOrCreate(host, O_RDWR | common, created);
            break;
        case OpenMode::truncate:
            fd = openOrCreate(host, O_RDWR | O_TRUNC | common, created);
            break;
        case OpenMode::append:
            // With O_APPEND every pwrite goes to the end of the file.
            fd = openOrCreate(host, O_RDWR | O_APPEND | common, created);
            break;
    }
    if (fd < 0) {
        status = statusFromErrno(errno);
        return nullptr;
    }
    status = checkRegular(fd);
    if (status != PlatformStatus::ok) {
        ::close(fd);
        return nullptr;
    }
    status = created ? PlatformStatus::created : PlatformStatus::ok;
    return std::make_unique<FdFile>(fd, created ? directoryOf(host) : std::string());
}

PlatformStatus removeHostFile(const std::string& host) {
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) {
        return statusFromErrno(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return PlatformStatus::accessDenied;
    }
    int fd = -1;
    if (S_ISREG(st.st_mode)) {
        // A read-only file is not deleted, as on Windows.
        if ((st.st_mode & S_IWUSR) == 0) {
            return PlatformStatus::accessDenied;
        }
        // Take the holder's lock first; keep it across the unlink so that no
        // process can take the file over in between.
        fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            ::close(fd);
            return error == EWOULDBLOCK ? PlatformStatus::locked : statusFromErrno(error);
        }
    }
    PlatformStatus status = PlatformStatus::ok;
    if (::unlink(host.c_str()) != 0) {
        status = statusFromErrno(errno);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return status;
}

PlatformStatus renameHostFile(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return PlatformStatus::ok;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return statusFromErrno(errno);
    }
    // A file system without RENAME_NOREPLACE: test, then move.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        return PlatformStatus::ioError;
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return statusFromErrno(errno);
    }
    return PlatformStatus::ok;
}

std::unique_ptr<ExclusiveHold> holdHostFile(const std::string& host, PlatformStatus& status) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        bool created = false;
        int fd = openOrCreate(host, O_RDWR | O_CLOEXEC | O_NONBLOCK, created);
        if (fd < 0) {
            status = statusFromErrno(errno);
            return nullptr;
        }
        status = checkRegular(fd);
        if (status != PlatformStatus::ok) {
            ::close(fd);
            return nullptr;
        }
        // Lock before emptying: a file another process holds stays untouched.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            ::close(fd);
            status = error == EWOULDBLOCK ? PlatformStatus::locked : statusFromErrno(error);
            return nullptr;
        }
        // The name may have been removed or replaced between open and lock;
        // a lock on a file no longer under that name guards nothing.
        struct stat held, named;
        if (::fstat(fd, &held) != 0 || ::stat(host.c_str(), &named) != 0 ||
            held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
            ::close(fd);
            continue;
        }
        if (!created && ::ftruncate(fd, 0) != 0) {
            status = statusFromErrno(errno);
            ::close(fd);
            return nullptr;
        }
        status = created ? PlatformStatus::created : PlatformStatus::ok;
        return std::make_unique<FlockHold>(fd);
    }
    status = PlatformStatus::ioError;
    return nullptr;
}

PlatformStatus probeHostFile(const std::string& host) {
    int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return statusFromErrno(errno);
    }
    PlatformStatus status = checkRegular(fd);
    if (status == PlatformStatus::ok && ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        status = errno == EWOULDBLOCK ? PlatformStatus::locked : statusFromErrno(errno);
    }
    ::close(fd);
    return status;
}

}  // namespace velumtar::posix
