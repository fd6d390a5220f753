#include "files/btree.h"

#include <cstring>

namespace velumtar::keyed {

namespace {

constexpr std::size_t maxEntries = (pageSize - headerSize) / 4 + 2;

std::size_t commonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    std::size_t i = 0;
    while (i < length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

std::size_t countOf(const std::uint8_t* page) {
    return get16(page + hdr::count);
}
std::size_t prefixOf(const std::uint8_t* page) {
    return get16(page + hdr::prefixLength);
}
bool isLeaf(const std::uint8_t* page) {
    return page[hdr::kind] == leafKind;
}

const std::uint8_t* cellAt(const std::uint8_t* page, std::size_t slot) {
    return page + get16(page + headerSize + prefixOf(page) + 2 * slot);
}

// Decodes a varint of a page already validated.
std::size_t readVarint(const std::uint8_t*& p) {
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

CellView viewCell(const std::uint8_t* page, std::size_t slot, bool leaf) {
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

std::size_t suffixLength(const std::uint8_t* key, std::size_t keyLength, std::size_t prefix) {
    std::size_t trimmed = trimmedLength(key, keyLength);
    return trimmed > prefix ? trimmed - prefix : 0;
}

}  // namespace

Tree::Tree(Pager& pager, std::size_t recordLength, std::size_t keyLength)
    : pager_(pager),
      recordLength_(recordLength),
      keyLength_(keyLength),
      valueLength_(recordLength - keyLength),
      keyArena_(maxEntries * keyLength),
      valueArena_(maxEntries * (recordLength - keyLength) + 1),
      left_(pageSize),
      right_(pageSize) {
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
    return status::success;
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
    if (index >= countOf(leaf)) {
        return status::success;
    }
    std::size_t prefix = prefixOf(leaf);
    CellView cell = viewCell(leaf, index, true);
    if ((prefix == 0 || std::memcmp(key, leaf + headerSize, prefix) == 0) &&
        compareTrimmed(cell.suffix, cell.suffixLength, key + prefix,
                       keyTrim > prefix ? keyTrim - prefix : 0) == 0) {
        found = true;
        if (record) {
            decodeRecord(leaf, index, record);
        }
    }
    return status::success;
}

FileStatus Tree::makeWritable(Cursor& cursor) {
    TreeState& tree = pager_.tree();
    for (std::size_t level = 0; level < tree.height; ++level) {
        std::uint32_t moved;
        std::uint8_t* data;
        FileStatus s = pager_.writable(cursor.page[level], moved, data);
        if (!s.isSuccess()) {
            return s;
        }
        if (moved != cursor.page[level]) {
            if (level == 0) {
                tree.root = moved;
            } else {
                std::uint8_t* parent;
                s = pager_.read(cursor.page[level - 1], parent);
                if (!s.isSuccess()) {
                    return s;
                }
                setChild(parent, cursor.index[level - 1], moved);
            }
            cursor.page[level] = moved;
        }
    }
    return status::success;
}

std::size_t Tree::expandPage(const std::uint8_t* page, std::size_t skipSlot) {
    entries_.clear();
    bool leaf = isLeaf(page);
    std::size_t count = countOf(page);
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (slot == skipSlot) {
            continue;
        }
        std::size_t i = entries_.size();
        std::uint8_t* key = keyArena_.data() + i * keyLength_;
        expandKey(page, slot, key);
        Entry entry{key, nullptr, 0, 0};
        CellView cell = viewCell(page, slot, leaf);
        if (leaf) {
            std::uint8_t* value = valueArena_.data() + i * valueLength_;
            std::memcpy(value, cell.value, cell.valueLength);
            entry.value = value;
            entry.valueLength = cell.valueLength;
        } else {
            entry.child = get32(cellAt(page, slot));
        }
        entries_.push_back(entry);
    }
    return entries_.size();
}

bool Tree::build(std::uint8_t* out, bool leaf, std::uint32_t leftChild, const Entry* entries,
                 std::size_t count) const {
    std::memset(out, 0, pageSize);
    std::size_t prefix =
        count > 0 ? commonPrefix(entries[0].key, entries[count - 1].key, keyLength_) : 0;
    std::size_t slotsEnd = headerSize + prefix + 2 * count;
    if (slotsEnd > pageSize) {
        return false;
    }
    out[hdr::kind] = leaf ? leafKind : branchKind;
    put16(out + hdr::count, static_cast<std::uint32_t>(count));
    put16(out + hdr::prefixLength, static_cast<std::uint32_t>(prefix));
    put32(out + hdr::leftChild, leaf ? 0 : leftChild);
    if (prefix > 0) {
        std::memcpy(out + headerSize, entries[0].key, prefix);
    }
    std::size_t position = pageSize;
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& e = entries[i];
        std::size_t keyBytes = suffixLength(e.key, keyLength_, prefix);
        std::size_t size =
            leaf ? varintSize(keyBytes) + varintSize(e.valueLength) + keyBytes + e.valueLength
                 : 4 + varintSize(keyBytes) + keyBytes;
        if (position < slotsEnd + size) {
            return false;
        }
        position -= size;
        std::uint8_t* p = out + position;
        if (!leaf) {
            put32(p, e.child);
            p += 4;
        }
        p += putVarint(p, keyBytes);
        if (leaf) {
            p += putVarint(p, e.valueLength);
        }
        std::memcpy(p, e.key + prefix, keyBytes);
        if (leaf && e.valueLength > 0) {
            std::memcpy(p + keyBytes, e.value, e.valueLength);
        }
        put16(out + headerSize + prefix + 2 * i, static_cast<std::uint32_t>(position));
    }
    put16(out + hdr::cellStart, static_cast<std::uint32_t>(position));
    return true;
}

bool Tree::tryFastInsert(std::uint8_t* page, std::size_t slot, const std::uint8_t* key,
                         const std::uint8_t* value, std::size_t valueLength,
                         std::uint32_t child) const {
    std::size_t prefix = prefixOf(page);
    if (prefix > 0 && std::memcmp(key, page + headerSize, prefix) != 0) {
        return false;
    }
    bool leaf = isLeaf(page);
    std::size_t keyBytes = suffixLength(key, keyLength_, prefix);
    std::size_t size = leaf
                           ? varintSize(keyBytes) + varintSize(valueLength) + keyBytes + valueLength
                           : 4 + varintSize(keyBytes) + keyBytes;
    std::size_t count = countOf(page);
    std::size_t cellStart = get16(page + hdr::cellStart);
    std::size_t slotsEnd = headerSize + prefix + 2 * count;
    if (cellStart < slotsEnd + 2 + size) {
        return false;
    }
    std::size_t position = cellStart - size;
    std::uint8_t* p = page + position;
    if (!leaf) {
        put32(p, child);
        p += 4;
    }
    p += putVarint(p, keyBytes);
    if (leaf) {
        p += putVarint(p, valueLength);
    }
    std::memcpy(p, key + prefix, keyBytes);
    if (leaf && valueLength > 0) {
        std::memcpy(p + keyBytes, value, valueLength);
    }
    std::uint8_t* slots = page + headerSize + prefix;
    std::memmove(slots + 2 * (slot + 1), slots + 2 * slot, 2 * (count - slot));
    put16(slots + 2 * slot, static_cast<std::uint32_t>(position));
    put16(page + hdr::count, static_cast<std::uint32_t>(count + 1));
    put16(page + hdr::cellStart, static_cast<std::uint32_t>(position));
    return true;
}

void Tree::removeSlot(std::uint8_t* page, std::size_t slot) const {
    std::size_t count = countOf(page);
    std::uint8_t* slots = page + headerSize + prefixOf(page);
    std::memmove(slots + 2 * slot, slots + 2 * (slot + 1), 2 * (count - slot - 1));
    put16(page + hdr::count, static_cast<std::uint32_t>(count - 1));
}

std::size_t Tree::splitPoint(bool leaf, std::size_t count, std::size_t inserted) const {
    // Appending at the end of a page (ascending loads) leaves the old page
    // full and starts a new one; inserting at the front does the mirror.
    if (inserted + 1 == count) {
        return count - 1;
    }
    if (inserted == 0) {
        return leaf ? 1 : 0;
    }
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        total += trimmedLength(entries_[i].key, keyLength_) + entries_[i].valueLength + 4;
    }
    std::size_t sum = 0, point = 0;
    while (point < count && sum * 2 < total) {
        sum += trimmedLength(entries_[point].key, keyLength_) + entries_[point].valueLength + 4;
        ++point;
    }
    if (leaf) {
        return point < 1 ? 1 : (point > count - 1 ? count - 1 : point);
    }
    return point > count - 1 ? count - 1 : point;
}

FileStatus Tree::insertLeafEntry(Cursor& cursor, std::size_t slot, const std::uint8_t* key,
                                 const std::uint8_t* value, std::size_t valueLength) {
    std::size_t leafLevel = pager_.tree().height - 1;
    std::uint8_t* page;
    FileStatus s = pager_.read(cursor.page[leafLevel], page);
    if (!s.isSuccess()) {
        return s;
    }
    if (tryFastInsert(page, slot, key, value, valueLength, 0)) {
        return status::success;
    }
    std::size_t count = expandPage(page, static_cast<std::size_t>(-1));
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(slot),
                    Entry{key, value, valueLength, 0});
    ++count;
    if (build(left_.data(), true, 0, entries_.data(), count)) {
        std::memcpy(page, left_.data(), pageSize);
        return status::success;
    }
    std::size_t point = splitPoint(true, count, slot);
    if (!build(left_.data(), true, 0, entries_.data(), point) ||
        !build(right_.data(), true, 0, entries_.data() + point, count - point)) {
        return status::damaged;
    }
    std::uint32_t rightPage;
    std::uint8_t* rightData;
    s = pager_.allocate(rightPage, rightData);
    if (!s.isSuccess()) {
        return s;
    }
    std::memcpy(page, left_.data(), pageSize);
    std::memcpy(rightData, right_.data(), pageSize);
    // The separator: the shortest leading part of the right page's first key
    // that is still greater than the left page's last key.
    const std::uint8_t* last = entries_[point - 1].key;
    const std::uint8_t* first = entries_[point].key;
    std::vector<std::uint8_t> separator(first, first + keyLength_);
    std::size_t cut = commonPrefix(last, first, keyLength_) + 1;
    std::size_t i = cut;
    while (i < keyLength_ && first[i] == ' ') {
        ++i;
    }
    if (i == keyLength_ || first[i] > ' ') {
        std::memset(separator.data() + cut, ' ', keyLength_ - cut);
    }
    return insertSeparator(cursor, leafLevel, separator, rightPage);
}

