// Cell access for the tree's pages, shared by the files of the tree. Only
// for pages that passed Tree::validate (or that the tree built itself).
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/page_format.h"

namespace velumtar::keyed {

inline constexpr std::size_t maxEntries = (pageSize - headerSize) / 4 + 2;

inline std::size_t commonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    std::size_t i = 0;
    while (i < length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

inline std::size_t countOf(const std::uint8_t* page) {
    return get16(page + hdr::count);
}
inline std::size_t prefixOf(const std::uint8_t* page) {
    return get16(page + hdr::prefixLength);
}
inline bool isLeaf(const std::uint8_t* page) {
    return page[hdr::kind] == leafKind;
}

inline const std::uint8_t* cellAt(const std::uint8_t* page, std::size_t slot) {
    return page + get16(page + headerSize + prefixOf(page) + 2 * slot);
}

// Decodes a varint of a page already validated.
inline std::size_t readVarint(const std::uint8_t*& p) {
    std::size_t v = p[0];
    if (v < 128) {
        p += 1;
        return v;
    }
    v = (v & 0x7f) | (static_cast<std::size_t>(p[1]) << 7);
    p += 2;
    return v;
}

// The stored key bytes of a cell (after the page prefix) and, for a leaf,
// its data.
struct CellView {
    const std::uint8_t* suffix;
    std::size_t suffixLength;
    const std::uint8_t* value;
    std::size_t valueLength;
};

inline CellView viewCell(const std::uint8_t* page, std::size_t slot, bool leaf) {
    const std::uint8_t* p = cellAt(page, slot);
    CellView view{};
    if (leaf) {
        view.suffixLength = readVarint(p);
        view.valueLength = readVarint(p);
        view.suffix = p;
        view.value = p + view.suffixLength;
    } else {
        p += 4;
        view.suffixLength = readVarint(p);
        view.suffix = p;
    }
    return view;
}

inline std::size_t suffixLength(const std::uint8_t* key, std::size_t keyLength,
                                std::size_t prefix) {
    std::size_t trimmed = trimmedLength(key, keyLength);
    return trimmed > prefix ? trimmed - prefix : 0;
}

}  // namespace velumtar::keyed
