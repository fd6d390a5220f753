// Names a POSIX file system allows but a Windows path cannot hold.
//
// A host name may hold any byte but '/' and NUL; in a drive path the
// characters \ * ? : " < > | are syntax (the separator, the wildcards, the
// drive, the quotes) or refused. Each of them in a host name is kept in its
// drive name as the private-use character U+F000 plus its code (U+F05C for
// the backslash, U+F03A for the colon), as Windows shows such names when a
// POSIX system made them. A host name that holds U+F000 or one of these
// private-use characters itself keeps it behind the escape U+F000, so that
// every host name has exactly one drive name and is found again from it.
//
// Byte for byte: bytes that form no character are kept as they are, and the
// mapped characters are whole UTF-8 characters, which a cut at a whole
// character never splits.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velumtar {

namespace name_mapping {

// The characters a Windows path takes for syntax or refuses in a name.
inline constexpr std::string_view kSpecial = "\\*?:\"<>|";
// Those, and the lead byte of the private-use characters: a name without
// any of them is its own drive name.
inline constexpr std::string_view kSpecialOrLead = "\\*?:\"<>|\xEF";

// Whether a name holds none of kSpecialOrLead: one pass over its bytes
// (find_first_of searches the set once per byte).
inline bool isOwnDriveName(std::string_view name) {
    for (char c : name) {
        switch (c) {
            case '\\':
            case '*':
            case '?':
            case ':':
            case '"':
            case '<':
            case '>':
            case '|':
            case '\xEF':
                return false;
            default:
                break;
        }
    }
    return true;
}

// U+F000 plus `c` in UTF-8 (c below 0x80).
inline std::string privateUse(char c) {
    const auto code = static_cast<unsigned char>(c);
    return {'\xEF', static_cast<char>(0x80 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F))};
}

// The character whose private-use form starts at text[i], or NUL when none
// does (U+F000 itself answers NUL as well: see isEscape).
inline char mappedAt(std::string_view text, std::size_t i) {
    if (i + 3 > text.size() || text[i] != '\xEF')
        return '\0';
    const auto high = static_cast<unsigned char>(text[i + 1]);
    const auto low = static_cast<unsigned char>(text[i + 2]);
    if ((high != 0x80 && high != 0x81) || (low & 0xC0) != 0x80)
        return '\0';
    const char c = static_cast<char>((high & 0x01) << 6 | (low & 0x3F));
    return c != '\0' && kSpecial.find(c) != std::string_view::npos ? c : '\0';
}

inline bool isEscape(std::string_view text, std::size_t i) {
    return text.substr(i, 3) == "\xEF\x80\x80";
}

}  // namespace name_mapping

// The drive name of a host name.
inline std::string driveName(std::string_view host) {
    using namespace name_mapping;
    if (isOwnDriveName(host))
        return std::string(host);
    std::string out;
    out.reserve(host.size());
    for (std::size_t i = 0; i < host.size();) {
        if (isEscape(host, i) || mappedAt(host, i) != '\0') {
            out += "\xEF\x80\x80";
            out.append(host.substr(i, 3));
            i += 3;
        } else if (host[i] != '\0' && kSpecial.find(host[i]) != std::string_view::npos) {
            out += privateUse(host[i]);
            ++i;
        } else {
            out += host[i++];
        }
    }
    return out;
}

namespace name_mapping {

// A drive name with its mapped characters undone, each escape taken away;
// with `keepBackslash` the backslash stays U+F05C.
inline std::string unmapped(std::string_view drive, bool keepBackslash) {
    std::string out;
    out.reserve(drive.size());
    for (std::size_t i = 0; i < drive.size();) {
        if (isEscape(drive, i) && (isEscape(drive, i + 3) || mappedAt(drive, i + 3) != '\0')) {
            out.append(drive.substr(i + 3, 3));
            i += 6;
        } else if (const char c = mappedAt(drive, i); c != '\0' && !(keepBackslash && c == '\\')) {
            out += c;
            i += 3;
        } else {
            out += drive[i++];
        }
    }
    return out;
}

}  // namespace name_mapping

// The host name of a drive name: driveName undone.
inline std::string hostName(std::string_view drive) {
    if (drive.find('\xEF') == std::string_view::npos)
        return std::string(drive);
    return name_mapping::unmapped(drive, false);
}

// Whether a drive name holds a mapped character or an escape.
inline bool holdsMappedCharacter(std::string_view drive) {
    using namespace name_mapping;
    for (std::size_t i = drive.find('\xEF'); i != std::string_view::npos;
         i = drive.find('\xEF', i + 1)) {
        if (isEscape(drive, i) || mappedAt(drive, i) != '\0')
            return true;
    }
    return false;
}

// A drive path as the report and the boxes show it: each mapped character as
// the character it stands for, but for the backslash, which would read as a
// separator there and stays U+F05C.
inline std::string shownName(std::string_view drive) {
    if (!holdsMappedCharacter(drive))
        return std::string(drive);
    return name_mapping::unmapped(drive, true);
}

}  // namespace velumtar
