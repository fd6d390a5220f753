// Scratch directories for the Windows build: fresh folders under the user's
// temporary folder, removed with their contents when the test binary exits.
// Drive paths and host paths are the same thing here.
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/win32_test_util.h"
#include "support/scratch.h"

namespace velumtar::test {
namespace {

std::string narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), needed, nullptr, nullptr);
    return utf8;
}

// Deletes a tree, clearing read-only and similar attributes that would
// refuse the removal. Junctions and directory links are removed, not entered.
void removeTree(const std::wstring& directory) {
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = directory + L"\\" + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            const DWORD attributes = data.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    removeTree(path);
                }
                RemoveDirectoryW(path.c_str());
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(directory.c_str());
}

std::mutex createdMutex;
std::vector<std::wstring>& created() {
    static std::vector<std::wstring> directories;
    return directories;
}

void removeCreated() {
    // A test may have left the working directory inside a scratch folder,
    // which would keep it from being removed.
    wchar_t temp[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, temp) != 0) {
        SetCurrentDirectoryW(temp);
    }
    std::lock_guard lock(createdMutex);
    for (const std::wstring& directory : created()) {
        // Taken literally, so that names the usual path rules change (a
        // device's name, trailing dots) are removed too.
        const bool drivePath = directory.size() > 2 && directory[1] == L':';
        removeTree(drivePath ? L"\\\\?\\" + directory : directory);
    }
}

// The folder that holds the scratch folders: the one VELUMTAR_TEST_SCRATCH
// names (slashes allowed), else the temporary folder. Under Wine the test
// run names one outside drive C:, which the end-to-end tests point elsewhere
// while they run.
std::wstring scratchBase() {
    wchar_t chosen[MAX_PATH + 1] = {};
    DWORD length = GetEnvironmentVariableW(L"VELUMTAR_TEST_SCRATCH", chosen, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        length = GetTempPathW(MAX_PATH + 1, chosen);
    }
    std::wstring base(chosen, length);
    for (wchar_t& c : base) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    if (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    return base;
}

}  // namespace

std::string scratchDirectory() {
    static unsigned counter = 0;
    std::wstring base = scratchBase();
    std::lock_guard lock(createdMutex);
    if (created().empty()) {
        std::atexit(removeCreated);
    }
    for (;;) {
        const std::wstring path = base + L"\\velumtar-test-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(++counter);
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            created().push_back(path);
            return narrow(path);
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return {};
        }
    }
}

std::string hostPath(const std::string& drivePath) {
    return drivePath;
}

namespace {

// The host path of a drive path under Wine; empty elsewhere.
std::string wineHostPath(const std::wstring& drivePath) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    // Through void (*)(), the one function type any other converts from.
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (toUnix == nullptr) {
        return {};
    }
    char* unix = toUnix(drivePath.c_str());
    if (unix == nullptr) {
        return {};
    }
    std::string path = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return path;
}

}  // namespace

bool makeDirectoryLink(const std::string& link, const std::string& target) {
    const std::wstring wideLink = win32::wide(link);
    if (CreateDirectoryW(wideLink.c_str(), nullptr)) {
        if (win32::makeJunction(wideLink, win32::wide(target))) {
            return true;
        }
        RemoveDirectoryW(wideLink.c_str());
    }
    // Wine runs a host program as it runs its own.
    const std::size_t cut = link.find_last_of('\\');
    const std::string parent = wineHostPath(win32::wide(link.substr(0, cut)));
    const std::string destination = wineHostPath(win32::wide(target));
    if (cut == std::string::npos || parent.empty() || destination.empty()) {
        return false;
    }
    // Quoted: the paths may hold blanks.
    std::wstring command = L"Z:\\bin\\ln -s \"" + win32::wide(destination) + L"\" \"" +
                           win32::wide(parent + "/" + link.substr(cut + 1)) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    // Wine neither waits for a host program nor tells its exit code: the link
    // is looked for until it is there.
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int look = 0; look < 3000; ++look) {
        const DWORD attributes = GetFileAttributesW(wideLink.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

}  // namespace velumtar::test
