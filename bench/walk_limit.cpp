// The least work a walk of a drive can do: list every directory and stat only
// the files whose name ends in a watched extension, nothing else. The drive
// benchmark measures the tool against this program.
//
//     walk_limit DIR
//
// Prints the number of directories listed and files stated. Symbolic links
// are not followed; entries are told apart by the type readdir reports (and
// by lstat where the file system does not report it).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

unsigned long long directories = 0;
unsigned long long stated = 0;
unsigned long long bytes = 0;

// Lists the directory open as `fd` (taken over and closed) and everything below.
void walk(int fd) {
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
            int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (child >= 0)
                walk(child);
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: walk_limit DIR\n");
        return 2;
    }
    int fd = open(argv[1], O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    walk(fd);
    std::printf("%llu directories listed, %llu files stated (%llu bytes)\n", directories, stated,
                bytes);
    return 0;
}
