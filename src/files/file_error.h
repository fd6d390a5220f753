// The one file-error message: "ERROR: File handling." with the operation word
// and the file name, shown as an error box.
#pragma once

#include <string_view>

namespace velumtar {

class MessageService;

// Operation words.
inline constexpr std::string_view kOpen = "OPEN";
inline constexpr std::string_view kWrite = "WRITE";
inline constexpr std::string_view kRewrite = "REWRITE";
inline constexpr std::string_view kDelete = "DELETE";
inline constexpr std::string_view kRead = "READ";

// Shows the file-error message and returns when the user has confirmed. It
// changes no file.
void reportFileError(MessageService& messages, std::string_view operation,
                     std::string_view fileName);

}  // namespace velumtar
