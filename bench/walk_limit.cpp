// The least work a walk of a drive can do: list every directory and stat only
// the files whose name ends in a watched extension, nothing else. The drive
// benchmark measures the tool against this program.
//
//     walk_limit [--threads N] DIR
//
// With one thread (the default) the walk is depth-first and fd-relative. With
// N threads they share a stack of directories still to list: each takes one,
// lists it (fd-relative) and puts its sub-directories on the stack, so that N
// requests to the disk can be outstanding at once.
//
// Prints the number of directories listed and files stated. Symbolic links
// are not followed; entries are told apart by the type readdir reports (and
// by lstat where the file system does not report it).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kWatched[] = {"dll", "exe", "msi", "com", "ocx", "jar",
                                "bin", "scr", "sys", "vb",  "bat", "cmd"};

bool watched(const char* name) {
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr)
        return false;
    for (const char* ext : kWatched) {
        if (strcasecmp(dot + 1, ext) == 0)
            return true;
    }
    return false;
}

std::atomic<unsigned long long> directories{0};
std::atomic<unsigned long long> stated{0};
std::atomic<unsigned long long> bytes{0};

// Lists the directory open as `fd` (taken over and closed): stats the watched
// files and hands each sub-directory to `onDirectory(parentFd, name)`, while
// the directory is still open.
template <class OnDirectory>
void listDirectory(int fd, OnDirectory onDirectory) {
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    ++directories;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            onDirectory(dirfd(dir), name);
        } else if ((type == DT_REG || type == DT_LNK) && watched(name)) {
            struct stat st;
            if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                ++stated;
                bytes += static_cast<unsigned long long>(st.st_size);
            }
        }
    }
    closedir(dir);
}

// Lists the directory open as `fd` (taken over and closed) and everything below.
void walk(int fd) {
    listDirectory(fd, [](int parent, const char* name) {
        int child = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (child >= 0)
            walk(child);
    });
}

// The shared stack of the threaded walk, and the number of threads listing a
// directory (whose sub-directories may still come).
std::mutex stackLock;
std::condition_variable stackChanged;
std::vector<std::string> stack;
int busy = 0;

void listOne(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    std::vector<std::string> found;
    listDirectory(fd, [&](int, const char* name) { found.push_back(path + "/" + name); });
    std::lock_guard<std::mutex> lock(stackLock);
    for (std::string& sub : found)
        stack.push_back(std::move(sub));
    if (!found.empty())
        stackChanged.notify_all();
}

void worker() {
    std::unique_lock<std::mutex> lock(stackLock);
    for (;;) {
        stackChanged.wait(lock, [] { return !stack.empty() || busy == 0; });
        if (stack.empty())
            return;
        std::string path = std::move(stack.back());
        stack.pop_back();
        ++busy;
        lock.unlock();
        listOne(path);
        lock.lock();
        if (--busy == 0 && stack.empty())
            stackChanged.notify_all();
    }
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 1;
    if (argc == 4 && std::strcmp(argv[1], "--threads") == 0) {
        threads = std::atoi(argv[2]);
        argv += 2;
        argc -= 2;
    }
    if (argc != 2 || threads < 1) {
        std::fprintf(stderr, "usage: walk_limit [--threads N] DIR\n");
        return 2;
    }
    if (threads == 1) {
        int fd = open(argv[1], O_RDONLY | O_DIRECTORY);
        if (fd < 0) {
            std::perror(argv[1]);
            return 1;
        }
        walk(fd);
    } else {
        stack.push_back(argv[1]);
        std::vector<std::thread> pool;
        for (int i = 0; i < threads; ++i)
            pool.emplace_back(worker);
        for (std::thread& t : pool)
            t.join();
    }
    std::printf("%llu directories listed, %llu files stated (%llu bytes)\n", directories.load(),
                stated.load(), bytes.load());
    return 0;
}
