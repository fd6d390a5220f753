#include "support/fake_reader.h"

#include <functional>

namespace velumtar::test {

readahead::DirectoryStamp FakeReader::stampOf(const std::string& native) const {
    auto entry = platform_.tree.find(native);
    const std::int64_t changed =
        entry == platform_.tree.end() ? FakeEntry::kSettled : entry->second.changedAt;
    return {1, std::hash<std::string>()(native), changed, changed};
}

bool FakeReader::read(const std::string& native, const WalkPlan& plan, std::size_t maxBytes,
                      readahead::Snapshot& out, readahead::ChildList& children) {
    reads.push_back(native);
    out.clear();
    auto self = platform_.tree.find(native);
    if (!platform_.isDirectory(native) || platform_.listingFaults.count(native) != 0 ||
        (self != platform_.tree.end() && !self->second.enterable))
        return false;
    out.stamp = stampOf(native);
    out.timesTell = readahead::timesTell(out.stamp, now, 20000000);
    if (native.size() > 2) {
        ListingEntry dot;
        dot.attributes = attr::directory;
        dot.kind = EntryKind::dotEntry;
        for (const char* name : {".", ".."}) {
            dot.name = name;
            out.add(dot, maxBytes);
        }
    }
    for (const std::string& key : platform_.childrenOf(native)) {
        const FakeEntry entry = platform_.tree.at(key);
        ListingEntry listed;
        listed.name = entry.name;
        listed.attributes = entry.listedAttributes.value_or(entry.attributes);
        listed.kind = entry.kind;
        listed.factsFromPath = entry.kind == EntryKind::file && !entry.vanishes &&
                               entry.infoStatus == PlatformStatus::ok &&
                               plan.wantsFacts(entry.name);
        listed.hasFacts = listed.factsFromPath || entry.listedWithFacts;
        listed.facts = entry.info;
        listed.facts.attributes = entry.attributes;
        out.add(listed, maxBytes);
        if (entry.kind == EntryKind::directory)
            children.add(plan, entry.name, key);
        // Gone once listed, as the tree's own listing has it.
        if (entry.vanishes)
            platform_.tree.erase(key);
    }
    if (afterRead)
        afterRead(native);
    return true;
}

}  // namespace velumtar::test
