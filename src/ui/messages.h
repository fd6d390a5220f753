// The texts of every message the tool shows, composed from their fixed parts
// and fixed-width fields. Lines are separated by CR LF; each text ends after
// its last fixed part.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "ui/message_service.h"

namespace velumtar::messages {

// The styles of the boxes the tool shows.
inline constexpr BoxStyle kInformation = BoxStyle::information;
inline constexpr BoxStyle kError = BoxStyle::error;
inline constexpr BoxStyle kQuestion = BoxStyle::question;

// Width of the path fields of the directory and file messages.
inline constexpr std::size_t kPathField = 255;

// Row 1.
std::string alreadyRunning();
// Row 2: `path` is the directory as passed to the change, or the literal
// "Path of the software-start".
std::string enterDirectoryError(std::string_view path);
// Row 3: `letter` is the command letter; a blank letter is shown as '_'.
std::string unsuitableCommand(std::string_view letter);
// Row 4.
std::string programInformation(std::string_view programTitle);
// Row 5.
std::string openHelpQuestion();
// Row 6.
std::string noLogFile();
// Row 7: `text` is one of the two interruption texts.
std::string interruptionDetected(std::string_view text);
inline constexpr std::string_view kRebuildText =
    "The basic database must now built new again. In this case it's impossible to compare "
    "files right now.";
inline constexpr std::string_view kContinueText =
    "The comparing of files will be continue, but eventually not all differences will be "
    "documentated with correct data.";
// Row 8.
std::string newBuildFinished();
// Row 9.
std::string noDifferences();
// Row 10.
std::string detailsQuestion(const std::array<std::string, 5>& summaryLines);
// Row 11: `pattern` as passed to the listing.
std::string listingError(std::string_view pattern);
// Row 12.
std::string ignoreLockedQuestion(std::string_view path);
// Row 13.
std::string fileFactsError(std::string_view path);
// Row 14: the file-error message.
std::string fileError(std::string_view operation, std::string_view fileName);

}  // namespace velumtar::messages
