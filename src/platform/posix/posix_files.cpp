// File services on POSIX: positional file access, removal and renaming, and
// the exclusively held instance marker.
//
// Windows refuses to open or delete a file that another process holds
// exclusively; POSIX locks are advisory and unlink ignores them. The marker is
// therefore held with flock(LOCK_EX), the probe tests that lock without
// blocking, and removal takes the same lock first, so a refused second
// instance cannot delete the marker of the instance that runs. A flock dies
// with its process, also after SIGKILL, which makes a leftover marker harmless.
//
// A lock on the marker alone guards only while the marker keeps its name:
// anyone who may write its directory may unlink or rename it, and a second
// instance would then create a new marker and run beside the first. The
// directory that holds the marker is therefore locked too, first: that lock
// stays with the directory whatever is done to the names in it.
//
// The tool's files sit in a directory other users may write to. Whatever is
// found under one of their names is opened only when it is a regular file of
// its own: never through a symbolic link (O_NOFOLLOW), never a directory, pipe
// or device, never a file with another name as well (a hard link to a file
// elsewhere; lstat before the open, fstat after it), and a missing file is
// created with O_EXCL. A file is emptied only after those checks.
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
    // `name`: the last part of the name it was opened by.
    FdFile(Descriptor fd, std::string newEntryIn, std::string name)
        : fd_(std::move(fd)), newEntryIn_(std::move(newEntryIn)), name_(std::move(name)) {}

    void willRead() override { (void)::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_WILLNEED); }

    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override {
        got = 0;
        auto* bytes = static_cast<char*>(buffer);
        while (got < length) {
            ssize_t n =
                ::pread(fd_.get(), bytes + got, length - got, static_cast<off_t>(offset + got));
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

    PlatformStatus identity(FileIdentity& identity) override {
        struct stat st;
        if (::fstat(fd_.get(), &st) != 0) {
            return statusFromErrno(errno);
        }
        identity.volume = static_cast<std::uint64_t>(st.st_dev);
        identity.index = static_cast<std::uint64_t>(st.st_ino);
        identity.links = static_cast<std::uint64_t>(st.st_nlink);
        identity.size = static_cast<std::uint64_t>(st.st_size);
        identity.writeTime =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        return PlatformStatus::ok;
    }

    PlatformStatus information(FileInformation& info) override {
        return openFileInformation(fd_.get(), name_, info);
    }

    PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        const auto* bytes = static_cast<const char*>(buffer);
        std::size_t done = 0;
        while (done < length) {
            ssize_t n =
                ::pwrite(fd_.get(), bytes + done, length - done, static_cast<off_t>(offset + done));
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
        if (::fstat(fd_.get(), &st) != 0) {
            return statusFromErrno(errno);
        }
        size = static_cast<std::uint64_t>(st.st_size);
        return PlatformStatus::ok;
    }

    PlatformStatus truncate(std::uint64_t size) override {
        if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) {
            return statusFromErrno(errno);
        }
        return PlatformStatus::ok;
    }

    // A new file's data may reach the device while its directory entry does
    // not, and a power loss then loses the file: the first sync after the
    // creation syncs its directory too, so nothing counts as durable before
    // the file's name is.
    PlatformStatus sync() override {
        if (::fdatasync(fd_.get()) != 0) {
            return statusFromErrno(errno);
        }
        if (!newEntryIn_.empty()) {
            const Descriptor dir(::open(newEntryIn_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
                return statusFromErrno(errno);
            }
            newEntryIn_.clear();
        }
        return PlatformStatus::ok;
    }

  private:
    Descriptor fd_;
    std::string newEntryIn_;
    std::string name_;
};

// The directory that holds `host`.
std::string directoryOf(const std::string& host) {
    std::size_t slash = host.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : host.substr(0, slash);
}

// The held file and, when it could be locked, its directory.
class FlockHold final : public ExclusiveHold {
  public:
    FlockHold(Descriptor fd, Descriptor directory)
        : fd_(std::move(fd)), directory_(std::move(directory)) {}

  private:
    Descriptor fd_;
    Descriptor directory_;
};

// Locks the directory `dir` with `operation` (LOCK_EX or LOCK_SH) without
// blocking: its descriptor, or none with `status` locked when another
// process holds a lock that conflicts, or none with another status when the
// directory cannot be opened or the file system does not lock directories.
// The lock goes with the descriptor.
Descriptor lockDirectory(const std::string& dir, int operation, PlatformStatus& status) {
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        status = statusFromErrno(errno);
        return fd;
    }
    if (::flock(fd.get(), operation | LOCK_NB) != 0) {
        status = errno == EWOULDBLOCK ? PlatformStatus::locked : statusFromErrno(errno);
        return Descriptor();
    }
    status = PlatformStatus::ok;
    return fd;
}

