// The Win32 implementation of the platform seam. Text crosses the seam as
// UTF-8 and reaches the system through the wide-character API.
#include "platform/win32/win32_support.h"

// After <windows.h>, which win32_support.h brings in.
#include <shellapi.h>

#include <cstdlib>
#include <vector>

namespace velumtar {
namespace {

// Appends `value` as exactly `width` decimal digits (leading zeros, higher
// digits dropped).
void appendDigits(std::string& out, unsigned value, int width) {
    std::string digits(static_cast<std::size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i) {
        digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out += digits;
}

bool isButtonId(int result) {
    return result >= IDOK && result <= IDCONTINUE;
}

// The Application event log, source "VELUMTAR". The event's text is in the
// program's message table under its identifier, so Event Viewer shows it
// with the inserts in place once the source names velumtar.exe as its
// message file; without that it shows the inserts alone.
class EventLog final : public SystemLog {
  public:
    EventLog() : source_(RegisterEventSourceW(nullptr, L"VELUMTAR")) {}
    ~EventLog() override {
        if (source_ != nullptr) {
            DeregisterEventSource(source_);
        }
    }
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    bool send(const SystemEvent& event) override {
        if (source_ == nullptr) {
            return false;
        }
        std::vector<std::wstring> inserts;
        for (const std::string& insert : event.inserts) {
            inserts.push_back(win32::widen(insert));
        }
        std::vector<LPCWSTR> strings;
        for (const std::wstring& insert : inserts) {
            strings.push_back(insert.c_str());
        }
        const WORD type = event.level == EventLevel::error     ? EVENTLOG_ERROR_TYPE
                          : event.level == EventLevel::warning ? EVENTLOG_WARNING_TYPE
                                                               : EVENTLOG_INFORMATION_TYPE;
        return ReportEventW(source_, type, 0, event.id, nullptr, static_cast<WORD>(strings.size()),
                            0, strings.empty() ? nullptr : strings.data(), nullptr) != FALSE;
    }

  private:
    HANDLE source_;
};

class Win32Platform final : public Platform {
  public:
    BoxButton messageBox(std::string_view text, std::string_view caption, BoxType type) override {
        const std::wstring wideText = win32::widen(text);
        const std::wstring wideCaption = win32::widen(caption);
        // Without a display Wine answers -1 rather than 0; anything that is not
        // a button identifier means no box was shown.
        const int result =
            MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(), type.flags());
        return isButtonId(result) ? static_cast<BoxButton>(result) : BoxButton::none;
    }

    LaunchStage startProcess(std::string_view commandLine, int showWindow, bool wait) override {
        // CreateProcessW may write into the command line, so it gets a copy.
        const std::wstring wide = win32::widen(commandLine);
        std::vector<wchar_t> buffer(wide.begin(), wide.end());
        buffer.push_back(L'\0');

        // Only cb and the show value are set; with dwFlags zero the started
        // program opens its window in its own default way.
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.wShowWindow = static_cast<WORD>(showWindow);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE,
                            CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &process)) {
            return LaunchStage::notStarted;
        }
        win32::ScopedHandle processHandle(process.hProcess);
        win32::ScopedHandle threadHandle(process.hThread);
        if (!wait) {
            return LaunchStage::started;
        }
        if (WaitForSingleObject(processHandle.get(), INFINITE) == WAIT_FAILED) {
            return LaunchStage::waitingFailed;
        }
        DWORD exitCode = 0;
        if (!GetExitCodeProcess(processHandle.get(), &exitCode)) {
            return LaunchStage::exitCodeUnknown;
        }
        return LaunchStage::started;
    }

    std::string upperCase(std::string_view text) override {
        std::wstring wide = win32::widen(text);
        if (wide.empty()) {
            return std::string(text);
        }
        CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
        return win32::narrow(wide);
    }

    bool currentDirectory(std::string& path) override { return win32::currentDirectory(path); }

    bool changeDirectory(std::string_view path) override { return win32::changeDirectory(path); }

    bool enterDirectory(std::string_view path) override {
        return win32::enterDirectory(win32::widePath(path));
    }

    std::unique_ptr<DirectoryListing> newListing() override { return win32::newListing(); }

    PlatformStatus fileInformation(std::string_view path, FileInformation& info) override {
        return win32::fileInformation(path, info);
    }

    bool entryName(std::string_view path, std::string& name) override {
        return win32::entryName(path, name);
    }

    LocalDateTime localDateTime() override {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        LocalDateTime result;
        appendDigits(result.date, now.wYear, 4);
        appendDigits(result.date, now.wMonth, 2);
        appendDigits(result.date, now.wDay, 2);
        appendDigits(result.time, now.wHour, 2);
        appendDigits(result.time, now.wMinute, 2);
        appendDigits(result.time, now.wSecond, 2);
        appendDigits(result.time, now.wMilliseconds / 10u, 2);
        return result;
    }

    PlatformStatus removeFile(std::string_view path) override { return win32::removeFile(path); }

    PlatformStatus renameFile(std::string_view from, std::string_view to) override {
        return win32::renameFile(from, to);
    }

    PlatformStatus replaceFile(std::string_view from, std::string_view to) override {
        return win32::replaceFile(from, to);
    }

    bool fileExists(std::string_view path) override { return win32::fileExists(path); }

    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override {
        return win32::openFile(path, mode, status);
    }

    std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path,
                                                 PlatformStatus& status) override {
        return win32::holdExclusive(path, status);
    }

    PlatformStatus probe(std::string_view path) override { return win32::probe(path); }

    std::string argumentText(int argc, char** argv) override {
        // The wide command line keeps characters that the ANSI argv would
        // have replaced; argc/argv serve only when it cannot be split.
        std::string text;
        int count = 0;
        LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
        if (arguments != nullptr) {
            for (int i = 1; i < count; ++i) {
                if (i > 1) {
                    text += ' ';
                }
                text += win32::narrow(arguments[i]);
            }
            LocalFree(arguments);
            return text;
        }
        return joinArguments(argc, argv);
    }

    std::unique_ptr<SystemLog> openSystemLog() override { return std::make_unique<EventLog>(); }

    std::optional<std::string> environment(std::string_view name) override {
        const std::wstring wideName = win32::widen(name);
        std::wstring value;
        DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
        // The value can change between the calls; retry until it fits.
        while (size != 0) {
            value.assign(size, L'\0');
            const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
            if (length < size) {
                value.resize(length);
                return win32::narrow(value);
            }
            size = length;
        }
        // A variable set to the empty string still needs room for its NUL, so
        // a zero size means the variable is not set.
        return std::nullopt;
    }

    [[noreturn]] void exitProcess(int code) override { std::exit(code); }
};

}  // namespace

Platform& systemPlatform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace velumtar
