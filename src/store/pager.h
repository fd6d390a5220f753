// The page file under a keyed file: numbered fixed-size pages read and
// written through a cache of a fixed number of frames, copy-on-write
// allocation, and the two meta pages through which a commit is published.
// The pager never parses a tree page beyond its checksum and number (and
// stamps a leaf with the commit it is written for); the tree checks the rest
// through the validator it installs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "store/file_status.h"
#include "store/page_format.h"

namespace velumtar {
class File;
}

namespace velumtar::keyed {

// What the committed meta page says, and what the next commit will say.
struct TreeState {
    std::uint64_t sequence = 0;
    std::uint32_t root = 0;
    std::uint32_t height = 0;
    std::uint32_t pageCount = metaPageCount;
    std::uint64_t recordCount = 0;
};

// Structural check of a tree page just read from disk: true when it is safe
// to decode.
using PageValidator = bool (*)(const std::uint8_t* page, void* context);

class Pager {
  public:
    // `file` must outlive the pager. `cacheFrames` is the number of pages the
    // cache holds; at least 64.
    Pager(File& file, std::size_t recordLength, std::size_t keyLength, std::size_t cacheFrames);
    Pager(const Pager&) = delete;
    Pager& operator=(const Pager&) = delete;

    void setValidator(PageValidator validator, void* context);

    // Writes the two meta pages of an empty file and syncs it.
    FileStatus format();
    // Reads the meta pages and selects the newest valid one. "39" when
    // neither is valid, the lengths differ or the file is shorter than the
    // tree it names. The caller then claims every page of the tree.
    FileStatus load();
    // Meta pages that failed their check at load while the other one was
    // sound: a torn meta write or damage. The older commit was taken.
    int lostMetaPages() const { return lostMetaPages_; }
    // For a salvage of a damaged file: reads both meta pages without judging
    // the tree they name. `valid[i]`: meta page i is intact and of this
    // record and key length. Every page the file holds counts as existing
    // (`filePages`, the whole pages in the file). "30" when the file cannot
    // be read at all.
    FileStatus inspect(TreeState (&metas)[metaPageCount], bool (&valid)[metaPageCount],
                       std::uint32_t& filePages);
    // Reads `page` straight from the file into `buffer` (pageSize bytes),
    // bypassing the cache: "39" when the page is missing, fails its checksum
    // or number, or the validator; "30" when the file cannot be read.
    FileStatus readDirect(std::uint32_t page, std::uint8_t* buffer);
    // Marks `page` as part of the committed tree. "39" when the number is out
    // of range or already claimed.
    FileStatus claim(std::uint32_t page);
    // Makes the next commit publish an empty tree; the pages of the current
    // one become free once that commit is durable.
    void discardTree();

    // Start of one keyed-file operation: pages used from here on stay in
    // the cache until the next call, so pointers to them remain valid.
    void beginOperation() { ++stamp_; }

    // The page's bytes, read from disk when not cached.
    FileStatus read(std::uint32_t page, std::uint8_t*& data);
    // Pages read() has read from disk so far: what was found of the cached
    // pages before still holds while this is unchanged.
    std::uint64_t loads() const { return loads_; }
    // The page made writable in this transaction: a page of the committed
    // tree is copied to a new number, given back in `moved` (otherwise
    // `moved` is `page`); the caller updates the reference to it.
    FileStatus writable(std::uint32_t page, std::uint32_t& moved, std::uint8_t*& data);
    // A new zeroed page, writable.
    FileStatus allocate(std::uint32_t& page, std::uint8_t*& data);
    // The tree no longer refers to `page`.
    void release(std::uint32_t page);

    TreeState& tree() { return tree_; }
    const TreeState& tree() const { return tree_; }
    void noteChange() { changed_ = true; }
    // Number of pages that exist, committed or not; tree page numbers are
    // below it.
    std::uint32_t pageLimit() const { return static_cast<std::uint32_t>(states_.size()); }

    // Writes every changed page, syncs, writes the meta page, syncs.
    FileStatus commit();
    // The first failure, after which the pager refuses everything ("00" if none).
    FileStatus failure() const { return failure_; }

  private:
    enum class PageState : std::uint8_t { free, meta, committed, owned, pendingFree };
    struct Frame {
        std::uint32_t page = 0;  // 0: the frame is unused
        bool dirty = false;
        bool referenced = false;
        std::uint64_t stamp = 0;
    };

    std::uint8_t* frameData(std::uint32_t frame) { return cache_.get() + frame * pageSize; }
    std::int64_t lookup(std::uint32_t page) const;
    void insertMapping(std::uint32_t page, std::uint32_t frame);
    void eraseMapping(std::uint32_t page);
    FileStatus takeFrame(std::uint32_t& frame);
    FileStatus writeFrame(std::uint32_t frame);
    // The steps of a commit: the changed pages written and synced, the
    // number of pages the new tree uses, the meta page of the new commit
    // written and synced, the page states once it is durable, and the free
    // pages at the end of the file given back to the file system.
    FileStatus writeDirtyPages();
    std::uint32_t usedPageCount() const;
    FileStatus publishMeta(const TreeState& next);
    void settlePageStates();
    void releaseTail(std::uint32_t used);
    FileStatus fail(FileStatus status);
    FileStatus ioFailure(PlatformStatus platformStatus);
    void encodeMeta(std::uint8_t* out, const TreeState& state) const;
    // Decodes meta page `m`: false when it is torn or foreign; `sameLayout`
    // false when it is intact but of another page, record or key length.
    bool decodeMeta(const std::uint8_t* m, std::size_t got, TreeState& state,
                    bool& sameLayout) const;

    File& file_;
    std::size_t recordLength_;
    std::size_t keyLength_;
    std::size_t frameCount_;
    std::unique_ptr<std::uint8_t[]> cache_;
    std::vector<Frame> frames_;
    std::vector<std::uint32_t> table_;  // open addressing: page number, then frame
    std::size_t tableMask_ = 0;
    std::size_t clockHand_ = 0;
    std::uint64_t stamp_ = 1;
    std::uint64_t loads_ = 0;

    std::vector<PageState> states_;
    std::size_t freeCount_ = 0;
    std::uint32_t freeHint_ = metaPageCount;

    TreeState tree_;
    bool changed_ = false;
    int lostMetaPages_ = 0;
    FileStatus failure_;
    PageValidator validator_ = nullptr;
    void* validatorContext_ = nullptr;
};

}  // namespace velumtar::keyed
