// The Win32 side of reading ahead: a reader opens a directory by its full
// path, checks it is reached through no link, stamps it (volume, file index,
// last-write and change times) and lists it with a large fetch while it holds
// it, with the facts of its watched files by full path; the working directory
// stays as it is.
#include "platform/win32/win32_support.h"

#include "platform/read_ahead.h"

namespace velumtar::win32 {
namespace {

// FILETIME ticks (100 ns since 1601) to nanoseconds since 1970.
constexpr std::int64_t kTicksTo1970 = 116444736000000000;
constexpr std::int64_t kTick = 50000000;  // of the system's clock (about 16 ms), at most

std::int64_t nanoseconds(std::int64_t ticks) {
    return (ticks - kTicksTo1970) * 100;
}

// `info`: the directory's information, as the system gave it for `directory`.
bool stampOf(HANDLE directory, const BY_HANDLE_FILE_INFORMATION& info,
             readahead::DirectoryStamp& stamp) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(directory, FileBasicInfo, &basic, sizeof basic))
        return false;
    stamp = {info.dwVolumeSerialNumber,
             (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
             nanoseconds(basic.LastWriteTime.QuadPart), nanoseconds(basic.ChangeTime.QuadPart)};
    return true;
}

std::string joined(const std::string& parent, std::string_view name) {
    return parent + (!parent.empty() && parent.back() == '\\' ? "" : "\\") + std::string(name);
}

class Win32Reader final : public readahead::DirectoryReader {
  public:
    bool read(const std::string& native, const WalkPlan& plan, std::size_t maxBytes,
              readahead::Snapshot& out, readahead::ChildList& children) override {
        out.clear();
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        const auto readAt = (std::int64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
        // Held without delete sharing while it is listed by its path: the
        // system refuses to move or remove it, or a folder above it, so the
        // path leads to it throughout.
        const std::wstring path = widen(native);
        const ScopedHandle directory =
            openDirectoryHandle(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
        BY_HANDLE_FILE_INFORMATION info{};
        if (!directory.valid() || !isDirectoryAt(directory.get(), path, info) ||
            !stampOf(directory.get(), info, out.stamp))
            return false;
        out.timesTell = readahead::timesTell(out.stamp, nanoseconds(readAt), kTick);
        const std::wstring pattern = widen(joined(native, "*.*"));
        WIN32_FIND_DATAW data{};
        const FindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                               FindExSearchNameMatch, nullptr,
                                               FIND_FIRST_EX_LARGE_FETCH));
        if (!find.valid())
            return false;
        ListingEntry entry;
        FileInformation facts;
        do {
            // The facts of the path where it gives them, else the listing's.
            describeEntry(data, entry);
            entry.factsFromPath =
                entry.kind == EntryKind::file && out.whole && plan.wantsFacts(entry.name) &&
                fileInformation(joined(native, entry.name), facts) == PlatformStatus::ok;
            if (entry.factsFromPath)
                entry.facts = facts;
            entry.hasFacts = entry.hasFacts || entry.factsFromPath;
            out.add(entry, maxBytes);
            if (entry.kind == EntryKind::directory)
                children.add(plan, entry.name, joined(native, entry.name));
        } while (FindNextFileW(find.get(), &data));
        return GetLastError() == ERROR_NO_MORE_FILES;
    }

    bool workingNative(std::string& native) override { return currentDirectory(native); }

    bool stampWorking(readahead::DirectoryStamp& now) override {
        // As the entering saw it, through the handle it checked the directory by.
        BY_HANDLE_FILE_INFORMATION info{};
        const HANDLE working = enteredDirectory();
        return working != INVALID_HANDLE_VALUE && GetFileInformationByHandle(working, &info) &&
               stampOf(working, info, now);
    }
};

}  // namespace
}  // namespace velumtar::win32

namespace velumtar::readahead {

std::unique_ptr<DirectoryReader> newSystemReader() {
    return std::make_unique<win32::Win32Reader>();
}

}  // namespace velumtar::readahead
