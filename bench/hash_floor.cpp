// The least work fingerprinting a drive can do: list every directory and read
// and hash (SHA-256, the tool's own) every file whose name ends in a watched
// extension, nothing else. The drive benchmark measures the tool's
// fingerprinting runs against this program.
//
//     hash_floor [--threads N] DIR
//
// N threads (1 by default) share a stack of directories to list and files to
// read: each takes one, lists the directory and puts its sub-directories and
// watched files on the stack, or reads the file 256 KiB at a time and hashes
// it, so that N requests to the disk can be outstanding at once.
//
// Prints the number of directories listed, files hashed and bytes read.
// Symbolic links are neither followed nor read.
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

#include "platform/sha256.h"

namespace {

const char* const kWatched[] = {"dll", "exe", "msi", "com", "ocx", "jar",
                                "bin", "scr", "sys", "vb",  "bat", "cmd"};
constexpr std::size_t kPiece = 256 * 1024;

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
std::atomic<unsigned long long> hashed{0};
std::atomic<unsigned long long> bytes{0};
std::atomic<unsigned> checksum{0};  // keeps the digests from being optimised away

struct Item {
    std::string path;
    bool directory;
};

std::mutex stackLock;
std::condition_variable stackChanged;
std::vector<Item> stack;
int busy = 0;

void hashFile(const std::string& path, velumtar::Sha256& sha, std::vector<unsigned char>& buffer) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    unsigned long long total = 0;
    bool ok = sha.restart();
    for (ssize_t got; ok && (got = read(fd, buffer.data(), buffer.size())) > 0;) {
        ok = sha.update(buffer.data(), static_cast<std::size_t>(got));
        total += static_cast<unsigned long long>(got);
    }
    close(fd);
    velumtar::Sha256::Digest digest{};
    if (ok && sha.finish(digest)) {
        ++hashed;
        bytes += total;
        checksum += digest[0];
    }
}

void listDirectory(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return;
    ++directories;
    std::vector<Item> found;
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
        if (type == DT_DIR)
            found.push_back({path + "/" + name, true});
        else if (type == DT_REG && watched(name))
            found.push_back({path + "/" + name, false});
    }
    closedir(dir);
    std::lock_guard<std::mutex> lock(stackLock);
    for (Item& item : found)
        stack.push_back(std::move(item));
    if (!found.empty())
        stackChanged.notify_all();
}

void worker() {
    velumtar::Sha256 sha;
    std::vector<unsigned char> buffer(kPiece);
    std::unique_lock<std::mutex> lock(stackLock);
    for (;;) {
        stackChanged.wait(lock, [] { return !stack.empty() || busy == 0; });
        if (stack.empty())
            return;
        Item item = std::move(stack.back());
        stack.pop_back();
        ++busy;
        lock.unlock();
        if (item.directory)
            listDirectory(item.path);
        else
            hashFile(item.path, sha, buffer);
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
        std::fprintf(stderr, "usage: hash_floor [--threads N] DIR\n");
        return 2;
    }
    stack.push_back({argv[1], true});
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back(worker);
    for (std::thread& t : pool)
        t.join();
    std::printf("%llu directories listed, %llu files hashed (%llu bytes, check %u)\n",
                directories.load(), hashed.load(), bytes.load(), checksum.load());
    return 0;
}
