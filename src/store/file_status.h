// FileStatus: the two-character outcome of every record-file operation.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace velumtar {

// The second character of the "locked" status: the character with code 65.
inline constexpr char kLockedDetail = 65;

struct [[nodiscard]] FileStatus {
    char code[2] = {'0', '0'};

    constexpr FileStatus() = default;
    constexpr FileStatus(char first, char second) : code{first, second} {}

    constexpr bool operator==(const FileStatus& other) const {
        return code[0] == other.code[0] && code[1] == other.code[1];
    }
    constexpr bool isSuccess() const { return code[0] == '0' && code[1] == '0'; }
    // '1' class: no further record (end of file).
    constexpr bool isEndOfFile() const { return code[0] == '1'; }
    // '2' class: no record with that key, or none at or after the position.
    constexpr bool isInvalidKey() const { return code[0] == '2'; }
    // '9' followed by kLockedDetail: held by another process.
    constexpr bool isLocked() const { return code[0] == '9' && code[1] == kLockedDetail; }
    // Success for an open for output or update: "00", "05" (created) or "35".
    constexpr bool isOpenSuccess() const {
        return isSuccess() || (code[0] == '0' && code[1] == '5') ||
               (code[0] == '3' && code[1] == '5');
    }
    std::string_view text() const { return std::string_view(code, 2); }
};

namespace status {
inline constexpr FileStatus success{'0', '0'};
inline constexpr FileStatus created{'0', '5'};           // open created a missing file
inline constexpr FileStatus endOfFile{'1', '0'};         // no next record
inline constexpr FileStatus duplicateKey{'2', '2'};      // write of a key already present
inline constexpr FileStatus keyNotFound{'2', '3'};       // no record with that key / position
inline constexpr FileStatus ioError{'3', '0'};           // permanent input-output failure
inline constexpr FileStatus noSpace{'3', '4'};           // the file system is full
inline constexpr FileStatus fileNotFound{'3', '5'};      // open for input of a missing file
inline constexpr FileStatus accessDenied{'3', '7'};      // permission refused
inline constexpr FileStatus damaged{'3', '9'};           // not a file of this kind, or damaged
inline constexpr FileStatus alreadyOpen{'4', '1'};       // open of a file already open
inline constexpr FileStatus notOpen{'4', '2'};           // operation on a closed file
inline constexpr FileStatus noCurrentRecord{'4', '3'};   // rewrite/delete without a record
inline constexpr FileStatus wrongMode{'4', '8'};         // write to a file opened for reading
inline constexpr FileStatus locked{'9', kLockedDetail};  // held by another process
}  // namespace status

// The file status of an open, probe or removal: ok and created are success,
// every failure keeps its kind.
constexpr FileStatus openStatusOf(PlatformStatus s) {
    switch (s) {
        case PlatformStatus::ok:
        case PlatformStatus::created:
            return status::success;
        case PlatformStatus::notFound:
            return status::fileNotFound;
        case PlatformStatus::locked:
            return status::locked;
        case PlatformStatus::accessDenied:
            return status::accessDenied;
        case PlatformStatus::noSpace:
            return status::noSpace;
        case PlatformStatus::ioError:
            break;
    }
    return status::ioError;
}

// The file status of a read, write, size or sync of an open file: a failure
// is an input-output failure unless the file system is full.
constexpr FileStatus transferStatusOf(PlatformStatus s) {
    if (s == PlatformStatus::ok)
        return status::success;
    return s == PlatformStatus::noSpace ? status::noSpace : status::ioError;
}

}  // namespace velumtar