FileStatus Tree::insertSeparator(Cursor& cursor, std::size_t level, std::vector<std::uint8_t>& key,
                                 std::uint32_t right) {
    TreeState& tree = pager_.tree();
    for (;;) {
        if (level == 0) {
            std::uint32_t rootPage;
            std::uint8_t* data;
            FileStatus s = pager_.allocate(rootPage, data);
            if (!s.isSuccess()) {
                return s;
            }
            Entry entry{key.data(), nullptr, 0, right};
            build(data, false, cursor.page[0], &entry, 1);
            tree.root = rootPage;
            ++tree.height;
            return tree.height > static_cast<std::uint32_t>(maxHeight) ? status::damaged
                                                                       : status::success;
        }
        std::size_t parentLevel = level - 1;
        std::uint8_t* parent;
        FileStatus s = pager_.read(cursor.page[parentLevel], parent);
        if (!s.isSuccess()) {
            return s;
        }
        std::size_t slot = cursor.index[parentLevel];
        if (tryFastInsert(parent, slot, key.data(), nullptr, 0, right)) {
            return status::success;
        }
        std::uint32_t leftChild = childAt(parent, 0);
        std::size_t count = expandPage(parent, static_cast<std::size_t>(-1));
        entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(slot),
                        Entry{key.data(), nullptr, 0, right});
        ++count;
        if (build(left_.data(), false, leftChild, entries_.data(), count)) {
            std::memcpy(parent, left_.data(), pageSize);
            return status::success;
        }
        std::size_t point = splitPoint(false, count, slot);
        const Entry& promoted = entries_[point];
        if (!build(left_.data(), false, leftChild, entries_.data(), point) ||
            !build(right_.data(), false, promoted.child, entries_.data() + point + 1,
                   count - point - 1)) {
            return status::damaged;
        }
        std::uint32_t rightPage;
        std::uint8_t* rightData;
        s = pager_.allocate(rightPage, rightData);
        if (!s.isSuccess()) {
            return s;
        }
        std::memcpy(parent, left_.data(), pageSize);
        std::memcpy(rightData, right_.data(), pageSize);
        std::vector<std::uint8_t> up(promoted.key, promoted.key + keyLength_);
        key.swap(up);
        right = rightPage;
        level = parentLevel;
    }
}

