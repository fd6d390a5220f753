// Working directory, directory listing and file information.
#include "platform/win32/win32_support.h"

namespace velumtar::win32 {
namespace {

// The attribute bits the listing reports; all others are dropped.
constexpr DWORD reportedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                     FILE_ATTRIBUTE_ARCHIVE;

EntryKind kindOf(const WIN32_FIND_DATAW& data) {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") {
        return EntryKind::dotEntry;
    }
    const DWORD attributes = data.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // Junctions and directory symbolic links lead elsewhere, possibly
        // back up the tree: they are reported but never entered.
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryKind::reparsePoint
                                                           : EntryKind::directory;
    }
    if (attributes & FILE_ATTRIBUTE_DEVICE) {
        return EntryKind::other;
    }
    return EntryKind::file;
}

}  // namespace

void fill(const WIN32_FIND_DATAW& data, ListingEntry& entry) {
    entry.name = narrow(data.cFileName);
    entry.attributes = static_cast<std::uint8_t>(data.dwFileAttributes & reportedAttributes);
    entry.kind = kindOf(data);
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
        handle_ = FindFirstFileExW(wide.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (handle_ == INVALID_HANDLE_VALUE) {
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
        fill(data, entry);
        return ListingResult::entry;
    }

    ListingResult next(ListingEntry& entry) override {
        if (handle_ == INVALID_HANDLE_VALUE) {
            return ListingResult::error;
        }
        WIN32_FIND_DATAW data{};
        if (!FindNextFileW(handle_, &data)) {
            return GetLastError() == ERROR_NO_MORE_FILES ? ListingResult::end
                                                         : ListingResult::error;
        }
        fill(data, entry);
        return ListingResult::entry;
    }

    void end() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            FindClose(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
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

bool changeDirectory(std::string_view path) {
    return SetCurrentDirectoryW(widePath(path).c_str()) != 0;
}

std::unique_ptr<DirectoryListing> newListing() {
    return std::make_unique<Win32Listing>();
}

PlatformStatus fileInformation(std::string_view path, FileInformation& info) {
    // GetFileAttributesExW reports on a symbolic link itself, not its target.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(widePath(path).c_str(), GetFileExInfoStandard, &data)) {
        return statusFromError(GetLastError());
    }
    FILETIME local{};
    SYSTEMTIME time{};
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
        !FileTimeToSystemTime(&local, &time)) {
        return PlatformStatus::ioError;
    }
    info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info.attributes = static_cast<std::uint8_t>(data.dwFileAttributes & reportedAttributes);
    info.year = time.wYear;
    info.month = time.wMonth;
    info.day = time.wDay;
    info.hour = time.wHour;
    info.minute = time.wMinute;
    info.second = time.wSecond;
    info.hundredths = 0;
    return PlatformStatus::ok;
}

}  // namespace velumtar::win32
