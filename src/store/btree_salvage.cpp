// Salvage of a damaged file: every record that can still be read, each key
// taken from the newest version of its page that survives.
//
// The intact pages of the newest tree are authoritative for the keys they
// cover. A page that cannot be read (bad checksum, wrong number, keys out of
// order, cut off by a truncation, a leaf written for a later commit than the
// tree) or that holds keys outside its parent's separators leaves a gap:
// the stretch of keys between its parent's separators. Copy-on-write keeps
// older versions of pages on disk until their numbers are reused, and the
// leaves under a lost branch are intact, so the gaps are filled from every
// other readable leaf of the file, newest commit first (a leaf carries the
// commit it was written for). Leaves of one tree never overlap, so a leaf
// that overlaps one taken before it is an older version and is passed over;
// older versions fill only what no newer one covers.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "store/btree.h"
#include "store/btree_cells.h"

namespace velumtar::keyed {

// Keys between `low` and `high` (excluded). An empty bound is open. Only
// leaves written for commit `minCommit` or later may fill it.
struct Tree::Gap {
    std::string low;
    bool lowIncluded = true;
    std::string high;
    std::uint64_t minCommit = 0;

    bool holds(const std::string& key) const {
        return (low.empty() || (lowIncluded ? key >= low : key > low)) &&
               (high.empty() || key < high);
    }
    bool meets(const std::string& first, const std::string& last) const {
        return (high.empty() || first < high) &&
               (low.empty() || (lowIncluded ? last >= low : last > low));
    }
};

struct Tree::SalvageWalk {
    SalvageWalk(std::uint64_t newestCommit, SalvageSink& to, SalvageReport& found)
        : newest(newestCommit), sink(to), counts(found) {}