FileStatus Tree::insert(const std::uint8_t* record, bool& done) {
    done = false;
    TreeState& tree = pager_.tree();
    const std::uint8_t* value = record + keyLength_;
    std::size_t valueTrim = trimmedLength(value, valueLength_);
    if (tree.root == 0) {
        std::uint32_t page;
        std::uint8_t* data;
        FileStatus s = pager_.allocate(page, data);
        if (!s.isSuccess()) {
            return s;
        }
        Entry entry{record, value, valueTrim, 0};
        build(data, true, 0, &entry, 1);
        tree.root = page;
        tree.height = 1;
        tree.recordCount = 1;
        done = true;
        return status::success;
    }
    Cursor cursor;
    bool found;
    FileStatus s = find(record, nullptr, found, &cursor);
    if (!s.isSuccess() || found) {
        return s;
    }
    s = makeWritable(cursor);
    if (s.isSuccess()) {
        s = insertLeafEntry(cursor, cursor.index[tree.height - 1], record, value, valueTrim);
    }
    if (s.isSuccess()) {
        ++tree.recordCount;
        done = true;
    }
    return s;
}

FileStatus Tree::replace(const std::uint8_t* record, bool& done) {
    done = false;
    TreeState& tree = pager_.tree();
    Cursor cursor;
    bool found;
    FileStatus s = find(record, nullptr, found, &cursor);
    if (!s.isSuccess() || !found) {
        return s;
    }
    s = makeWritable(cursor);
    if (!s.isSuccess()) {
        return s;
    }
    std::size_t leafLevel = tree.height - 1;
    std::size_t slot = cursor.index[leafLevel];
    std::uint8_t* leaf;
    s = pager_.read(cursor.page[leafLevel], leaf);
    if (!s.isSuccess()) {
        return s;
    }
    const std::uint8_t* value = record + keyLength_;
    std::size_t valueTrim = trimmedLength(value, valueLength_);
    CellView cell = viewCell(leaf, slot, true);
    done = true;
    if (cell.valueLength == valueTrim) {
        std::memcpy(const_cast<std::uint8_t*>(cell.value), value, valueTrim);
        return status::success;
    }
    removeSlot(leaf, slot);
    return insertLeafEntry(cursor, slot, record, value, valueTrim);
}

