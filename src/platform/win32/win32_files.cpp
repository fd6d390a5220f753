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

std::unique_ptr<File> openFile(std::string_view path, OpenMode mode, PlatformStatus& status) {
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_ALWAYS;
    switch (mode) {
        case OpenMode::read:
            access = GENERIC_READ;
            disposition = OPEN_EXISTING;
            break;
        case OpenMode::readWrite:
        case OpenMode::append:
            disposition = OPEN_ALWAYS;
            break;
        case OpenMode::truncate:
            disposition = CREATE_ALWAYS;
            break;
    }
    const std::wstring name = widePath(path);
    ScopedHandle handle(CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        status = lastStatus();
        return nullptr;
    }
    // OPEN_ALWAYS and CREATE_ALWAYS leave ERROR_ALREADY_EXISTS when the file
    // was there; anything else means it was just created.
    status = PlatformStatus::ok;
    if (disposition != OPEN_EXISTING && GetLastError() != ERROR_ALREADY_EXISTS) {
        status = PlatformStatus::created;
    }
    return std::make_unique<Win32File>(std::move(handle), mode == OpenMode::append);
}

PlatformStatus removeFile(std::string_view path) {
    return DeleteFileW(widePath(path).c_str()) ? PlatformStatus::ok : lastStatus();
}

PlatformStatus renameFile(std::string_view from, std::string_view to) {
    // No MOVEFILE_REPLACE_EXISTING: an existing target makes the move fail.
    return MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), 0) ? PlatformStatus::ok
                                                                        : lastStatus();
}

bool fileExists(std::string_view path) {
    return GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path, PlatformStatus& status) {
    // Share mode 0: while this handle is open every other open of the file,
    // in any process, fails with ERROR_SHARING_VIOLATION. The system drops the
    // handle when the process dies, so a killed holder leaves no lock behind.
    const std::wstring name = widePath(path);
    ScopedHandle handle(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        status = lastStatus();
        return nullptr;
    }
    status = GetLastError() == ERROR_ALREADY_EXISTS ? PlatformStatus::ok : PlatformStatus::created;
    return std::make_unique<Win32Hold>(std::move(handle));
}

PlatformStatus probe(std::string_view path) {
    const std::wstring name = widePath(path);
    ScopedHandle handle(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return handle.valid() ? PlatformStatus::ok : lastStatus();
}

}  // namespace velumtar::win32