    std::uint64_t newest;  // leaves written for a later commit are not taken
    SalvageSink& sink;
    SalvageReport& counts;
    std::uint64_t treeCommit = 0;  // the commit of the tree walked
    std::size_t height = 0;
    std::vector<bool> seen;
    std::vector<Gap> gaps;
    std::vector<std::uint8_t> record;
    // With a meta page lost, the spans of the leaves written for a later
    // commit than the tree walked: a leaf of the tree they overlap is an
    // older version, and its keys are filled from them only.
    std::map<std::string, std::string> newer;  // first key -> last key
};

namespace {

std::uint32_t commitOf(const std::uint8_t* leaf) {
    return get32(leaf + hdr::leafCommit);
}

}  // namespace

FileStatus Tree::salvageFrom(std::uint32_t page, std::size_t level, const std::string& low,
                             const std::string& high, SalvageWalk& walk) {
    std::vector<std::uint8_t> data(pageSize);
    const bool leaf = level + 1 == walk.height;
    bool intact = page < walk.seen.size() && !walk.seen[page] &&
                  pager_.readDirect(page, data.data()).isSuccess() && isLeaf(data.data()) == leaf &&
                  (!leaf || commitOf(data.data()) <= walk.newest);
    if (page < walk.seen.size()) {
        walk.seen[page] = true;
    }
    if (!intact) {
        ++walk.counts.pagesDamaged;
        walk.gaps.push_back(Gap{low, true, high});
        return status::success;
    }
    const std::size_t count = countOf(data.data());
    std::string key(keyLength_, ' ');
    auto keyAt = [&](std::size_t slot) {
        expandKey(data.data(), slot, reinterpret_cast<std::uint8_t*>(key.data()));
        return key;
    };
    const Gap range{low, true, high};
    // A page with keys its parent does not send there (the keys within a
    // page are in order, or it would not have been read) was written for
    // another place, as a second writer may have done: its stretch is a
    // gap, and its leaves stay free to fill the gap of the place they were
    // written for.
    if (count > 0 && (!range.holds(keyAt(0)) || !range.holds(keyAt(count - 1)))) {
        walk.seen[page] = false;
        ++walk.counts.pagesDamaged;
        walk.gaps.push_back(range);
        return status::success;
    }
    if (leaf) {
        // The newer leaves do not overlap each other: only the one before
        // the first starting at `low` or later, and that one, can meet it.
        auto after = walk.newer.lower_bound(low);
        bool replaced = after != walk.newer.end() && range.meets(after->first, after->second);
        if (after != walk.newer.begin()) {
            --after;
            replaced = replaced || range.meets(after->first, after->second);
        }
        if (replaced) {
            walk.gaps.push_back(Gap{low, true, high, walk.treeCommit + 1});
            return status::success;
        }
        for (std::size_t slot = 0; slot < count; ++slot) {
            if (!range.holds(keyAt(slot))) {
                continue;
            }
            decodeRecord(data.data(), slot, walk.record.data());
            if (!walk.sink.take(reinterpret_cast<const char*>(walk.record.data()))) {
                return status::ioError;
            }
            ++walk.counts.recordsRecovered;
        }
        return status::success;
    }
    std::string childLow = low;
    for (std::size_t i = 0; i <= count; ++i) {
        std::string childHigh = i == count ? high : keyAt(i);
        FileStatus s = salvageFrom(childAt(data.data(), i), level + 1, childLow, childHigh, walk);
        if (!s.isSuccess()) {
            return s;
        }
        childLow = std::move(childHigh);
    }
    return status::success;
}

void Tree::markLeaves(const TreeState& tree, std::vector<bool>& leaves) {
    if (tree.root == 0 || tree.height > static_cast<std::uint32_t>(maxHeight)) {
        return;
    }
    std::vector<std::uint8_t> data(pageSize);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{{tree.root, 0}};
    while (!pending.empty()) {
        auto [page, level] = pending.back();
        pending.pop_back();
        if (level + 1 == tree.height) {
            if (page < leaves.size()) {
                leaves[page] = true;
            }
            continue;
        }
        if (!pager_.readDirect(page, data.data()).isSuccess() || isLeaf(data.data())) {
            continue;
        }
        for (std::size_t i = 0; i <= countOf(data.data()) && pending.size() < leaves.size(); ++i) {
            pending.emplace_back(childAt(data.data(), i), level + 1);
        }
    }
}

FileStatus Tree::salvage(const TreeState (&metas)[metaPageCount],
                         const bool (&valid)[metaPageCount], SalvageSink& sink,
                         SalvageReport& counts) {
    counts = SalvageReport{};
    int current = -1;
    for (int i = 0; i < static_cast<int>(metaPageCount); ++i) {
        if (!valid[i]) {
            ++counts.pagesDamaged;
        } else if (current < 0 || metas[i].sequence > metas[current].sequence) {
            current = i;
        }
    }
    const int older = current < 0 ? -1 : 1 - current;
    // With a meta page lost, its commit may have been the newest one: its
    // leaves are taken too.
    std::uint64_t newest = ~std::uint64_t{0};
    if (current >= 0) {
        newest = metas[current].sequence + (older >= 0 && valid[older] ? 0 : 1);
    }
    SalvageWalk walk(newest, sink, counts);
    walk.seen.assign(pager_.pageLimit(), false);
    walk.record.resize(recordLength_);
    std::vector<std::uint8_t> data(pageSize);
    std::string first(keyLength_, ' '), last(keyLength_, ' ');
    auto span = [&](const std::uint8_t* page) {
        expandKey(page, 0, reinterpret_cast<std::uint8_t*>(first.data()));
        expandKey(page, countOf(page) - 1, reinterpret_cast<std::uint8_t*>(last.data()));
    };
    if (current >= 0) {
        walk.treeCommit = metas[current].sequence;
        walk.height = metas[current].height;
    }
    if (current >= 0 && newest > walk.treeCommit) {
        for (std::uint32_t page = metaPageCount; page < pager_.pageLimit(); ++page) {
            if (pager_.readDirect(page, data.data()).isSuccess() && isLeaf(data.data()) &&
                commitOf(data.data()) > walk.treeCommit && commitOf(data.data()) <= newest) {
                span(data.data());
                walk.newer.emplace(first, last);
            }
        }
    }
    if (current < 0) {
        walk.gaps.push_back(Gap{});
    } else {
        counts.recordsNamed = metas[current].recordCount;
        if (metas[current].root != 0) {
            FileStatus s = salvageFrom(metas[current].root, 0, "", "", walk);
            if (!s.isSuccess()) {
                return s;
            }
        }
    }
    if (walk.gaps.empty()) {
        return status::success;
    }

    // Every other readable leaf that reaches into a gap, newest first; among
    // leaves of files that carry no commit number, those of the older tree.
    std::vector<bool> olderLeaves(pager_.pageLimit(), false);
    if (older >= 0 && valid[older]) {
        markLeaves(metas[older], olderLeaves);
    }
    struct Candidate {
        std::uint32_t commit;
        bool ofOlderTree;
        std::uint32_t page;
    };
    std::vector<Candidate> candidates;
    for (std::uint32_t page = metaPageCount; page < pager_.pageLimit(); ++page) {
        if (walk.seen[page]) {
            continue;
        }
        if (!pager_.readDirect(page, data.data()).isSuccess()) {
            // Unreadable, and not reached through the tree: a page under a
            // lost branch, or one no commit uses any more.
            ++counts.pagesDamaged;
            continue;
        }
        if (!isLeaf(data.data()) || commitOf(data.data()) > newest) {
            continue;
        }
        span(data.data());
        for (const Gap& gap : walk.gaps) {
            if (gap.meets(first, last) && commitOf(data.data()) >= gap.minCommit) {
                candidates.push_back(Candidate{commitOf(data.data()), olderLeaves[page], page});
                break;
            }
        }
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.commit != b.commit) {
            return a.commit > b.commit;
        }
        if (a.ofOlderTree != b.ofOlderTree) {
            return a.ofOlderTree;
        }
        return a.page < b.page;
    });
    std::string key(keyLength_, ' ');
    // Leaves of one tree never overlap: a leaf overlapping one taken before
    // it is an older version of it, and keys deleted since would come back.
    std::map<std::string, std::string> taken;  // first key -> last key
    for (const Candidate& candidate : candidates) {
        if (!pager_.readDirect(candidate.page, data.data()).isSuccess()) {
            continue;
        }
        span(data.data());
        // Taken leaves do not overlap: the one starting last at or before
        // `last` is the only one that can reach into this leaf.
        auto before = taken.upper_bound(last);
        if (before != taken.begin() && !(std::prev(before)->second < first)) {
            continue;
        }
        taken.emplace(first, last);
        for (std::size_t slot = 0; slot < countOf(data.data()); ++slot) {
            expandKey(data.data(), slot, reinterpret_cast<std::uint8_t*>(key.data()));
            if (std::none_of(walk.gaps.begin(), walk.gaps.end(), [&](const Gap& gap) {
                    return gap.holds(key) && candidate.commit >= gap.minCommit;
                })) {
                continue;
            }
            decodeRecord(data.data(), slot, walk.record.data());
            if (!sink.take(reinterpret_cast<const char*>(walk.record.data()))) {
                return status::ioError;
            }
            ++counts.recordsRecovered;
        }
        // The keys this leaf covers are settled: older versions stay out.
        span(data.data());
        std::vector<Gap> rest;
        for (const Gap& gap : walk.gaps) {
            if (!gap.meets(first, last)) {
                rest.push_back(gap);
                continue;
            }
            if (candidate.commit < gap.minCommit) {
                rest.push_back(gap);
                continue;
            }
            if (gap.low.empty() || gap.low < first) {
                rest.push_back(Gap{gap.low, gap.lowIncluded, first, gap.minCommit});
            }
            if (gap.high.empty() || last < gap.high) {
                rest.push_back(Gap{last, false, gap.high, gap.minCommit});
            }
        }
        walk.gaps = std::move(rest);
        if (walk.gaps.empty()) {
            break;
        }
    }
    return status::success;
}

}  // namespace velumtar::keyed