// Whether `st` is a regular file the tool may take for one of its own: with
// `follow` any regular file (the user's own list, which may be a link);
// without, only one that has no other name, since a hard link put under the
// tool's name leads to a file elsewhere as a symbolic link would. A watched
// file whose contents are read may have other names (`otherNames`).
bool ownRegular(const struct stat& st, bool follow, bool otherNames) {
    return S_ISREG(st.st_mode) && (follow || otherNames || st.st_nlink == 1);
}

// What the name `host` is before it is opened: notFound, ok for a regular
// file (`st` filled), accessDenied for anything else. With `follow` a
// symbolic link stands for what it leads to; without, a link of either kind
// is refused. A pipe or device is thus refused before any open could block
// on it or wake a process waiting at its other end.
PlatformStatus inspectName(const std::string& host, bool follow, struct stat& st,
                           bool otherNames = false) {
    int rc = follow ? ::stat(host.c_str(), &st) : ::lstat(host.c_str(), &st);
    if (rc != 0) {
        return statusFromErrno(errno);
    }
    return ownRegular(st, follow, otherNames) ? PlatformStatus::ok : PlatformStatus::accessDenied;
}

// The open file is the regular file inspectName() saw under its name, not
// one swapped in between, and has gained no other name meanwhile.
PlatformStatus checkSame(int fd, const struct stat& seen, bool follow, bool otherNames) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return statusFromErrno(errno);
    }
    if (!ownRegular(st, follow, otherNames) || st.st_dev != seen.st_dev ||
        st.st_ino != seen.st_ino) {
        return PlatformStatus::accessDenied;
    }
    return PlatformStatus::ok;
}

// Opens the file inspectName() saw as `seen`; none with `status` set when
// the open fails or finds another file under the name.
Descriptor openSeen(const std::string& host, int flags, const struct stat& seen, bool follow,
                    PlatformStatus& status, bool otherNames = false) {
    Descriptor fd(::open(host.c_str(), flags));
    if (fd.get() < 0) {
        status = errno == ELOOP ? PlatformStatus::accessDenied : statusFromErrno(errno);
        return fd;
    }
    status = checkSame(fd.get(), seen, follow, otherNames);
    return status == PlatformStatus::ok ? std::move(fd) : Descriptor();
}

// O_NOFOLLOW refuses a link at the last component, O_NONBLOCK keeps an open
// of a pipe put there in between from hanging (the fstat check then refuses
// it), and O_NOCTTY keeps a terminal from becoming the process's own.
constexpr int kSafeOpen = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// Opens the regular file `host` with `flags` (without O_CREAT, O_TRUNC),
// creating it exclusively when missing. `created` tells whether this call
// made the file. Returns none with `status` set on failure.
Descriptor openOrCreate(const std::string& host, int flags, bool& created, PlatformStatus& status) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        Descriptor fd(::open(host.c_str(), flags | kSafeOpen | O_CREAT | O_EXCL, 0666));
        if (fd.get() >= 0) {
            created = true;
            status = PlatformStatus::created;
            return fd;
        }
        if (errno != EEXIST) {
            status = statusFromErrno(errno);
            return fd;
        }
        // Something has the name: only a regular file is opened.
        struct stat seen;
        status = inspectName(host, false, seen);
        if (status == PlatformStatus::notFound) {
            continue;  // removed in between: try again
        }
        if (status != PlatformStatus::ok) {
            return fd;
        }
        fd = openSeen(host, flags | kSafeOpen, seen, false, status);
        if (fd.get() < 0 && status == PlatformStatus::notFound) {
            continue;
        }
        created = false;
        return fd;
    }
    status = PlatformStatus::ioError;
    return Descriptor();
}

// Opens an existing regular file for reading; a link is followed only with
// `follow`.
Descriptor openExisting(const std::string& host, bool follow, PlatformStatus& status,
                        bool otherNames = false) {
    struct stat seen;
    status = inspectName(host, follow, seen, otherNames);
    if (status != PlatformStatus::ok) {
        return Descriptor();
    }
    int flags = O_RDONLY | kSafeOpen;
    if (follow) {
        flags &= ~O_NOFOLLOW;
    }
    return openSeen(host, flags, seen, follow, status, otherNames);
}

}  // namespace

