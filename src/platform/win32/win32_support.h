// Helpers shared by the Win32 platform files: text conversion at the seam,
// path unquoting, error translation and an owning handle. Included only by
// src/platform/win32/*.cpp; the rest of the program never sees <windows.h>.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velumtar::win32 {

// UTF-8 to UTF-16 and back. The tool carries every name as UTF-8 and reaches
// the file system through the wide API, so that names outside the ANSI code
// page survive the round trip. Ill-formed input becomes U+FFFD.
std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);

// A path as the callers hand it over, possibly enclosed in double quotes:
// the text between the opening quote and the last quote when only blanks
// follow that (to the end when none does), or the text unchanged when it does
// not start with a quote. A quote inside the path stays: a name listed under
// Wine may hold one.
std::string_view unquote(std::string_view path);

// widen(unquote(path)): the form every file-system call takes.
std::wstring widePath(std::string_view path);
// A full drive path in the form the system takes literally (\\?\C:\...), so
// that a name with trailing dots or blanks or a device's name reaches the
// file listed; a path that needs the usual tidying is left as it is.
std::wstring literalPath(std::wstring path);

// Translates a GetLastError() value into the seam's small set of outcomes.
PlatformStatus statusFromError(DWORD error);

// Owns a handle; closes it with `Close` on destruction. Move-only.
template <BOOL(WINAPI* Close)(HANDLE)>
class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) {
            Close(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A kernel handle (a file, a process).
using ScopedHandle = OwnedHandle<CloseHandle>;
// A search of a directory's entries.
using FindHandle = OwnedHandle<FindClose>;

// The file services, implemented in win32_files.cpp.
std::unique_ptr<File> openFile(std::string_view path, OpenMode mode, PlatformStatus& status);
PlatformStatus removeFile(std::string_view path);
PlatformStatus renameFile(std::string_view from, std::string_view to);
PlatformStatus replaceFile(std::string_view from, std::string_view to);
bool fileExists(std::string_view path);
std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path, PlatformStatus& status);
PlatformStatus probe(std::string_view path);

// The directory services, implemented in win32_directory.cpp.
bool currentDirectory(std::string& path);
bool changeDirectory(std::string_view path);
std::unique_ptr<DirectoryListing> newListing();
PlatformStatus fileInformation(std::string_view path, FileInformation& info);
// The facts in the form the tool records them, from what the find data, the
// attribute data and a handle's information carry: the last-write time in
// local time, the 64-bit size and the attribute bits.
bool describeFacts(const FILETIME& lastWrite, DWORD sizeHigh, DWORD sizeLow, DWORD attributes,
                   FileInformation& info);
bool entryName(std::string_view path, std::string& name);
// Entering a walk's directory without leaving the drive (win32_directory.cpp).
// A handle for the attributes of the directory `path`, opened without
// following a reparse point at its last part, with the given sharing.
ScopedHandle openDirectoryHandle(const std::wstring& path, DWORD share);
// Whether the directory open at `directory` is `path` (a full drive path)
// itself: a directory of its own, no junction or directory link, on the
// drive's volume, and reached through no link (the system's final path of it
// is `path`). `info` receives its information.
bool isDirectoryAt(HANDLE directory, std::wstring_view path, BY_HANDLE_FILE_INFORMATION& info);
// Makes `path` the working directory when it is such a directory before and
// after the change, the same one both times; otherwise leaves the working
// directory where it was.
bool enterDirectory(const std::wstring& path);
// A handle of the working directory, opened after enterDirectory() changed to
// it; none once the working directory changed otherwise.
HANDLE enteredDirectory();
// The kind and the listing entry of one item of a directory listing.
EntryKind kindOf(const WIN32_FIND_DATAW& data);
void describeEntry(const WIN32_FIND_DATAW& data, ListingEntry& entry);

}  // namespace velumtar::win32
