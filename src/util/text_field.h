// Helpers for fixed-width text fields: every record and message field has a
// fixed width, is left-aligned and padded with blanks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace velumtar {

// Length of the well-formed UTF-8 sequence that starts at text[i], or 0 when
// none starts there (a stray byte, a sequence cut short, an overlong form or
// a surrogate).
inline std::size_t utf8Length(std::string_view text, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t n;
    unsigned minimum;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        minimum = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        minimum = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    unsigned value = c & (0x7Fu >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (d & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return n;
}

// How many bytes of `text` a field of `width` bytes takes: all of it when it
// fits, else up to the last whole character that fits. A character the field
// would cut is left out whole; bytes that form no character (possible in
// POSIX names) are kept as they are.
inline std::size_t fittingLength(std::string_view text, std::size_t width) {
    if (text.size() <= width)
        return text.size();
    std::size_t start = width;
    while (start > 0 && width - start < 3 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
        --start;
    if (start < width && start + utf8Length(text, start) > width)
        return start;
    return width;
}

// `text` cut or blank-padded to exactly `width` characters.
inline std::string padded(std::string_view text, std::size_t width) {
    std::string out(text.substr(0, fittingLength(text, width)));
    out.resize(width, ' ');
    return out;
}

// The length of `text` without its trailing blanks. Most of a fixed field
// is padding: eight blanks are passed over at a time.
inline std::size_t trimmedLength(std::string_view text) {
    constexpr std::uint64_t kEightBlanks = 0x2020202020202020u;
    std::size_t end = text.size();
    while (end >= 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + end - 8, 8);
        if (word != kEightBlanks)
            break;
        end -= 8;
    }
    while (end > 0 && text[end - 1] == ' ')
        --end;
    return end;
}

// `text` without its trailing blanks.
inline std::string_view trimmedRight(std::string_view text) {
    return text.substr(0, trimmedLength(text));
}

inline bool allBlank(std::string_view text) {
    return trimmedRight(text).empty();
}

// Shows every control character (codes 0 to 31 and 127) of `text` as '?',
// so that a name never breaks the line or the box it is shown in.
inline void showControls(std::string& text) {
    for (char& c : text)
        c = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
}

// Writes `value` as `width` decimal digits with leading zeros (the lowest
// digits when it does not fit).
inline std::string digits(std::uint64_t value, std::size_t width) {
    std::string out(width, '0');
    for (std::size_t i = width; i > 0 && value > 0; --i) {
        out[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out;
}

// Line break inside a message or text file.
inline constexpr std::string_view crlf = "\r\n";

}  // namespace velumtar
