// Whole-tree walks: claiming the pages of the committed tree at open, and
// the integrity check.
#include "store/btree.h"

#include <cstring>
#include <string>

#include "store/btree_cells.h"

namespace velumtar::keyed {

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
        problem = where + "unreadable, bad checksum, wrong kind or keys out of order";
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
