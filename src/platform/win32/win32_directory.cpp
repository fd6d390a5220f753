// Working directory, directory listing and file information.
#include "platform/win32/win32_support.h"

#include <atomic>
#include <climits>

namespace velumtar::win32 {
namespace {

// The attribute bits the listing reports; all others are dropped.
constexpr DWORD reportedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                     FILE_ATTRIBUTE_ARCHIVE;

}  // namespace

bool describeFacts(const FILETIME& lastWrite, DWORD sizeHigh, DWORD sizeLow, DWORD attributes,
                   FileInformation& info) {
    FILETIME local{};
    SYSTEMTIME time{};
    if (!FileTimeToLocalFileTime(&lastWrite, &local) || !FileTimeToSystemTime(&local, &time)) {
        return false;
    }
    info.size = (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
    info.attributes = static_cast<std::uint8_t>(attributes & reportedAttributes);
    info.year = time.wYear;
    info.month = time.wMonth;
    info.day = time.wDay;
    info.hour = time.wHour;
    info.minute = time.wMinute;
    info.second = time.wSecond;
    info.hundredths = 0;
    return true;
}

// A full drive path (C:\DIR\NAME) in the form the system takes literally,
// \\?\C:\DIR\NAME: a name with trailing dots or blanks, or a device's name
// (CON.EXE, NUL.DLL), is reached as the listing gave it, where the usual rules
// would cut the name or open the device. A path those rules would still have
// to tidy (a "." or ".." or empty component, a forward slash) is left as it
// is.
std::wstring literalPath(std::wstring path) {
    const bool drivePath =
        path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    if (!drivePath || path.find(L'/') != std::wstring::npos) {
        return path;
    }
    for (std::size_t start = 3; start < path.size();) {
        std::size_t stop = path.find(L'\\', start);
        if (stop == std::wstring::npos) {
            stop = path.size();
        }
        const std::wstring_view part(path.data() + start, stop - start);
        if (part.empty() || part == L"." || part == L"..") {
            return path;
        }
        start = stop + 1;
    }
    path.insert(0, L"\\\\?\\");
    return path;
}

EntryKind kindOf(const WIN32_FIND_DATAW& data) {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") {
        return EntryKind::dotEntry;
    }
    const DWORD attributes = data.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // Junctions, directory symbolic links and mount points stand for
        // another directory, possibly up the tree: reported, never entered.
        // Other reparse points (placeholders of cloud-synced folders,
        // deduplicated or container-layer directories) are the directories
        // themselves and are walked. The listing carries the tag in
        // dwReserved0 when the reparse bit is set; a listing that leaves it
        // zero (no tag is zero) tells nothing, and the entry is taken as a
        // link.
        const DWORD tag = data.dwReserved0;
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                          (tag == 0 || IsReparseTagNameSurrogate(tag));
        return link ? EntryKind::reparsePoint : EntryKind::directory;
    }
    if (attributes & FILE_ATTRIBUTE_DEVICE) {
        return EntryKind::other;
    }
    return EntryKind::file;
}

void describeEntry(const WIN32_FIND_DATAW& data, ListingEntry& entry) {
    // The name as listed, quotes included: a Windows name holds none, and
    // under Wine they are part of a Linux name.
    entry.name = narrow(data.cFileName);
    entry.attributes = static_cast<std::uint8_t>(data.dwFileAttributes & reportedAttributes);
    entry.kind = kindOf(data);
    entry.facts = FileInformation{};
    entry.hasFacts = entry.kind == EntryKind::file &&
                     describeFacts(data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow,
                                   data.dwFileAttributes, entry.facts);
}

namespace {

class Win32Listing final : public DirectoryListing {
  public:
    Win32Listing() = default;
    Win32Listing(const Win32Listing&) = delete;
    Win32Listing& operator=(const Win32Listing&) = delete;
    ~Win32Listing() override { end(); }

    ListingResult first(std::string_view pattern, ListingEntry& entry) override {
        end();
        // FindExInfoBasic skips the short 8.3 name, which the tool never
        // uses; the large fetch asks for entries in bigger batches.
        WIN32_FIND_DATAW data{};
        const std::wstring wide = widePath(pattern);
        handle_.reset(FindFirstFileExW(wide.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                       nullptr, FIND_FIRST_EX_LARGE_FETCH));
        if (!handle_.valid()) {
            switch (GetLastError()) {
                case ERROR_ACCESS_DENIED:
                    return ListingResult::accessDenied;
                case ERROR_FILE_NOT_FOUND:
                case ERROR_NO_MORE_FILES:
                    return ListingResult::end;
                default:
                    return ListingResult::error;
            }
        }
        describeEntry(data, entry);
        return ListingResult::entry;
    }

    ListingResult next(ListingEntry& entry) override {
        if (!handle_.valid()) {
            return ListingResult::error;
        }
        WIN32_FIND_DATAW data{};
        if (!FindNextFileW(handle_.get(), &data)) {
            return GetLastError() == ERROR_NO_MORE_FILES ? ListingResult::end
                                                         : ListingResult::error;
        }
        describeEntry(data, entry);
        return ListingResult::entry;
    }

    void end() override { handle_.reset(); }

  private:
    FindHandle handle_;
};

}  // namespace

bool currentDirectory(std::string& path) {
    // The directory can change between the two calls; retry until the
    // buffer is large enough.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            return false;
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.assign(length, L'\0');
    }
    // The root comes back as "C:\"; the tool keeps directories without the
    // trailing backslash.
    if (!buffer.empty() && buffer.back() == L'\\') {
        buffer.pop_back();
    }
    path = narrow(buffer);
    return true;
}

