#include "store/btree.h"

#include <cstring>

#include "store/btree_cells.h"

namespace velumtar::keyed {

Tree::Tree(Pager& pager, std::size_t recordLength, std::size_t keyLength)
    : pager_(pager),
      recordLength_(recordLength),
      keyLength_(keyLength),
      valueLength_(recordLength - keyLength),
      keyArena_(maxEntries * keyLength),
      valueArena_(maxEntries * (recordLength - keyLength) + 1),
      left_(pageSize),
      right_(pageSize),
      first_(keyLength),
      second_(keyLength) {
    entries_.reserve(maxEntries + 1);
    pager_.setValidator(&Tree::validate, this);
}

bool Tree::validate(const std::uint8_t* page, void* context) {
    const Tree& tree = *static_cast<const Tree*>(context);
    std::uint8_t kind = page[hdr::kind];
    if (kind != leafKind && kind != branchKind) {
        return false;
    }
    bool leaf = kind == leafKind;
    std::size_t count = countOf(page);
    std::size_t prefix = prefixOf(page);
    std::size_t cellStart = get16(page + hdr::cellStart);
    std::uint32_t limit = tree.pager_.pageLimit();
    if (prefix > tree.keyLength_ || headerSize + prefix + 2 * count > cellStart ||
        cellStart > pageSize || (leaf && count == 0)) {
        return false;
    }
    if (!leaf) {
        std::uint32_t child = get32(page + hdr::leftChild);
        if (child < metaPageCount || child >= limit) {
            return false;
        }
    }
    const std::uint8_t* end = page + pageSize;
    // The stored key bytes of the slot before, for the order check.
    const std::uint8_t* previous = nullptr;
    std::size_t previousBytes = 0;
    for (std::size_t slot = 0; slot < count; ++slot) {
        std::size_t offset = get16(page + headerSize + prefix + 2 * slot);
        if (offset < cellStart || offset >= pageSize) {
            return false;
        }
        const std::uint8_t* p = page + offset;
        if (!leaf) {
            if (end - p < 4) {
                return false;
            }
            std::uint32_t child = get32(p);
            if (child < metaPageCount || child >= limit) {
                return false;
            }
            p += 4;
        }
        std::size_t keyBytes = 0, valueBytes = 0, used = getVarint(p, end, keyBytes);
        if (used == 0) {
            return false;
        }
        p += used;
        if (leaf) {
            used = getVarint(p, end, valueBytes);
            if (used == 0) {
                return false;
            }
            p += used;
        }
        if (prefix + keyBytes > tree.keyLength_ || valueBytes > tree.valueLength_ ||
            static_cast<std::size_t>(end - p) < keyBytes + valueBytes) {
            return false;
        }
        // Every key of a page shares its prefix: the slots are in key order
        // when their stored bytes are. A key not above the one before would
        // make a search miss keys that are there.
        if (previous && compareTrimmed(previous, previousBytes, p, keyBytes) >= 0) {
            return false;
        }
        previous = p;
        previousBytes = keyBytes;
    }
    return true;
}

FileStatus Tree::fetch(std::uint32_t page, bool leaf, std::uint8_t*& data) {
    FileStatus s = pager_.read(page, data);
    if (s.isSuccess() && isLeaf(data) != leaf) {
        return status::damaged;
    }
    return s;
}

std::uint32_t Tree::childAt(const std::uint8_t* branch, std::size_t index) const {
    return index == 0 ? get32(branch + hdr::leftChild) : get32(cellAt(branch, index - 1));
}

void Tree::setChild(std::uint8_t* branch, std::size_t index, std::uint32_t child) const {
    if (index == 0) {
        put32(branch + hdr::leftChild, child);
    } else {
        put32(const_cast<std::uint8_t*>(cellAt(branch, index - 1)), child);
    }
}

std::size_t Tree::search(const std::uint8_t* page, const std::uint8_t* key, std::size_t keyTrim,
                         bool upper) const {
    std::size_t count = countOf(page);
    std::size_t prefix = prefixOf(page);
    if (prefix > 0) {
        int c = compareBytes(key, page + headerSize, prefix);
        if (c != 0) {
            return c < 0 ? 0 : count;
        }
    }
    const std::uint8_t* rest = key + prefix;
    std::size_t restLength = keyTrim > prefix ? keyTrim - prefix : 0;
    bool leaf = isLeaf(page);
    std::size_t low = 0, high = count;
    while (low < high) {
        std::size_t mid = (low + high) / 2;
        CellView cell = viewCell(page, mid, leaf);
        int c = compareTrimmed(cell.suffix, cell.suffixLength, rest, restLength);
        if (c < 0 || (upper && c == 0)) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

FileStatus Tree::descend(const std::uint8_t* key, std::size_t keyTrim, bool upper, Cursor& cursor,
                         std::uint8_t*& leaf) {
    const TreeState& tree = pager_.tree();
    std::uint32_t page = tree.root;
    for (std::size_t level = 0; level < tree.height; ++level) {
        bool atLeaf = level + 1 == tree.height;
        std::uint8_t* data;
        FileStatus s = fetch(page, atLeaf, data);
        if (!s.isSuccess()) {
            return s;
        }
        cursor.page[level] = page;
        std::size_t index = search(data, key, keyTrim, atLeaf ? upper : true);
        cursor.index[level] = static_cast<std::uint32_t>(index);
        if (atLeaf) {
            leaf = data;
        } else {
            page = childAt(data, index);
        }
    }
    return status::success;
}

bool Tree::keyBelow(const std::uint8_t* a, std::size_t slotA, const std::uint8_t* b,
                    std::size_t slotB) {
    auto stored = [this](const std::uint8_t* page, std::size_t slot, std::uint8_t* out) {
        std::size_t prefix = prefixOf(page);
        CellView cell = viewCell(page, slot, isLeaf(page));
        std::memcpy(out, page + headerSize, prefix);
        std::memcpy(out + prefix, cell.suffix, cell.suffixLength);
        return prefix + cell.suffixLength;
    };
    std::size_t lengthA = stored(a, slotA, first_.data());
    std::size_t lengthB = stored(b, slotB, second_.data());
    return compareTrimmed(first_.data(), lengthA, second_.data(), lengthB) < 0;
}

FileStatus Tree::checkPath(const Cursor& cursor) {
    const std::size_t height = pager_.tree().height;
    auto checkedBefore = [&] {
        if (!checked_.valid || checked_.loads != pager_.loads() || checked_.height != height) {
            return false;
        }
        for (std::size_t level = 0; level < height; ++level) {
            if (checked_.path.page[level] != cursor.page[level] ||
                (level + 1 < height && checked_.path.index[level] != cursor.index[level])) {
                return false;
            }
        }
        return true;
    };
    if (height < 2 || checkedBefore()) {
        return status::success;
    }
    // The separators around the current page, as the parent slots holding
    // them (no page: no bound on that side).
    const std::uint8_t* lowPage = nullptr;
    const std::uint8_t* highPage = nullptr;
    std::size_t lowSlot = 0, highSlot = 0;
    for (std::size_t level = 0; level < height; ++level) {
        const bool leaf = level + 1 == height;
        std::uint8_t* data;
        FileStatus s = fetch(cursor.page[level], leaf, data);
        if (!s.isSuccess()) {
            return s;
        }
        const std::size_t count = countOf(data);
        if (count > 0 && ((lowPage && keyBelow(data, 0, lowPage, lowSlot)) ||
                          (highPage && !keyBelow(data, count - 1, highPage, highSlot)))) {
            return status::damaged;
        }
        if (leaf) {
            break;
        }
        const std::size_t index = cursor.index[level];
        if (index > 0) {
            lowPage = data;
            lowSlot = index - 1;
        }
        if (index < count) {
            highPage = data;
            highSlot = index;
        }
    }
    checked_.valid = true;
    checked_.loads = pager_.loads();
    checked_.height = height;
    checked_.path = cursor;
    return status::success;
}

FileStatus Tree::leftmostFrom(Cursor& cursor, std::size_t level, bool& found) {
    std::size_t height = pager_.tree().height;
    for (; level < height; ++level) {
        std::uint8_t* data;
        FileStatus s = fetch(cursor.page[level], level + 1 == height, data);
        if (!s.isSuccess()) {
            return s;
        }
        cursor.index[level] = 0;
        if (level + 1 < height) {
            cursor.page[level + 1] = childAt(data, 0);
        }
    }
    found = true;
    return checkPath(cursor);
}

FileStatus Tree::next(Cursor& cursor, bool& found) {
    found = false;
    std::size_t height = pager_.tree().height;
    if (height == 0) {
        return status::success;
    }
    std::size_t leafLevel = height - 1;
    std::uint8_t* data;
    FileStatus s = fetch(cursor.page[leafLevel], true, data);
    if (!s.isSuccess()) {
        return s;
    }
    if (cursor.index[leafLevel] + 1 < countOf(data)) {
        ++cursor.index[leafLevel];
        found = true;
        return status::success;
    }
    for (std::size_t level = leafLevel; level-- > 0;) {
        s = fetch(cursor.page[level], false, data);
        if (!s.isSuccess()) {
            return s;
        }
        if (cursor.index[level] < countOf(data)) {
            ++cursor.index[level];
            cursor.page[level + 1] = childAt(data, cursor.index[level]);
            return leftmostFrom(cursor, level + 1, found);
        }
    }
    return status::success;
}

FileStatus Tree::seek(const std::uint8_t* key, bool after, Cursor& cursor, bool& found) {
    found = false;
    const TreeState& tree = pager_.tree();
    if (tree.root == 0) {
        return status::success;
    }
    if (key == nullptr) {
        cursor.page[0] = tree.root;
        return leftmostFrom(cursor, 0, found);
    }
    std::uint8_t* leaf;
    FileStatus s = descend(key, trimmedLength(key, keyLength_), after, cursor, leaf);
    if (s.isSuccess()) {
        s = checkPath(cursor);
    }
    if (!s.isSuccess()) {
        return s;
    }
    std::size_t leafLevel = tree.height - 1;
    if (cursor.index[leafLevel] < countOf(leaf)) {
        found = true;
        return status::success;
    }
    cursor.index[leafLevel] = static_cast<std::uint32_t>(countOf(leaf) - 1);
    return next(cursor, found);
}

void Tree::expandKey(const std::uint8_t* page, std::size_t slot, std::uint8_t* out) const {
    std::size_t prefix = prefixOf(page);
    CellView cell = viewCell(page, slot, isLeaf(page));
    std::memcpy(out, page + headerSize, prefix);
    std::memcpy(out + prefix, cell.suffix, cell.suffixLength);
    std::memset(out + prefix + cell.suffixLength, ' ', keyLength_ - prefix - cell.suffixLength);
}

void Tree::decodeRecord(const std::uint8_t* page, std::size_t slot, std::uint8_t* record) const {
    expandKey(page, slot, record);
    CellView cell = viewCell(page, slot, true);
    std::memcpy(record + keyLength_, cell.value, cell.valueLength);
    std::memset(record + keyLength_ + cell.valueLength, ' ', valueLength_ - cell.valueLength);
}

FileStatus Tree::readAt(const Cursor& cursor, std::uint8_t* record) {
    std::uint8_t* data;
    FileStatus s = fetch(cursor.page[pager_.tree().height - 1], true, data);
    if (s.isSuccess()) {
        decodeRecord(data, cursor.index[pager_.tree().height - 1], record);
    }
    return s;
}

FileStatus Tree::find(const std::uint8_t* key, std::uint8_t* record, bool& found, Cursor* cursor) {
    found = false;
    const TreeState& tree = pager_.tree();
    if (tree.root == 0) {
        return status::success;
    }
    Cursor local;
    Cursor& c = cursor ? *cursor : local;
    std::size_t keyTrim = trimmedLength(key, keyLength_);
    std::uint8_t* leaf;
    FileStatus s = descend(key, keyTrim, false, c, leaf);
    if (!s.isSuccess()) {
        return s;
    }
    std::size_t index = c.index[tree.height - 1];
    if (index < countOf(leaf)) {
        std::size_t prefix = prefixOf(leaf);
        CellView cell = viewCell(leaf, index, true);
        if ((prefix == 0 || std::memcmp(key, leaf + headerSize, prefix) == 0) &&
            compareTrimmed(cell.suffix, cell.suffixLength, key + prefix,
                           keyTrim > prefix ? keyTrim - prefix : 0) == 0) {
            found = true;
            if (record) {
                decodeRecord(leaf, index, record);
            }
            return status::success;
        }
    }
    // Not there: only when the way down led where the key belongs.
    return checkPath(c);
}

}  // namespace velumtar::keyed
