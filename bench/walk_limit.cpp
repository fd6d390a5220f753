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
#include <string>

#include "floor_walk.h"

namespace {

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
        const unsigned char type = floor_walk::listedType(dir, entry);
        if (type == DT_DIR) {
            onDirectory(dirfd(dir), name);
        } else if ((type == DT_REG || type == DT_LNK) && floor_walk::watched(name)) {
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

// Lists the directory at `path` and puts its sub-directories into `found`.
void listOne(const std::string& path, std::vector<std::string>& found) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    listDirectory(fd, [&](int, const char* name) { found.push_back(path + "/" + name); });
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 1;
    const char* root = floor_walk::parseArguments(argc, argv, "walk_limit", threads);
    if (root == nullptr)
        return 2;
    if (threads == 1) {
        int fd = open(root, O_RDONLY | O_DIRECTORY);
        if (fd < 0) {
            std::perror(root);
            return 1;
        }
        walk(fd);
    } else {
        floor_walk::runShared(threads, std::string(root), listOne);
    }
    std::printf("%llu directories listed, %llu files stated (%llu bytes)\n", directories.load(),
                stated.load(), bytes.load());
    return 0;
}
