// The POSIX side of reading ahead: workers open a directory below the
// drive's root through no link (or relative to its parent, when they read
// that last, without following a link there either), stamp it (device,
// inode, modification and change times) and list it through the open
// descriptor, reading the facts of the watched files relative to it; they
// never change the working directory. At the directory's turn the walk's
// thread enters it as the platform's entering of a directory does and stamps
// it again.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "platform/read_ahead.h"
#include "util/name_mapping.h"

namespace velumtar::posix {
namespace {

using readahead::DirectoryStamp;

constexpr std::int64_t kNanoseconds = 1000000000;
// The file system stamps changes with a clock that advances in ticks of a
// few milliseconds: a directory changed less than this before it was read
// could change again without its times moving.
constexpr std::int64_t kRacyNanoseconds = 20000000;

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * kNanoseconds + time.tv_nsec;
}

DirectoryStamp stampOf(const struct stat& st) {
    DirectoryStamp stamp;
    stamp.values[0] = static_cast<std::uint64_t>(st.st_dev);
    stamp.values[1] = static_cast<std::uint64_t>(st.st_ino);
    stamp.values[2] = static_cast<std::uint64_t>(nanoseconds(st.st_mtim));
    stamp.values[3] = static_cast<std::uint64_t>(nanoseconds(st.st_ctim));
    return stamp;
}

// The size of a directory record of a short name.
constexpr std::size_t kShortRecord = 32;

constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The directories a worker read last, kept open: the walk's order brings
// their sub-directories soon after them, and one opened relative to its open
// parent spares the system the lookup of the whole path. A parent replaced
// meanwhile costs nothing: its turn finds another directory at the path.
// Others are opened from the drive's root, also kept open.
class OpenDirectories {
  public:
    OpenDirectories() = default;
    ~OpenDirectories() {
        for (const Kept& kept : kept_) {
            ::close(kept.fd);
        }
        if (rootFd_ >= 0) {
            ::close(rootFd_);
        }
    }
    OpenDirectories(const OpenDirectories&) = delete;
    OpenDirectories& operator=(const OpenDirectories&) = delete;

    int open(const std::string& native) {
        const std::size_t slash = native.find_last_of('/');
        if (slash != std::string::npos && slash > 0 && slash + 1 < native.size()) {
            const std::string_view parent(native.data(), slash);
            for (const Kept& kept : kept_) {
                if (kept.native == parent) {
                    return ::openat(kept.fd, native.c_str() + slash + 1, kOpenFlags);
                }
            }
        }
        return openFromRoot(native);
    }

    // `native` opened below the drive's root, through no link.
    int openFromRoot(const std::string& native) {
        const std::string& root = processResolver().root();
        if (rootFd_ < 0 || root != rootNative_) {
            if (rootFd_ >= 0) {
                ::close(rootFd_);
            }
            rootNative_ = root;
            rootFd_ = ::open(root.c_str(), kOpenFlags & ~O_NOFOLLOW);
        }
        std::string host = native;
        return openDirectoryBelow(rootFd_, rootNative_, host, false);
    }

    // Takes over `fd`.
    void keep(const std::string& native, int fd) {
        if (kept_.size() == kKept) {
            ::close(kept_.front().fd);
            kept_.erase(kept_.begin());
        }
        kept_.push_back({native, fd});
    }

  private:
    static constexpr std::size_t kKept = 8;
    struct Kept {
        std::string native;
        int fd;
    };
    std::vector<Kept> kept_;
    std::string rootNative_;
    int rootFd_ = -1;
};

thread_local OpenDirectories openDirectories;

class PosixReader final : public readahead::DirectoryReader {
  public:
    PosixReader() : inputCounted_(::access("/proc/self/io", R_OK) == 0) {}

    bool read(const std::string& native, const WatchedNames& files, std::size_t maxBytes,
              readahead::Snapshot& out) override {
        struct timespec start;
        ::clock_gettime(CLOCK_REALTIME, &start);
        const int fd = openDirectories.open(native);
        if (fd < 0) {
            return false;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 ||
            std::max(nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)) + kRacyNanoseconds >
                nanoseconds(start)) {
            ::close(fd);
            return false;
        }
        out.stamp = stampOf(st);
        // The directory's records straight from the system: no stream, so no
        // second stat and no descriptor flags to check.
        alignas(8) char buffer[32768];
        bool complete = true;
        for (;;) {
            const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
            if (got <= 0) {
                complete = got == 0;
                break;
            }
            // Room for about as many entries as arrived, at once.
            out.items.reserve(out.items.size() + static_cast<std::size_t>(got) / kShortRecord);
            for (ssize_t at = 0; at < got && complete;) {
                const auto* item = reinterpret_cast<const dirent64*>(buffer + at);
                at += item->d_reclen;
                complete = add(fd, native, files, item->d_name, item->d_type, maxBytes, out);
            }
            if (!complete) {
                break;
            }
        }
        if (complete && hasDirectories(out)) {
            openDirectories.keep(native, fd);
        } else {
            ::close(fd);
        }
        return complete;
    }

