// Files, removal and renaming, and the exclusively held instance marker.
#include <algorithm>

#include "platform/win32/win32_support.h"

namespace velumtar::win32 {
namespace {

// Largest transfer handed to one ReadFile/WriteFile call.
constexpr std::size_t maxChunk = 1u << 30;

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

PlatformStatus lastStatus() {
    return statusFromError(GetLastError());
}

// A file opened with CreateFileW. Reads and writes name their offset in an
// OVERLAPPED block, so no shared file pointer is involved; on a handle opened
// without FILE_FLAG_OVERLAPPED the calls still complete before returning.
class Win32File final : public File {
  public:
    Win32File(ScopedHandle handle, bool append) : handle_(std::move(handle)), append_(append) {}

    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override {
        got = 0;
        auto* bytes = static_cast<unsigned char*>(buffer);
        while (got < length) {
            const auto chunk = static_cast<DWORD>(std::min(length - got, maxChunk));
            OVERLAPPED overlapped = at(offset + got);
            DWORD done = 0;
            if (!ReadFile(handle_.get(), bytes + got, chunk, &done, &overlapped)) {
                // Reading at or past the end fails with ERROR_HANDLE_EOF
                // instead of returning zero bytes.
                if (GetLastError() == ERROR_HANDLE_EOF) {
                    break;
                }
                return lastStatus();
            }
            if (done == 0) {
                break;
            }
            got += done;
        }
        return PlatformStatus::ok;
    }

    PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (append_) {
            LARGE_INTEGER end{};
            if (!GetFileSizeEx(handle_.get(), &end)) {
                return lastStatus();
            }
            offset = static_cast<std::uint64_t>(end.QuadPart);
        }
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        std::size_t written = 0;
        while (written < length) {
            const auto chunk = static_cast<DWORD>(std::min(length - written, maxChunk));
            OVERLAPPED overlapped = at(offset + written);
            DWORD done = 0;
            if (!WriteFile(handle_.get(), bytes + written, chunk, &done, &overlapped)) {
                return lastStatus();
            }
            if (done == 0) {
                return PlatformStatus::ioError;
            }
            written += done;
        }
        return PlatformStatus::ok;
    }

    PlatformStatus size(std::uint64_t& size) override {
        LARGE_INTEGER value{};
        if (!GetFileSizeEx(handle_.get(), &value)) {
            return lastStatus();
        }
        size = static_cast<std::uint64_t>(value.QuadPart);
        return PlatformStatus::ok;
    }

    PlatformStatus truncate(std::uint64_t size) override {
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(size);
        if (!SetFilePointerEx(handle_.get(), position, nullptr, FILE_BEGIN) ||
            !SetEndOfFile(handle_.get())) {
            return lastStatus();
        }
        return PlatformStatus::ok;
    }

    PlatformStatus sync() override {
        return FlushFileBuffers(handle_.get()) ? PlatformStatus::ok : lastStatus();
    }

    PlatformStatus identity(FileIdentity& identity) override {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(handle_.get(), &info)) {
            return lastStatus();
        }
        identity.volume = info.dwVolumeSerialNumber;
        identity.index =
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        identity.links = info.nNumberOfLinks;
        identity.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        identity.writeTime = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
            info.ftLastWriteTime.dwLowDateTime);
        return PlatformStatus::ok;
    }

    // Gives the handle back (the object is of no use afterwards).
    ScopedHandle release() { return std::move(handle_); }

  private:
    ScopedHandle handle_;
    bool append_;
};

class Win32Hold final : public ExclusiveHold {
  public:
    explicit Win32Hold(ScopedHandle handle) : handle_(std::move(handle)) {}

  private:
    ScopedHandle handle_;
};

}  // namespace

namespace {

// Whether an open handle is a regular file of its own: a file on a disk, not
// a directory, a pipe, a device or a reparse point (a symbolic link or a
// junction, which FILE_FLAG_OPEN_REPARSE_POINT opens instead of following);
// unless `follow` or `otherNames` is set, also no file with another name (a
// hard link to a file elsewhere, which leads there as a symbolic link would).
PlatformStatus checkRegular(HANDLE handle, bool follow, bool otherNames) {
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return PlatformStatus::accessDenied;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        return lastStatus();
    }
    constexpr DWORD refused =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if ((info.dwFileAttributes & refused) != 0 ||
        (!follow && !otherNames && info.nNumberOfLinks > 1)) {
        return PlatformStatus::accessDenied;
    }
    return PlatformStatus::ok;
}

