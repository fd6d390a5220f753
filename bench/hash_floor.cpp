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
#include <string>

#include "floor_walk.h"
#include "platform/sha256.h"

namespace {

constexpr std::size_t kPiece = 256 * 1024;

std::atomic<unsigned long long> directories{0};
std::atomic<unsigned long long> hashed{0};
std::atomic<unsigned long long> bytes{0};
std::atomic<unsigned> checksum{0};  // keeps the digests from being optimised away

struct Item {
    std::string path;
    bool directory;
};

void hashFile(const std::string& path) {
    thread_local velumtar::Sha256 sha;
    thread_local std::vector<unsigned char> buffer(kPiece);
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

void listDirectory(const std::string& path, std::vector<Item>& found) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return;
    ++directories;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        const unsigned char type = floor_walk::listedType(dir, entry);
        if (type == DT_DIR)
            found.push_back({path + "/" + name, true});
        else if (type == DT_REG && floor_walk::watched(name))
            found.push_back({path + "/" + name, false});
    }
    closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 1;
    const char* root = floor_walk::parseArguments(argc, argv, "hash_floor", threads);
    if (root == nullptr)
        return 2;
    floor_walk::runShared(threads, Item{root, true},
                          [](const Item& item, std::vector<Item>& found) {
                              if (item.directory)
                                  listDirectory(item.path, found);
                              else
                                  hashFile(item.path);
                          });
    std::printf("%llu directories listed, %llu files hashed (%llu bytes, check %u)\n",
                directories.load(), hashed.load(), bytes.load(), checksum.load());
    return 0;
}
