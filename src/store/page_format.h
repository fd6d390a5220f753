// On-disk layout of a keyed file: fixed-size pages, two meta pages that name
// the committed tree, and the tree's leaf and branch pages.
//
// Meta page (pages 0 and 1; the valid one with the higher sequence wins):
//   OFFSET SIZE DESCRIPTION
//        0    8 checksum64 of bytes 8..metaBytes
//        8    8 magic "VLMKEYED"
//       16    4 format version
//       20    4 page size
//       24    4 record length
//       28    4 key length
//       32    8 commit sequence number
//       40    4 root page (0: the file holds no record)
//       44    4 tree height (0 empty, 1 the root is a leaf)
//       48    4 page count: pages the committed tree may name
//       52    4 zero
//       56    8 record count
//   the rest of the page is zero.
//
// Tree page (leaf or branch):
//   OFFSET SIZE DESCRIPTION
//        0    8 checksum64 of bytes 8..pageSize
//        8    4 the page's own number
//       12    1 kind: 1 leaf, 2 branch
//       13    1 zero
//       14    2 entry count
//       16    2 prefix length P: bytes shared by every key of the page
//       18    2 start of the cell area (cells fill the page from its end)
//       20    4 branch: the leftmost child; leaf: the sequence number of the
//                commit it was written for (low 32 bits; zero in files
//                written before leaves carried it). A salvage uses it to tell
//                the newest of several versions of a leaf apart.
//       24    P the shared key prefix
//   24 + P  2*n cell offsets, in key order
//
// Keys are compared as full fixed-length byte strings; a stored key is its
// bytes after the page prefix with trailing blanks removed (the blanks come
// back when it is read). Record data after the key is stored the same way.
//   leaf cell:   varint suffix length, varint data length, suffix, data
//   branch cell: 4-byte child, varint suffix length, suffix. The child holds
//                the keys not less than this cell's key and less than the next
//                cell's key; the leftmost child those less than the first key.
// Integers are little-endian. A varint is one byte below 128, otherwise two
// (low seven bits with the top bit set, then the rest).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velumtar::keyed {

inline constexpr std::size_t pageSize = 4096;
inline constexpr std::uint32_t formatVersion = 1;
inline constexpr char magic[8] = {'V', 'L', 'M', 'K', 'E', 'Y', 'E', 'D'};
inline constexpr std::size_t metaBytes = 64;
inline constexpr std::uint32_t metaPageCount = 2;

inline constexpr std::size_t headerSize = 24;
inline constexpr std::uint8_t leafKind = 1;
inline constexpr std::uint8_t branchKind = 2;
// Deepest tree accepted; a deeper one can only come from a damaged file.
inline constexpr int maxHeight = 20;
// Longest record the format takes: a cell must stay far below a page so that
// a split always leaves two halves that fit.
inline constexpr std::size_t maxRecordLength = 1000;

namespace meta {
inline constexpr std::size_t checksum = 0, magic = 8, version = 16, pageSize = 20,
                             recordLength = 24, keyLength = 28, sequence = 32, root = 40,
                             height = 44, pageCount = 48, recordCount = 56;
}
namespace hdr {
inline constexpr std::size_t checksum = 0, pageNumber = 8, kind = 12, count = 14, prefixLength = 16,
                             cellStart = 18, leftChild = 20, leafCommit = 20;
}

inline std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t get64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(get32(p)) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}
inline void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}
inline void put64(std::uint8_t* p, std::uint64_t v) {
    put32(p, static_cast<std::uint32_t>(v));
    put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline std::size_t varintSize(std::size_t v) {
    return v < 128 ? 1 : 2;
}
inline std::size_t putVarint(std::uint8_t* p, std::size_t v) {
    if (v < 128) {
        p[0] = static_cast<std::uint8_t>(v);
        return 1;
    }
    p[0] = static_cast<std::uint8_t>(0x80 | (v & 0x7f));
    p[1] = static_cast<std::uint8_t>(v >> 7);
    return 2;
}
// Decodes a varint at `p`, reading no byte at or past `end`. Returns the bytes
// used, or 0 when the varint runs past `end`.
inline std::size_t getVarint(const std::uint8_t* p, const std::uint8_t* end, std::size_t& v) {
    if (p >= end) {
        return 0;
    }
    if (p[0] < 128) {
        v = p[0];
        return 1;
    }
    if (p + 1 >= end) {
        return 0;
    }
    v = (p[0] & 0x7fu) | (static_cast<std::size_t>(p[1]) << 7);
    return 2;
}

// A fast 64-bit checksum of `length` bytes: four lanes of
// running sums and sums of sums over 64-bit words, mixed at the end.
std::uint64_t checksum64(const std::uint8_t* data, std::size_t length);

// Length of `data` without its trailing blanks.
inline std::size_t trimmedLength(const std::uint8_t* data, std::size_t length) {
    // Records are mostly blanks: skip them eight at a time.
    constexpr std::uint64_t blanks = 0x2020202020202020ull;
    while (length >= 8) {
        std::uint64_t word;
        std::memcpy(&word, data + length - 8, 8);
        if (word != blanks) {
            break;
        }
        length -= 8;
    }
    while (length > 0 && data[length - 1] == ' ') {
        --length;
    }
    return length;
}

// memcmp for the short strings of a page search, without a library call.
inline int compareBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    while (length >= 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) {
            return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
        }
        a += 8;
        b += 8;
        length -= 8;
    }
    for (; length > 0; --length, ++a, ++b) {
        if (*a != *b) {
            return *a < *b ? -1 : 1;
        }
    }
    return 0;
}

// Compares two blank-padded byte strings given by their stored bytes (the
// padding is implied): negative, zero or positive like memcmp.
inline int compareTrimmed(const std::uint8_t* a, std::size_t aLength, const std::uint8_t* b,
                          std::size_t bLength) {
    std::size_t common = aLength < bLength ? aLength : bLength;
    int c = compareBytes(a, b, common);
    if (c != 0 || aLength == bLength) {
        return c;
    }
    // One is a prefix of the other: the longer one's remaining bytes are
    // compared with the blanks that pad the shorter.
    const std::uint8_t* tail = aLength > bLength ? a : b;
    std::size_t tailEnd = aLength > bLength ? aLength : bLength;
    for (std::size_t i = common; i < tailEnd; ++i) {
        if (tail[i] != ' ') {
            int longerIsGreater = tail[i] > ' ' ? 1 : -1;
            return aLength > bLength ? longerIsGreater : -longerIsGreater;
        }
    }
    return 0;
}

}  // namespace velumtar::keyed