// Opens the regular file `name`. With `create`, a missing file is created
// exclusively (CREATE_NEW), so a name that appears in between, or a dangling
// link, is never created through; an existing one is opened without following
// a reparse point unless `follow` is set, and refused unless it is a regular
// file. `created` tells whether this call made the file.
ScopedHandle openRegular(const std::wstring& name, DWORD access, DWORD share, bool create,
                         bool follow, bool& created, PlatformStatus& status,
                         bool otherNames = false) {
    created = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (create) {
            ScopedHandle handle(CreateFileW(name.c_str(), access, share, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
            if (handle.valid()) {
                created = true;
                status = PlatformStatus::created;
                return handle;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                status = statusFromError(error);
                return ScopedHandle();
            }
        }
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 &&
            !follow) {
            status = PlatformStatus::accessDenied;
            return ScopedHandle();
        }
        const DWORD flags = FILE_ATTRIBUTE_NORMAL | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
        ScopedHandle handle(
            CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr));
        if (!handle.valid()) {
            const DWORD error = GetLastError();
            if (create && error == ERROR_FILE_NOT_FOUND) {
                continue;  // removed in between: try again
            }
            status = statusFromError(error);
            return ScopedHandle();
        }
        status = checkRegular(handle.get(), follow, otherNames);
        if (status != PlatformStatus::ok) {
            return ScopedHandle();
        }
        return handle;
    }
    status = PlatformStatus::ioError;
    return ScopedHandle();
}

}  // namespace

std::unique_ptr<File> openFile(std::string_view path, OpenMode mode, PlatformStatus& status) {
    const bool contents = mode == OpenMode::contents;
    const bool reading = mode == OpenMode::read || mode == OpenMode::readFollowing || contents;
    const DWORD access = reading ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    // A watched file is read without standing in the way of its programs.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (contents ? FILE_SHARE_DELETE : 0);
    bool created = false;
    ScopedHandle handle =
        openRegular(contents ? literalPath(widePath(path)) : widePath(path), access, share,
                    !reading, mode == OpenMode::readFollowing, created, status, contents);
    if (!handle.valid()) {
        return nullptr;
    }
    auto file = std::make_unique<Win32File>(std::move(handle), mode == OpenMode::append);
    // Emptied only once it is known to be a regular file of its own name.
    if (mode == OpenMode::truncate && !created) {
        status = file->truncate(0);
        if (status != PlatformStatus::ok) {
            return nullptr;
        }
    }
    status = created ? PlatformStatus::created : PlatformStatus::ok;
    return file;
}

PlatformStatus removeFile(std::string_view path) {
    return DeleteFileW(widePath(path).c_str()) ? PlatformStatus::ok : lastStatus();
}

namespace {

// A move takes only a regular file along; a reparse point would carry what it
// leads to under the new name.
PlatformStatus checkMovable(const std::wstring& source) {
    bool created = false;
    PlatformStatus status;
    ScopedHandle handle =
        openRegular(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    false, false, created, status);
    return handle.valid() ? PlatformStatus::ok : status;
}

}  // namespace

PlatformStatus renameFile(std::string_view from, std::string_view to) {
    const std::wstring source = widePath(from);
    const PlatformStatus status = checkMovable(source);
    if (status != PlatformStatus::ok) {
        return status;
    }
    // No MOVEFILE_REPLACE_EXISTING: an existing target makes the move fail.
    return MoveFileExW(source.c_str(), widePath(to).c_str(), 0) ? PlatformStatus::ok : lastStatus();
}

PlatformStatus replaceFile(std::string_view from, std::string_view to) {
    const std::wstring source = widePath(from);
    const PlatformStatus status = checkMovable(source);
    if (status != PlatformStatus::ok) {
        return status;
    }
    return MoveFileExW(source.c_str(), widePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? PlatformStatus::ok
               : lastStatus();
}

bool fileExists(std::string_view path) {
    return GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path, PlatformStatus& status) {
    // Share mode 0: while this handle is open every other open of the file,
    // in any process, fails with ERROR_SHARING_VIOLATION. The system drops the
    // handle when the process dies, so a killed holder leaves no lock behind.
    bool created = false;
    ScopedHandle handle =
        openRegular(widePath(path), GENERIC_READ | GENERIC_WRITE, 0, true, false, created, status);
    if (!handle.valid()) {
        return nullptr;
    }
    if (!created) {
        Win32File emptied(std::move(handle), false);
        status = emptied.truncate(0);
        if (status != PlatformStatus::ok) {
            return nullptr;
        }
        handle = emptied.release();
    }
    status = created ? PlatformStatus::created : PlatformStatus::ok;
    return std::make_unique<Win32Hold>(std::move(handle));
}

PlatformStatus probe(std::string_view path) {
    bool created = false;
    PlatformStatus status;
    ScopedHandle handle =
        openRegular(widePath(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, false, false,
                    created, status);
    return handle.valid() ? PlatformStatus::ok : status;
}

}  // namespace velumtar::win32
