// Helpers for fixed-width text fields: every record and message field has a
// fixed width, is left-aligned and padded with blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velumtar {

// `text` cut or blank-padded to exactly `width` characters.
inline std::string padded(std::string_view text, std::size_t width) {
    std::string out(text.substr(0, width));
    out.resize(width, ' ');
    return out;
}

// Writes `text` into the field [offset, offset + width) of `record`, cut or
// blank-padded to the field's width.
inline void putField(char* record, std::size_t offset, std::size_t width, std::string_view text) {
    std::size_t n = text.size() < width ? text.size() : width;
    for (std::size_t i = 0; i < n; ++i)
        record[offset + i] = text[i];
    for (std::size_t i = n; i < width; ++i)
        record[offset + i] = ' ';
}

// `text` without its trailing blanks.
inline std::string_view trimmedRight(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && text[end - 1] == ' ')
        --end;
    return text.substr(0, end);
}

inline bool allBlank(std::string_view text) {
    return trimmedRight(text).empty();
}

// Line break inside a message or text file.
inline constexpr std::string_view crlf = "\r\n";

}  // namespace velumtar
