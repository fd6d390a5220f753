// The ordered index of a keyed file: a copy-on-write B+tree over the pages
// of a `Pager`. Records live in leaves with their keys prefix-compressed per
// page and trailing blanks removed; branches hold the shortest separators
// that tell their children apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store/file_status.h"
#include "store/keyed_store_engine.h"
#include "store/page_format.h"
#include "store/pager.h"

namespace velumtar::keyed {

// A place in the tree: the page and slot at every level, root first. The
// leaf slot names a record. Valid only while the tree is unchanged.
struct Cursor {
    std::uint32_t page[maxHeight] = {};
    std::uint32_t index[maxHeight] = {};
};

class Tree {
  public:
    // REQUIRES: 1 <= keyLength <= recordLength <= maxRecordLength.
    Tree(Pager& pager, std::size_t recordLength, std::size_t keyLength);
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // Claims every page of the committed tree in the pager, reading only
    // the branch pages. "39" when a page is named twice or out of range.
    FileStatus claimPages();

    // Keys are `keyLength` bytes, records `recordLength` bytes.
    // find: `found` tells whether the key is present; when it is, `record`
    // receives it and `cursor` (if given) points at it.
    FileStatus find(const std::uint8_t* key, std::uint8_t* record, bool& found, Cursor* cursor);
    // Positions at the first record whose key is not less than `key`
    // (greater than it when `after` is set), or at the first record when
    // `key` is null. `found` is false when there is none.
    FileStatus seek(const std::uint8_t* key, bool after, Cursor& cursor, bool& found);
    // Moves to the following record; `found` false at the end.
    FileStatus next(Cursor& cursor, bool& found);
    FileStatus readAt(const Cursor& cursor, std::uint8_t* record);

    // `done` is false when the key is already present (insert) or absent
    // (replace, erase); nothing changes then. `searched`, when given, is the
    // cursor a find() of the same key left in an unchanged tree (a miss for
    // insert, a hit for replace): the change starts there without searching.
    FileStatus insert(const std::uint8_t* record, bool& done, const Cursor* searched = nullptr);
    FileStatus replace(const std::uint8_t* record, bool& done, const Cursor* searched = nullptr);
    FileStatus erase(const std::uint8_t* key, bool& done);

    // Checks every page reachable from the root: checksums, the page layout,
    // key order within and across pages, uniform depth, the record count.
    // On a fault `problem` describes the first one found.
    FileStatus verify(std::string& problem);

    static bool validate(const std::uint8_t* page, void* tree);

    // Delivers every record of a damaged file that can still be read, each
    // key once: first those of the intact pages of the newest tree, in key
    // order; then, for each stretch of keys whose pages are lost, the newest
    // readable version of it found elsewhere in the file (the older commit's
    // pages, leaves under a lost branch, leaves freed by later commits).
    // REQUIRES: the pager has inspected the file (Pager::inspect). "30" when
    // the sink refused a record.
    FileStatus salvage(const TreeState (&metas)[metaPageCount], const bool (&valid)[metaPageCount],
                       SalvageSink& sink, SalvageReport& counts);

  private:
    struct Entry {
        const std::uint8_t* key;  // full key, keyLength bytes
        const std::uint8_t* value;
        std::size_t valueLength;
        std::uint32_t child;
    };