std::unique_ptr<File> openHostFile(const std::string& host, OpenMode mode, PlatformStatus& status) {
    Descriptor fd;
    bool created = false;
    switch (mode) {
        case OpenMode::read:
        case OpenMode::readFollowing:
            fd = openExisting(host, mode == OpenMode::readFollowing, status);
            break;
        case OpenMode::contents:
            // A watched file may have other names (hard links): read, never
            // written, so they lead nowhere the tool writes.
            fd = openExisting(host, false, status, true);
            break;
        case OpenMode::readWrite:
        case OpenMode::truncate:
            fd = openOrCreate(host, O_RDWR, created, status);
            break;
        case OpenMode::append:
            // With O_APPEND every pwrite goes to the end of the file.
            fd = openOrCreate(host, O_RDWR | O_APPEND, created, status);
            break;
    }
    if (fd.get() < 0) {
        return nullptr;
    }
    // Emptied only once it is known to be a regular file of its own name.
    if (mode == OpenMode::truncate && !created && ::ftruncate(fd.get(), 0) != 0) {
        status = statusFromErrno(errno);
        return nullptr;
    }
    status = created ? PlatformStatus::created : PlatformStatus::ok;
    return std::make_unique<FdFile>(std::move(fd), created ? directoryOf(host) : std::string(),
                                    host.substr(host.find_last_of('/') + 1));
}

PlatformStatus removeHostFile(const std::string& host) {
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) {
        return statusFromErrno(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return PlatformStatus::accessDenied;
    }
    Descriptor fd;
    if (S_ISREG(st.st_mode)) {
        // A read-only file is not deleted, as on Windows.
        if ((st.st_mode & S_IWUSR) == 0) {
            return PlatformStatus::accessDenied;
        }
        // Take the holder's lock first; keep it across the unlink so that no
        // process can take the file over in between.
        fd.reset(::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (fd.get() >= 0 && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            return errno == EWOULDBLOCK ? PlatformStatus::locked : statusFromErrno(errno);
        }
    }
    if (::unlink(host.c_str()) != 0) {
        return statusFromErrno(errno);
    }
    return PlatformStatus::ok;
}

PlatformStatus renameHostFile(const std::string& from, const std::string& to) {
    // A link is never moved: it would carry what it leads to under the new
    // name.
    struct stat seen;
    PlatformStatus status = inspectName(from, false, seen);
    if (status != PlatformStatus::ok) {
        return status;
    }
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

PlatformStatus replaceHostFile(const std::string& from, const std::string& to) {
    struct stat seen;
    PlatformStatus status = inspectName(from, false, seen);
    if (status != PlatformStatus::ok) {
        return status;
    }
    // rename() replaces `to` in one step; a link at `to` is itself replaced,
    // never followed.
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return statusFromErrno(errno);
    }
    return PlatformStatus::ok;
}

std::unique_ptr<ExclusiveHold> holdHostFile(const std::string& host, PlatformStatus& status) {
    // Where the directory cannot be locked for another reason than a holder
    // (a file system without locks on directories), the file's lock still
    // guards as long as its name is left alone.
    Descriptor directory = lockDirectory(directoryOf(host), LOCK_EX, status);
    if (directory.get() < 0 && status == PlatformStatus::locked) {
        return nullptr;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        bool created = false;
        Descriptor fd = openOrCreate(host, O_RDWR, created, status);
        if (fd.get() < 0) {
            return nullptr;
        }
        // Lock before emptying: a file another process holds stays untouched.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            status = errno == EWOULDBLOCK ? PlatformStatus::locked : statusFromErrno(errno);
            return nullptr;
        }
        // The name may have been removed or replaced between open and lock;
        // a lock on a file no longer under that name guards nothing.
        struct stat held, named;
        if (::fstat(fd.get(), &held) != 0 || ::lstat(host.c_str(), &named) != 0 ||
            held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
            continue;
        }
        if (!created && ::ftruncate(fd.get(), 0) != 0) {
            status = statusFromErrno(errno);
            return nullptr;
        }
        status = created ? PlatformStatus::created : PlatformStatus::ok;
        return std::make_unique<FlockHold>(std::move(fd), std::move(directory));
    }
    status = PlatformStatus::ioError;
    return nullptr;
}

PlatformStatus probeHostFile(const std::string& host) {
    // A holder keeps its directory locked even when the file's name has been
    // removed or taken by another file.
    PlatformStatus status;
    if (lockDirectory(directoryOf(host), LOCK_SH, status).get() < 0 &&
        status == PlatformStatus::locked) {
        return status;
    }
    const Descriptor fd = openExisting(host, false, status);
    if (fd.get() >= 0 && ::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
        status = errno == EWOULDBLOCK ? PlatformStatus::locked : statusFromErrno(errno);
    }
    return status;
}

}  // namespace velumtar::posix