FileStatus Tree::erase(const std::uint8_t* key, bool& done) {
    done = false;
    TreeState& tree = pager_.tree();
    Cursor cursor;
    bool found;
    FileStatus s = find(key, nullptr, found, &cursor);
    if (!s.isSuccess() || !found) {
        return s;
    }
    s = makeWritable(cursor);
    if (!s.isSuccess()) {
        return s;
    }
    std::size_t leafLevel = tree.height - 1;
    std::uint8_t* leaf;
    s = pager_.read(cursor.page[leafLevel], leaf);
    if (!s.isSuccess()) {
        return s;
    }
    removeSlot(leaf, cursor.index[leafLevel]);
    --tree.recordCount;
    done = true;
    if (countOf(leaf) > 0) {
        return status::success;
    }
    pager_.release(cursor.page[leafLevel]);
    if (leafLevel == 0) {
        tree.root = 0;
        tree.height = 0;
        return status::success;
    }
    return removeChild(cursor, leafLevel - 1);
}

FileStatus Tree::removeChild(Cursor& cursor, std::size_t level) {
    TreeState& tree = pager_.tree();
    for (;;) {
        std::uint8_t* page;
        FileStatus s = pager_.read(cursor.page[level], page);
        if (!s.isSuccess()) {
            return s;
        }
        std::size_t index = cursor.index[level];
        if (index == 0) {
            if (countOf(page) == 0) {
                // The branch lost its only child.
                pager_.release(cursor.page[level]);
                if (level == 0) {
                    tree.root = 0;
                    tree.height = 0;
                    return status::success;
                }
                --level;
                continue;
            }
            setChild(page, 0, childAt(page, 1));
            removeSlot(page, 0);
        } else {
            removeSlot(page, index - 1);
        }
        break;
    }
    // A root left with a single child is replaced by that child.
    while (tree.height > 1) {
        std::uint8_t* root;
        FileStatus s = pager_.read(tree.root, root);
        if (!s.isSuccess()) {
            return s;
        }
        if (countOf(root) > 0) {
            break;
        }
        std::uint32_t child = childAt(root, 0);
        pager_.release(tree.root);
        tree.root = child;
        --tree.height;
    }
    return status::success;
}