    FileStatus fetch(std::uint32_t page, bool leaf, std::uint8_t*& data);
    std::size_t search(const std::uint8_t* page, const std::uint8_t* key, std::size_t keyTrim,
                       bool upper) const;
    FileStatus descend(const std::uint8_t* key, std::size_t keyTrim, bool upper, Cursor& cursor,
                       std::uint8_t*& leaf);
    FileStatus leftmostFrom(Cursor& cursor, std::size_t level, bool& found);
    // Checks that every page on the cursor's path holds only keys its parent
    // sends there: none below the separator before its slot, none at or
    // above the one after it. "39" otherwise: a page written for another
    // place in the tree (by a second writer, or left over from elsewhere)
    // would hide its keys from a search and break the order of a scan. The
    // order within a page is checked when it is read from disk (validate).
    // A search that finds its key needs no check: the record is there.
    FileStatus checkPath(const Cursor& cursor);
    // Whether the key of `slotA` of page `a` is below that of `slotB` of
    // page `b`.
    bool keyBelow(const std::uint8_t* a, std::size_t slotA, const std::uint8_t* b,
                  std::size_t slotB);
    FileStatus makeWritable(Cursor& cursor);
    void setChild(std::uint8_t* branch, std::size_t index, std::uint32_t child) const;
    std::uint32_t childAt(const std::uint8_t* branch, std::size_t index) const;
    void expandKey(const std::uint8_t* page, std::size_t slot, std::uint8_t* out) const;
    void decodeRecord(const std::uint8_t* page, std::size_t slot, std::uint8_t* record) const;
    std::size_t expandPage(const std::uint8_t* page, std::size_t skipSlot);
    bool build(std::uint8_t* out, bool leaf, std::uint32_t leftChild, const Entry* entries,
               std::size_t count) const;
    // Positions `cursor` at `record`'s key for a change that needs the key
    // present (replace) or absent (insert): from `searched` when given, else
    // by a search. False when the change cannot go on; `s` then tells a
    // failure from the key's wrong state (success).
    bool positionFor(const std::uint8_t* record, const Cursor* searched, bool present,
                     Cursor& cursor, FileStatus& s);
    std::size_t splitPoint(bool leaf, std::size_t count, std::size_t inserted) const;
    // Puts the halves built in left_ and right_ in place: the left one over
    // `page`, the right one in a newly allocated page (`rightPage`).
    FileStatus placeSplit(std::uint8_t* page, std::uint32_t& rightPage);
    FileStatus insertLeafEntry(Cursor& cursor, std::size_t slot, const std::uint8_t* key,
                               const std::uint8_t* value, std::size_t valueLength);
    FileStatus insertSeparator(Cursor& cursor, std::size_t level, std::vector<std::uint8_t>& key,
                               std::uint32_t right);
    FileStatus removeChild(Cursor& cursor, std::size_t level);
    void removeSlot(std::uint8_t* page, std::size_t slot) const;
    bool tryFastInsert(std::uint8_t* page, std::size_t slot, const std::uint8_t* key,
                       const std::uint8_t* value, std::size_t valueLength,
                       std::uint32_t child) const;
    FileStatus verifyPage(std::uint32_t page, std::size_t level, const std::uint8_t* low,
                          const std::uint8_t* high, std::vector<bool>& seen, std::uint64_t& records,
                          std::string& problem);

    struct Gap;
    struct SalvageWalk;
    FileStatus salvageFrom(std::uint32_t page, std::size_t level, const std::string& low,
                           const std::string& high, SalvageWalk& walk);
    void markLeaves(const TreeState& tree, std::vector<bool>& leaves);

    Pager& pager_;
    std::size_t recordLength_;
    std::size_t keyLength_;
    std::size_t valueLength_;
    // Scratch space for rebuilding pages: every entry of one page plus one.
    std::vector<std::uint8_t> keyArena_;
    std::vector<std::uint8_t> valueArena_;
    std::vector<Entry> entries_;
    std::vector<std::uint8_t> left_;
    std::vector<std::uint8_t> right_;
    // checkPath's two keys, as stored (without the padding).
    std::vector<std::uint8_t> first_;
    std::vector<std::uint8_t> second_;
    // The path checkPath found sound last, and the pager's loads then: it
    // stays sound while no page has been read from disk since, as the
    // tree's own changes keep the order.
    struct {
        bool valid = false;
        std::uint64_t loads = 0;
        std::size_t height = 0;
        Cursor path;
    } checked_;
};

}  // namespace velumtar::keyed
