// The fixed names and record lengths of the tool's record files.
#pragma once

#include <cstddef>
#include <string_view>

namespace velumtar::files {

inline constexpr std::string_view kBasicDatabase = "C:\\VELUMTAR.DBI";
inline constexpr std::size_t kBasicDatabaseRecord = 378;
inline constexpr std::string_view kCopyWorkFile = "C:\\VELUTMPA.TMP";
inline constexpr std::size_t kCopyWorkFileRecord = 378;
inline constexpr std::string_view kWorkFile = "C:\\VELUCMPT.TMP";
inline constexpr std::size_t kWorkFileRecord = 327;
inline constexpr std::size_t kPathKey = 254;
inline constexpr std::string_view kReport = "C:\\VELUMTAR.TXT";
inline constexpr std::size_t kReportRecord = 343;
inline constexpr std::string_view kLog = "C:\\VELUMTAR.LOG";
inline constexpr std::size_t kLogRecord = 132;
inline constexpr std::string_view kLogTrimFile = "C:\\VELULSTA.TMP";
inline constexpr std::string_view kExtensionFile = "VELULIST.EXT";
inline constexpr std::size_t kExtensionFileRecord = 4;
inline constexpr std::string_view kExtensionDatabase = "VELULIST.DBI";
inline constexpr std::size_t kExtensionDatabaseRecord = 7;
inline constexpr std::size_t kExtensionKey = 4;

}  // namespace velumtar::files