FileStatus Tree::claimPages() {
    const TreeState& tree = pager_.tree();
    if (tree.root == 0) {
        return status::success;
    }
    FileStatus s = pager_.claim(tree.root);
    if (!s.isSuccess() || tree.height == 1) {
        return s;
    }
    // Only branches are read: the leaves are known from their parents.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{{tree.root, 0}};
    std::vector<std::uint32_t> children;
    while (!pending.empty()) {
        auto [page, level] = pending.back();
        pending.pop_back();
        pager_.beginOperation();
        std::uint8_t* data;
        s = fetch(page, false, data);
        if (!s.isSuccess()) {
            return s;
        }
        std::size_t count = countOf(data);
        for (std::size_t i = 0; i <= count; ++i) {
            std::uint32_t child = childAt(data, i);
            s = pager_.claim(child);
            if (!s.isSuccess()) {
                return s;
            }
            if (level + 2 < tree.height) {
                pending.emplace_back(child, level + 1);
            }
        }
    }
    return status::success;
}

FileStatus Tree::verifyPage(std::uint32_t page, std::size_t level, const std::uint8_t* low,
                            const std::uint8_t* high, std::vector<bool>& seen,
                            std::uint64_t& records, std::string& problem) {
    const TreeState& tree = pager_.tree();
    // Built by appending: GCC 12 warns falsely about "text" + string at -O3.
    std::string where = "page ";
    where += std::to_string(page);
    where += ": ";
    if (page < metaPageCount || page >= seen.size() || seen[page]) {
        problem = where + "named twice or out of range";
        return status::damaged;
    }
    seen[page] = true;
    pager_.beginOperation();
    std::uint8_t* data;
    bool leaf = level + 1 == tree.height;
    FileStatus s = fetch(page, leaf, data);
    if (!s.isSuccess()) {
        problem = where + "unreadable, bad checksum or wrong kind";
        return s;
    }
    std::vector<std::uint8_t> copy(data, data + pageSize);
    if (!validate(copy.data(), this)) {
        problem = where + "bad layout";
        return status::damaged;
    }
    std::size_t count = countOf(copy.data());
    std::vector<std::uint8_t> keys((count + 1) * keyLength_);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* key = keys.data() + i * keyLength_;
        expandKey(copy.data(), i, key);
        if ((i > 0 && std::memcmp(key - keyLength_, key, keyLength_) >= 0) ||
            (low && std::memcmp(key, low, keyLength_) < 0) ||
            (high && std::memcmp(key, high, keyLength_) >= 0)) {
            problem = where;
            problem += "key out of order at slot ";
            problem += std::to_string(i);
            return status::damaged;
        }
    }
    if (leaf) {
        records += count;
        return status::success;
    }
    for (std::size_t i = 0; i <= count; ++i) {
        const std::uint8_t* childLow = i == 0 ? low : keys.data() + (i - 1) * keyLength_;
        const std::uint8_t* childHigh = i == count ? high : keys.data() + i * keyLength_;
        s = verifyPage(childAt(copy.data(), i), level + 1, childLow, childHigh, seen, records,
                       problem);
        if (!s.isSuccess()) {
            return s;
        }
    }
    return status::success;
}

FileStatus Tree::verify(std::string& problem) {
    const TreeState& tree = pager_.tree();
    problem.clear();
    std::uint64_t records = 0;
    if (tree.root != 0) {
        std::vector<bool> seen(pager_.pageLimit(), false);
        FileStatus s = verifyPage(tree.root, 0, nullptr, nullptr, seen, records, problem);
        if (!s.isSuccess()) {
            return s;
        }
    }
    if (records != tree.recordCount) {
        problem = "record count ";
        problem += std::to_string(tree.recordCount);
        problem += " but ";
        problem += std::to_string(records);
        problem += " records found";
        return status::damaged;
    }
    return status::success;
}

}  // namespace velumtar::keyed