    bool subdirectories(const std::string& native,
                        const std::function<void(const std::string&)>& take) override {
        const int fd = openDirectories.openFromRoot(native);
        if (fd < 0) {
            return false;
        }
        alignas(8) char buffer[32768];
        ssize_t got;
        ListingEntry entry;
        while ((got = ::getdents64(fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < got;) {
                const auto* item = reinterpret_cast<const dirent64*>(buffer + at);
                at += item->d_reclen;
                const std::string_view name = item->d_name;
                bool stated = false;
                if (name != "." && name != ".." &&
                    describeEntry(fd, item->d_name, item->d_type, entry, stated) &&
                    entry.kind == EntryKind::directory) {
                    take(entry.name);
                }
            }
        }
        ::close(fd);
        return got == 0;
    }

    static bool hasDirectories(const readahead::Snapshot& snapshot) {
        return std::any_of(snapshot.items.begin(), snapshot.items.end(), [](const auto& item) {
            return item.entry.kind == EntryKind::directory;
        });
    }

    // Adds one listed entry; false when the listing grows beyond `maxBytes`.
    static bool add(int fd, const std::string& native, const WatchedNames& files, const char* name,
                    unsigned char type, std::size_t maxBytes, readahead::Snapshot& out) {
        readahead::Item listed;
        const std::string_view text = name;
        if (text == "." || text == "..") {
            listed.entry.name = text;
            listed.entry.attributes = attr::directory;
            listed.entry.kind = EntryKind::dotEntry;
        } else {
            bool stated = false;
            if (!describeEntry(fd, name, type, listed.entry, stated)) {
                return true;
            }
            if (listed.entry.kind == EntryKind::file) {
                thread_local std::string upperName;
                asciiUpper(listed.entry.name, upperName);
                if (readahead::wanted(files, upperName)) {
                    listed.hasFacts =
                        hostFileInformationAt(fd, name, native, listed.facts) == PlatformStatus::ok;
                }
            }
        }
        out.bytes += sizeof(readahead::Item) + text.size();
        if (out.bytes > maxBytes) {
            return false;
        }
        out.items.push_back(std::move(listed));
        return true;
    }

    // The blocks the system read from the device for this thread. Without
    // the kernel's accounting of each task's input (no /proc/self/io) that
    // count stays 0; the thread's voluntary context switches stand in, which
    // count waiting for a lock as well.
    long deviceWaits() override {
        struct rusage usage;
        if (::getrusage(RUSAGE_THREAD, &usage) != 0) {
            return -1;
        }
        return inputCounted_ ? usage.ru_inblock : usage.ru_nvcsw;
    }

    std::string upper(std::string_view name) override { return asciiUpper(name); }

    bool workingNative(std::string& native) override {
        return processResolver().workingDirectory(native);
    }

    // Names come and go as the listing delivers them: drive names.
    std::string childNative(const std::string& parent, const std::string& name) override {
        return join(parent, hostName(name));
    }

    bool enter(const std::string& native, DirectoryStamp& now) override {
        std::string host = native;
        struct stat st;
        if (!processResolver().enterBelowRoot(host, false, &st)) {
            return false;
        }
        now = stampOf(st);
        return true;
    }

    PlatformStatus facts(const std::string& parent, const std::string& name,
                         FileInformation& info) override {
        return hostFileInformation(join(parent, hostName(name)), info);
    }

  private:
    const bool inputCounted_;
};

}  // namespace
}  // namespace velumtar::posix

namespace velumtar::readahead {

std::unique_ptr<DirectoryReader> newSystemReader() {
#ifdef M_ARENA_MAX
    // The workers allocate little and briefly: one heap for all threads keeps
    // the process's memory where it was without them (a heap per thread
    // keeps its own pages).
    ::mallopt(M_ARENA_MAX, 1);
#endif
    return std::make_unique<posix::PosixReader>();
}

}  // namespace velumtar::readahead
