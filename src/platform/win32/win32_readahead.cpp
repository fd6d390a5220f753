// The Win32 side of reading ahead: workers open a directory by its full path
// to check that it is reached through no link and to stamp it (volume, file
// index, last-write and change times), list it with FindFirstFileExW and a
// large fetch while they hold it, and read the facts of the watched files by
// full path as the platform's file information does; they never change the
// working directory. At the directory's turn the walk's thread enters it as
// the platform's entering of a directory does and stamps it again.
#include "platform/win32/win32_support.h"

#include <algorithm>

#include "platform/read_ahead.h"

namespace velumtar::win32 {
namespace {

using readahead::DirectoryStamp;

// The system stamps changes with a clock that advances in ticks of about
// 16 ms (in 100-ns units here): a directory changed less than this before
// it was read could change again without its times moving.
constexpr std::uint64_t kRacyTicks = 500000;

std::uint64_t ticks(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The directory `path`, when it is reached through no link, held while it is
// listed by its path: shared for reading and writing but not for deletion,
// so that the system refuses to move or remove it, or a folder above it,
// until it is closed, and the path leads to it throughout.
ScopedHandle holdDirectory(const std::wstring& path) {
    ScopedHandle directory = openDirectoryHandle(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    BY_HANDLE_FILE_INFORMATION info{};
    if (directory.valid() && !isDirectoryAt(directory.get(), path, info)) {
        directory.reset();
    }
    return directory;
}

bool stampOf(const ScopedHandle& directory, DirectoryStamp& stamp) {
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!directory.valid() || !GetFileInformationByHandle(directory.get(), &info) ||
        !GetFileInformationByHandleEx(directory.get(), FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    stamp.values[0] = info.dwVolumeSerialNumber;
    stamp.values[1] = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp.values[2] = ticks(info.ftLastWriteTime);
    stamp.values[3] = static_cast<std::uint64_t>(basic.ChangeTime.QuadPart);
    return true;
}

std::string joined(const std::string& parent, std::string_view name) {
    std::string path = parent;
    if (path.empty() || path.back() != '\\') {
        path += '\\';
    }
    path += name;
    return path;
}

class Win32Reader final : public readahead::DirectoryReader {
  public:
    bool read(const std::string& native, const WatchedNames& files, std::size_t maxBytes,
              readahead::Snapshot& out) override {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        const ScopedHandle directory = holdDirectory(widen(native));
        if (!stampOf(directory, out.stamp) ||
            std::max(out.stamp.values[2], out.stamp.values[3]) + kRacyTicks > ticks(now)) {
            return false;
        }
        const std::wstring pattern = widen(joined(native, "*.*"));
        WIN32_FIND_DATAW data{};
        HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (find == INVALID_HANDLE_VALUE) {
            return false;
        }
        bool complete = true;
        for (;;) {
            readahead::Item item;
            describeEntry(data, item.entry);
            if (item.entry.kind == EntryKind::file &&
                readahead::wanted(files, upper(item.entry.name))) {
                item.hasFacts = fileInformation(joined(native, item.entry.name), item.facts) ==
                                PlatformStatus::ok;
            }
            out.bytes += sizeof(readahead::Item) + item.entry.name.size();
            if (out.bytes > maxBytes) {
                complete = false;
                break;
            }
            out.items.push_back(std::move(item));
            if (!FindNextFileW(find, &data)) {
                complete = GetLastError() == ERROR_NO_MORE_FILES;
                break;
            }
        }
        FindClose(find);
        return complete;
    }

    bool subdirectories(const std::string& native,
                        const std::function<void(const std::string&)>& take) override {
        const ScopedHandle directory = holdDirectory(widen(native));
        if (!directory.valid()) {
            return false;
        }
        const std::wstring pattern = widen(joined(native, "*.*"));
        WIN32_FIND_DATAW data{};
        HANDLE find =
            FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                             FindExSearchLimitToDirectories, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (find == INVALID_HANDLE_VALUE) {
            return false;
        }
        ListingEntry entry;
        do {
            describeEntry(data, entry);
            if (entry.kind == EntryKind::directory) {
                take(entry.name);
            }
        } while (FindNextFileW(find, &data));
        const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
        FindClose(find);
        return complete;
    }

    std::string upper(std::string_view name) override {
        std::wstring wide = widen(name);
        CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
        return narrow(wide);
    }

    bool workingNative(std::string& native) override { return currentDirectory(native); }

    std::string childNative(const std::string& parent, const std::string& name) override {
        return joined(parent, name);
    }

    bool enter(const std::string& native, DirectoryStamp& now) override {
        ScopedHandle entered;
        if (!enterDirectory(widen(native), &entered)) {
            return false;
        }
        if (!stampOf(entered, now)) {
            now = DirectoryStamp{};
        }
        return true;
    }

    PlatformStatus facts(const std::string& parent, const std::string& name,
                         FileInformation& info) override {
        return fileInformation(joined(parent, name), info);
    }
};

}  // namespace
}  // namespace velumtar::win32

namespace velumtar::readahead {

std::unique_ptr<DirectoryReader> newSystemReader() {
    return std::make_unique<win32::Win32Reader>();
}

}  // namespace velumtar::readahead
