// What the floor programs share: which names are watched, the command line
// and N threads sharing a stack of work (directories to list, files to read)
// where handling one item may add more.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace floor_walk {

inline bool watched(const char* name) {
    static const char* const kWatched[] = {"dll", "exe", "msi", "com", "ocx", "jar",
                                           "bin", "scr", "sys", "vb",  "bat", "cmd"};
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr)
        return false;
    for (const char* ext : kWatched) {
        if (strcasecmp(dot + 1, ext) == 0)
            return true;
    }
    return false;
}

// The type of a listed entry as readdir reports it (lstat's where the file
// system reports none); DT_UNKNOWN for "." and ".." and what lstat cannot
// tell as a directory or a regular file.
inline unsigned char listedType(DIR* dir, const dirent* entry) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
        return DT_UNKNOWN;
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type;
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    return S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
}

// `program [--threads N] DIR`: the directory, and N (1 by default) in
// `threads`; nullptr after printing the usage.
inline const char* parseArguments(int argc, char** argv, const char* program, int& threads) {
    threads = 1;
    if (argc == 4 && std::strcmp(argv[1], "--threads") == 0) {
        threads = std::atoi(argv[2]);
        argv += 2;
        argc -= 2;
    }
    if (argc != 2 || threads < 1) {
        std::fprintf(stderr, "usage: %s [--threads N] DIR\n", program);
        return nullptr;
    }
    return argv[1];
}

// Runs `threads` threads over a shared stack that starts with `first`:
// each takes an item and calls `handle(item, found)`, which puts the items
// it finds into `found`; the threads end when the stack is empty and no
// thread is still handling an item.
template <class Item, class Handle>
void runShared(int threads, Item first, Handle handle) {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Item> stack{std::move(first)};
    int busy = 0;
    auto worker = [&] {
        std::vector<Item> found;
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            changed.wait(held, [&] { return !stack.empty() || busy == 0; });
            if (stack.empty())
                return;
            Item item = std::move(stack.back());
            stack.pop_back();
            ++busy;
            held.unlock();
            found.clear();
            handle(item, found);
            held.lock();
            for (Item& each : found)
                stack.push_back(std::move(each));
            if (--busy == 0 || !found.empty())
                changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back(worker);
    for (std::thread& t : pool)
        t.join();
}

}  // namespace floor_walk