namespace {
// The working directory as enterDirectory() opened it (walk's thread only).
ScopedHandle entered;
}  // namespace

bool changeDirectory(std::string_view path) {
    entered.reset();
    return SetCurrentDirectoryW(widePath(path).c_str()) != 0;
}

HANDLE enteredDirectory() {
    return entered.get();
}

namespace {

// The working directory as the system holds it; empty when it cannot be read.
std::wstring workingDirectory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(length, L'\0');
    }
    return {};
}

// The volume serial number of the drive `letter`, asked once per drive.
bool driveSerial(wchar_t letter, DWORD& serial) {
    static std::atomic<std::uint64_t> known[26];
    if (letter >= L'a' && letter <= L'z') {
        letter = static_cast<wchar_t>(letter - L'a' + L'A');
    }
    if (letter < L'A' || letter > L'Z') {
        return false;
    }
    std::atomic<std::uint64_t>& slot = known[letter - L'A'];
    std::uint64_t value = slot.load(std::memory_order_relaxed);
    if (value == 0) {
        const wchar_t root[] = {letter, L':', L'\\', L'\0'};
        DWORD asked = 0;
        if (!GetVolumeInformationW(root, nullptr, 0, &asked, nullptr, nullptr, nullptr, 0)) {
            return false;
        }
        value = std::uint64_t{1} << 32 | asked;
        slot.store(value, std::memory_order_relaxed);
    }
    serial = static_cast<DWORD>(value);
    return true;
}

// The path of the open `handle` on its volume ("\A\B"), every link on the
// way to it resolved. A file system that cannot tell the normalized name
// tells the name as opened, which is also the one after the links.
bool finalPath(HANDLE handle, std::wstring& path) {
    path.assign(MAX_PATH, L'\0');
    DWORD form = FILE_NAME_NORMALIZED;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD length = GetFinalPathNameByHandleW(
            handle, path.data(), static_cast<DWORD>(path.size()), form | VOLUME_NAME_NONE);
        if (length == 0 && form == FILE_NAME_NORMALIZED) {
            form = FILE_NAME_OPENED;
            continue;
        }
        if (length == 0) {
            return false;
        }
        if (length < path.size()) {
            path.resize(length);
            return true;
        }
        path.assign(length, L'\0');
    }
    return false;
}

// The same names but for case, as the file system compares them.
bool sameNames(std::wstring_view a, std::wstring_view b) {
    while (!a.empty() && a.back() == L'\\') {
        a.remove_suffix(1);
    }
    while (!b.empty() && b.back() == L'\\') {
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty()) {
        return a.empty() && b.empty();
    }
    if (a.size() > INT_MAX || b.size() > INT_MAX) {
        return false;
    }
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A directory of its own: no junction, directory link or mount point, which
// stand for another directory (as the listing tells them apart, kindOf).
bool isPlainDirectory(HANDLE directory, BY_HANDLE_FILE_INFORMATION& info) {
    if (!GetFileInformationByHandle(directory, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return true;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &tag, sizeof tag) &&
           tag.ReparseTag != 0 && !IsReparseTagNameSurrogate(tag.ReparseTag);
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

ScopedHandle openDirectoryHandle(const std::wstring& path, DWORD share) {
    return ScopedHandle(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool isDirectoryAt(HANDLE directory, std::wstring_view path, BY_HANDLE_FILE_INFORMATION& info) {
    // The path is asked of the handle, not looked up again: a junction on
    // the way, even one put there after the handle was opened, shows as
    // another path (or another volume).
    DWORD serial = 0;
    std::wstring reached;
    return isPlainDirectory(directory, info) && path.size() >= 2 && path[1] == L':' &&
           driveSerial(path[0], serial) && serial == info.dwVolumeSerialNumber &&
           finalPath(directory, reached) && sameNames(reached, path.substr(2));
}

bool enterDirectory(const std::wstring& path) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    BY_HANDLE_FILE_INFORMATION before{}, after{};
    {
        // A link at the last part is refused before the change.
        const ScopedHandle seen = openDirectoryHandle(path, share);
        if (!seen.valid() || !isPlainDirectory(seen.get(), before)) {
            return false;
        }
    }
    const std::wstring previous = workingDirectory();
    entered.reset();
    if (!SetCurrentDirectoryW(path.c_str())) {
        return false;
    }
    // The working directory, whatever the path leads to by now: the one
    // seen before, at the path given, through no link.
    ScopedHandle here = openDirectoryHandle(L".", share);
    if (here.valid() && isDirectoryAt(here.get(), path, after) && sameFile(before, after)) {
        entered = std::move(here);
        return true;
    }
    if (!previous.empty()) {
        SetCurrentDirectoryW(previous.c_str());
    }
    return false;
}

std::unique_ptr<DirectoryListing> newListing() {
    return std::make_unique<Win32Listing>();
}

bool entryName(std::string_view path, std::string& name) {
    WIN32_FIND_DATAW data{};
    const FindHandle found(FindFirstFileExW(widePath(path).c_str(), FindExInfoBasic, &data,
                                            FindExSearchNameMatch, nullptr, 0));
    if (!found.valid()) {
        return false;
    }
    name = narrow(data.cFileName);
    return true;
}

PlatformStatus fileInformation(std::string_view path, FileInformation& info) {
    // GetFileAttributesExW reports on a symbolic link itself, not its target.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(literalPath(widePath(path)).c_str(), GetFileExInfoStandard, &data)) {
        return statusFromError(GetLastError());
    }
    if (!describeFacts(data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow,
                       data.dwFileAttributes, info)) {
        return PlatformStatus::ioError;
    }
    return PlatformStatus::ok;
}

}  // namespace velumtar::win32
