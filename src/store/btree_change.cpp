// Changes to the tree: copy-on-write of the path, inserts with page splits,
// rewrites, and deletes that drop emptied pages.
#include "store/btree.h"

#include <cstring>

#include "store/btree_cells.h"

namespace velumtar::keyed {

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

FileStatus Tree::placeSplit(std::uint8_t* page, std::uint32_t& rightPage) {
    std::uint8_t* rightData;
    FileStatus s = pager_.allocate(rightPage, rightData);
    if (!s.isSuccess()) {
        return s;
    }
    std::memcpy(page, left_.data(), pageSize);
    std::memcpy(rightData, right_.data(), pageSize);
    return status::success;
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
    s = placeSplit(page, rightPage);
    if (!s.isSuccess()) {
        return s;
    }
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
        s = placeSplit(parent, rightPage);
        if (!s.isSuccess()) {
            return s;
        }
        std::vector<std::uint8_t> up(promoted.key, promoted.key + keyLength_);
        key.swap(up);
        right = rightPage;
        level = parentLevel;
    }
}

bool Tree::positionFor(const std::uint8_t* record, const Cursor* searched, bool present,
                       Cursor& cursor, FileStatus& s) {
    s = status::success;
    if (searched) {
        cursor = *searched;
        return true;
    }
    bool found;
    s = find(record, nullptr, found, &cursor);
    return s.isSuccess() && found == present;
}

FileStatus Tree::insert(const std::uint8_t* record, bool& done, const Cursor* searched) {
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
    FileStatus s;
    if (!positionFor(record, searched, false, cursor, s)) {
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

FileStatus Tree::replace(const std::uint8_t* record, bool& done, const Cursor* searched) {
    done = false;
    TreeState& tree = pager_.tree();
    Cursor cursor;
    FileStatus s;
    if (!positionFor(record, searched, true, cursor, s)) {
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

}  // namespace velumtar::keyed
