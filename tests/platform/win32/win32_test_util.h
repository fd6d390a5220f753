// Small helpers for the Win32 platform tests: a fixture in a scratch
// directory, preparing files through the wide API and starting other
// processes.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>, which defines the types it uses.
#include <winioctl.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "support/scratch.h"

namespace velumtar::test::win32 {

// A test of the system's platform in a fresh scratch directory.
class ScratchTest : public ::testing::Test {
  protected:
    Platform& platform = systemPlatform();
    std::string dir = scratchDirectory();

    // The drive path of `name` in the scratch directory.
    std::string path(const std::string& name) const { return dir + "\\" + name; }
};

inline std::wstring wide(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int length = static_cast<int>(utf8.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, text.data(), needed);
    return text;
}

// The text enclosed in double quotes. (Built by appending: GCC 12 warns
// falsely about `"\"" + text` at -O3.)
template <typename Text>
Text inQuotes(const Text& text) {
    Text result(1, '"');
    result += text;
    result += '"';
    return result;
}

// Creates (or replaces) a file with the given content.
inline bool writeFile(const std::string& path, std::string_view content) {
    HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
        written == content.size();
    CloseHandle(file);
    return ok;
}

// Turns the empty folder `link` into a junction (mount point) to the folder
// `target`, both full drive paths. Junctions need no privilege on Windows;
// false where the file system or Wine does not support them.
inline bool makeJunction(const std::wstring& link, const std::wstring& target) {
    // The mount-point layout of REPARSE_DATA_BUFFER, which the user-mode
    // headers do not declare.
    struct MountPointBuffer {
        DWORD tag;
        WORD dataLength;
        WORD reserved;
        WORD substituteOffset;
        WORD substituteLength;
        WORD printOffset;
        WORD printLength;
        wchar_t paths[1024];
    };
    const std::wstring substitute = L"\\??\\" + target;
    if ((substitute.size() + target.size() + 2) > 1024) {
        return false;
    }
    MountPointBuffer buffer{};
    buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
    buffer.substituteOffset = 0;
    buffer.substituteLength = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    buffer.printOffset = static_cast<WORD>((substitute.size() + 1) * sizeof(wchar_t));
    buffer.printLength = static_cast<WORD>(target.size() * sizeof(wchar_t));
    substitute.copy(buffer.paths, substitute.size());
    target.copy(buffer.paths + substitute.size() + 1, target.size());
    const DWORD pathBytes = static_cast<DWORD>((substitute.size() + target.size() + 2) * 2);
    buffer.dataLength = static_cast<WORD>(8 + pathBytes);
    const DWORD total = 8 + buffer.dataLength;

    HANDLE folder = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD returned = 0;
    const bool ok = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, &buffer, total, nullptr, 0,
                                    &returned, nullptr) != 0;
    CloseHandle(folder);
    return ok;
}

// The folder of the running test binary, where the helper programs are built.
inline std::wstring binaryDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    const std::size_t slash = directory.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : directory.substr(0, slash);
}

// A started process; terminated and closed on destruction if still running.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (info_.hProcess != nullptr) {
            if (running()) {
                TerminateProcess(info_.hProcess, 99);
                WaitForSingleObject(info_.hProcess, 10000);
            }
            CloseHandle(info_.hProcess);
            CloseHandle(info_.hThread);
        }
    }

    // Starts `commandLine` with its standard handles on NUL, so that a child
    // copy of the test binary does not mix its report into this one's.
    // Under Wine a new process now and then dies in Wine's own start-up,
    // before any of the program has run, and the creation fails: it is tried
    // again a few times, each failure noted on standard error.
    bool start(std::wstring commandLine) {
        constexpr int kAttempts = 4;
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        HANDLE nul =
            CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &inheritable, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
        bool started = false;
        for (int attempt = 1; attempt <= kAttempts && !started; ++attempt) {
            started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                     nullptr, nullptr, &startup, &info_) != 0;
            if (!started) {
                std::fprintf(stderr, "[child] could not be started, error %lu, attempt %d of %d\n",
                             GetLastError(), attempt, kAttempts);
                Sleep(100 * attempt);
            }
        }
        if (nul != INVALID_HANDLE_VALUE) {
            CloseHandle(nul);
        }
        return started;
    }
    bool running() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
    // Kills the process and waits until the system has released its handles.
    bool kill() {
        return TerminateProcess(info_.hProcess, 99) &&
               WaitForSingleObject(info_.hProcess, 10000) == WAIT_OBJECT_0;
    }
    // Waits for the process to end by itself; its exit code, or -1 on timeout.
    long wait(DWORD milliseconds) {
        if (WaitForSingleObject(info_.hProcess, milliseconds) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return static_cast<long>(code);
    }

  private:
    PROCESS_INFORMATION info_{};
};

}  // namespace velumtar::test::win32
