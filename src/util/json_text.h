// JSON string literals of the texts the tool writes as JSON lines (the
// unattended transcript, the findings file).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "util/text_field.h"

namespace velumtar {

// How a byte that begins no UTF-8 character is written: as the code point of
// its value (U+0080 to U+00FF), or as U+FFFD, the replacement character.
enum class InvalidByte { asCodePoint, replaced };

// `text` as a JSON string: quotes and backslashes escaped, control
// characters as \r, \n, \t or \u00XX. With `exact`, set to false when a byte
// was replaced and left alone otherwise.
inline std::string jsonText(std::string_view text, InvalidByte invalid, bool* exact = nullptr) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8Length(text, i);
        if (n == 0 && invalid == InvalidByte::replaced) {
            out += "\\ufffd";
            if (exact != nullptr)
                *exact = false;
            ++i;
            continue;
        }
        if (n == 0 || c < 0x20 || c == 0x7F) {
            switch (c) {
                case '\r':
                    out += "\\r";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default: {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                }
            }
            ++i;
            continue;
        }
        if (c == '"' || c == '\\')
            out += '\\';
        out.append(text.substr(i, n));
        i += n;
    }
    out += '"';
    return out;
}

}  // namespace velumtar
