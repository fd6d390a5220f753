// Small helpers for the Win32 platform tests: preparing files through the
// wide API and starting other processes.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace velumtar::test::win32 {

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

    bool start(std::wstring commandLine) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info_) != 0;
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
