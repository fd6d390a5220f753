// Text conversion, unquoting and error translation for the Win32 layer.
#include "platform/win32/win32_support.h"

#include <climits>

namespace velumtar::win32 {

std::wstring widen(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    return wide;
}

std::string narrow(std::wstring_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), needed, nullptr, nullptr);
    return utf8;
}

std::string_view unquote(std::string_view path) {
    if (path.empty() || path.front() != '"') {
        return path;
    }
    path.remove_prefix(1);
    const std::size_t close = path.rfind('"');
    if (close == std::string_view::npos ||
        path.find_first_not_of(' ', close + 1) != std::string_view::npos) {
        return path;
    }
    return path.substr(0, close);
}

std::wstring widePath(std::string_view path) {
    return widen(unquote(path));
}

PlatformStatus statusFromError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PlatformStatus::notFound;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return PlatformStatus::locked;
        case ERROR_ACCESS_DENIED:
            return PlatformStatus::accessDenied;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return PlatformStatus::noSpace;
        default:
            return PlatformStatus::ioError;
    }
}

}  // namespace velumtar::win32
