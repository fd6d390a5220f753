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
                      readahead::Snapshot& out) {
    reads.push_back(native);
    out.clear();
    auto self = platform_.tree.find(native);
    if (!platform_.isDirectory(native) || platform_.listingFaults.count(native) != 0 ||
        (self != platform_.tree.end() && !self->second.enterable))
        return false;
    out.stamp = stampOf(native);
    out.timesTell = readahead::timesTell(out.stamp, now, 20000000);
    if (native.size() > 2) {
        for (const char* dot : {".", ".."})
            out.add(dot, EntryKind::dotEntry, attr::directory, nullptr, maxBytes);
    }
    for (const std::string& key : platform_.childrenOf(native)) {
        const FakeEntry entry = platform_.tree.at(key);
        FileInformation facts = entry.info;
        facts.attributes = entry.attributes;
        const bool withFacts = entry.kind == EntryKind::file && !entry.vanishes &&
                               entry.infoStatus == PlatformStatus::ok &&
                               plan.wantsFacts(entry.name);
        if (!out.add(entry.name, entry.kind, entry.listedAttributes.value_or(entry.attributes),
                     withFacts ? &facts : nullptr, maxBytes))
            return false;
        // Gone once listed, as the tree's own listing has it.
        if (entry.vanishes)
            platform_.tree.erase(key);
    }
    if (afterRead)
        afterRead(native);
    return true;
}

}  // namespace velumtar::test
