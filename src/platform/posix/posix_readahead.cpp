// The POSIX side of reading ahead: a reader opens a directory below the
// drive's root (held open by each thread) through no link, stamps it (device,
// inode, modification and change times) and lists it through the descriptor
// with the facts of its watched files; the working directory stays as it is.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"
#include "platform/read_ahead.h"

namespace velumtar::posix {
namespace {

using readahead::DirectoryStamp;

constexpr std::int64_t kNanoseconds = 1000000000;
constexpr std::int64_t kTick = 20000000;  // of the file system's clock, at most
// Descriptors left to the tool's own files, whatever the workers hold.
constexpr rlim_t kReserved = 64;

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * kNanoseconds + time.tv_nsec;
}

DirectoryStamp stampOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

int openBelowRoot(std::string host) {
    thread_local Descriptor rootFd;
    thread_local std::string rootPath;
    const std::string& root = processResolver().root();
    if (rootFd.get() < 0 || rootPath != root)
        rootFd.reset(::open((rootPath = root).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return openDirectoryBelow(rootFd.get(), root, host, false);
}

class PosixReader final : public readahead::DirectoryReader {
  public:
    PosixReader() : inputCounted_(::access("/proc/self/io", R_OK) == 0) {}

    bool read(const std::string& native, const WalkPlan& plan, std::size_t maxBytes,
              readahead::Snapshot& out, readahead::ChildList& children) override {
        out.clear();
        struct timespec start;
        ::clock_gettime(CLOCK_REALTIME, &start);
        const Descriptor fd(openBelowRoot(native));
        struct stat st;
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
            return false;
        out.stamp = stampOf(st);
        out.timesTell = readahead::timesTell(out.stamp, nanoseconds(start), kTick);
        // The directory's records straight from the system: no stream.
        alignas(8) char buffer[32768];
        ListingEntry entry;
        for (;;) {
            const ssize_t got = ::getdents64(fd.get(), buffer, sizeof buffer);
            if (got <= 0)
                return got == 0;
            for (ssize_t at = 0; at < got;) {
                const auto* item = reinterpret_cast<const dirent64*>(buffer + at);
                at += item->d_reclen;
                bool stated = false;
                if (!describeEntry(fd.get(), item->d_name, item->d_type, entry, stated))
                    continue;
                entry.hasFacts = entry.factsFromPath =
                    entry.kind == EntryKind::file && out.whole && plan.wantsFacts(entry.name) &&
                    hostFileInformationAt(fd.get(), item->d_name, native, entry.facts) ==
                        PlatformStatus::ok;
                out.add(entry, maxBytes);
                if (entry.kind == EntryKind::directory)
                    children.add(plan, entry.name, join(native, item->d_name));
            }
        }
    }

    bool workingNative(std::string& native) override {
        return processResolver().workingDirectory(native);
    }

    bool stampWorking(DirectoryStamp& now) override {
        // As the entering saw it, through the descriptor it entered by.
        const struct stat* entered = processResolver().workingStat();
        if (entered)
            now = stampOf(*entered);
        return entered != nullptr;
    }

    void served(const readahead::Snapshot& snapshot) override {
        // Noted as the system's own listing would: the walk's next changes
        // of directory find them without scanning.
        PathResolver& resolver = processResolver();
        std::string working;
        if (!resolver.workingDirectory(working))
            return;
        resolver.beginListing(working, true, resolver.workingKeyed());
        for (std::size_t i = 0; i < snapshot.size(); ++i) {
            if (snapshot.kind(i) == EntryKind::directory)
                resolver.noteListed(std::string(snapshot.name(i)), true);
        }
    }

    int affordable(int wanted) override {
        // Each worker holds the root and one directory at a time.
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= kReserved)
            return 0;
        return limit.rlim_cur == RLIM_INFINITY
                   ? wanted
                   : static_cast<int>(std::min<rlim_t>(static_cast<rlim_t>(wanted),
                                                       (limit.rlim_cur - kReserved) / 2));
    }

    // The blocks the system read from the device for this thread; without
    // the kernel's accounting of each task's input, the thread's voluntary
    // context switches stand in.
    long deviceWaits() override {
        struct rusage usage;
        if (::getrusage(RUSAGE_THREAD, &usage) != 0)
            return -1;
        return inputCounted_ ? usage.ru_inblock : usage.ru_nvcsw;
    }

  private:
    const bool inputCounted_;
};

}  // namespace
}  // namespace velumtar::posix

namespace velumtar::readahead {

std::unique_ptr<DirectoryReader> newSystemReader() {
    return std::make_unique<posix::PosixReader>();
}

}  // namespace velumtar::readahead
