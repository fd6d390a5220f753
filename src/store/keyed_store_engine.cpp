// The keyed-file engine.
//
// Design. A keyed file is a copy-on-write B+tree in 4 KiB pages (btree.h)
// over a page file (pager.h). Pages 0 and 1 are meta pages; each names a
// root, a tree height, a page count and a sequence number, and carries a
// checksum. Opening takes the valid meta page with the higher sequence.
//
// A transaction runs from one commit point to the next. A page of the
// committed tree is never written in place: the first change to it in a
// transaction copies it to a free page number and the parent is changed the
// same way up to the root. Pages freed by the transaction are not reused
// before it commits. So whatever the process has written since the last
// commit, the committed tree is still intact on disk.
//
// A commit writes the changed pages, syncs, writes the meta page that holds
// the older of the two commits with the next sequence number, and syncs
// again. A crash before the meta write leaves the old meta page the newest;
// a torn meta write fails its checksum and the old one wins; after it the new
// tree is complete on disk. Every tree page carries a checksum and its own
// number and is checked in full when it is read, so a damaged or foreign file
// is refused instead of being decoded. A checksum does not tell a page that
// sits in the wrong place (one a second writer wrote over it, say): so the
// keys are checked too, in order within a page when it is read, within the
// separators of its parent on every way down the tree, and each record a
// scan delivers above the one before. A key out of place is damage like any
// other, never a record that is missing or new.
//
// Memory is the page cache, a fixed number of frames. When it is full, a
// changed page of the running transaction is written early to its new place
// and read back later. Free pages are not listed on disk: opening walks the
// branch pages and takes every page the tree does not name as free.
//
// A leaf carries the sequence number of the commit it was written for. A
// damaged file is not repaired in place: salvageKeyedStore reads out every
// record still readable (the intact pages of the newest tree, and for lost
// pages the newest older version the copy-on-write history left on disk, or
// the leaves under a lost branch), and the owner writes them into a new file.
//
// A read position is the key of the last record delivered. A cursor into the
// tree follows it while the tree is unchanged; after a change the next read
// seeks again to the first key greater than that key.
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "store/btree.h"
#include "store/keyed_store_engine.h"
#include "store/pager.h"

namespace velumtar {

namespace {

using keyed::Cursor;
using keyed::Pager;
using keyed::Tree;

// A failed open: its platform status as a file status, never success.
FileStatus openFailure(PlatformStatus s) {
    FileStatus f = openStatusOf(s);
    return f.isSuccess() ? status::ioError : f;
}

bool isKeyOutcome(FileStatus s) {
    return s.isSuccess() || s == status::duplicateKey || s == status::keyNotFound ||
           s == status::endOfFile;
}

class KeyedStoreEngine final : public KeyedStore {
  public:
    KeyedStoreEngine(std::unique_ptr<File> file, std::size_t recordLength, std::size_t keyLength,
                     KeyedOpenMode mode, std::size_t cachePages)
        : file_(std::move(file)),
          pager_(std::make_unique<Pager>(*file_, recordLength, keyLength, cachePages)),
          tree_(std::make_unique<Tree>(*pager_, recordLength, keyLength)),
          recordLength_(recordLength),
          keyLength_(keyLength),
          mode_(mode),
          cachePages_(cachePages),
          lastKey_(keyLength) {}

    // Sets the file up for its open mode; `created` when the platform has
    // just created it.
    FileStatus start(bool created) {
        std::uint64_t size = 0;
        if (!created) {
            PlatformStatus ps = file_->size(size);
            if (ps != PlatformStatus::ok) {
                return status::ioError;
            }
        }
        if (!created && size == 0 && mode_ == KeyedOpenMode::input) {
            // Created, and the process died before it wrote anything.
            return status::fileNotFound;
        }
        if (created || (size == 0 && mode_ != KeyedOpenMode::input)) {
            FileStatus s = pager_->format();
            return s.isSuccess() && created ? status::created : s;
        }
        FileStatus s = pager_->load();
        if (s == status::fileNotFound) {
            // Created by an earlier open that never reached a commit point.
            if (mode_ == KeyedOpenMode::input) {
                return s;
            }
            FileStatus f = pager_->format();
            return f.isSuccess() ? status::created : f;
        }
        if (s.isSuccess()) {
            s = tree_->claimPages();
        }
        if (s == status::damaged && mode_ == KeyedOpenMode::output) {
            // Not a keyed file of this kind: output replaces it anyway.
            pager_ = std::make_unique<Pager>(*file_, recordLength_, keyLength_, cachePages());
            tree_ = std::make_unique<Tree>(*pager_, recordLength_, keyLength_);
            return pager_->format();
        }
        if (s.isSuccess() && mode_ == KeyedOpenMode::output) {
            pager_->discardTree();
        }
        return s;
    }

    std::size_t recordLength() const override { return recordLength_; }
    std::size_t keyLength() const override { return keyLength_; }

    FileStatus readByKey(const char* key, char* record) override {
        FileStatus s = ready();
        if (!s.isSuccess()) {
            return s;
        }
        bool found;
        s = tree_->find(bytes(key), bytes(record), found, &cursor_);
        if (!s.isSuccess()) {
            return fail(s);
        }
        std::memcpy(lastKey_.data(), key, keyLength_);
        positioned_ = true;
        pastEnd_ = false;
        cursorValid_ = found;
        cursorEpoch_ = epoch_;
        searched_ = {true, found, epoch_};
        return found ? status::success : status::keyNotFound;
    }

    FileStatus startAt(const char* key, char* record) override {
        searched_.valid = false;
        FileStatus s = ready();
        if (!s.isSuccess()) {
            return s;
        }
        bool found;
        s = tree_->seek(bytes(key), false, cursor_, found);
        if (!s.isSuccess()) {
            return fail(s);
        }
        if (!found) {
            pastEnd_ = true;
            cursorValid_ = false;
            return status::keyNotFound;
        }
        return deliver(record);
    }

    FileStatus readNext(char* record) override {
        searched_.valid = false;
        FileStatus s = ready();
        if (!s.isSuccess()) {
            return s;
        }
        if (pastEnd_) {
            return status::endOfFile;
        }
        bool found;
        const bool following = positioned_;
        if (!positioned_) {
            s = tree_->seek(nullptr, false, cursor_, found);
        } else if (cursorValid_ && cursorEpoch_ == epoch_) {
            s = tree_->next(cursor_, found);
        } else {
            s = tree_->seek(lastKey_.data(), true, cursor_, found);
        }
        if (!s.isSuccess()) {
            return fail(s);
        }
        if (!found) {
            cursorValid_ = false;
            return status::endOfFile;
        }
        return deliver(record, following);
    }

    FileStatus write(const char* record) override {
        const Cursor* searched = searchedFor(record, false);
        return change(record, [this, searched](const std::uint8_t* r, bool& done) {
            FileStatus s = tree_->insert(r, done, searched);
            return s.isSuccess() && !done ? status::duplicateKey : s;
        });
    }

    FileStatus rewrite(const char* record) override {
        const Cursor* searched = searchedFor(record, true);
        return change(record, [this, searched](const std::uint8_t* r, bool& done) {
            FileStatus s = tree_->replace(r, done, searched);
            return s.isSuccess() && !done ? status::keyNotFound : s;
        });
    }

    FileStatus deleteRecord(const char* key) override {
        return change(key, [this](const std::uint8_t* k, bool& done) {
            FileStatus s = tree_->erase(k, done);
            return s.isSuccess() && !done ? status::keyNotFound : s;
        });
    }

    FileStatus commit() override {
        searched_.valid = false;
        FileStatus s = ready();
        if (!s.isSuccess() || mode_ == KeyedOpenMode::input) {
            return s;
        }
        s = pager_->commit();
        return s.isSuccess() ? s : fail(s);
    }

    void willReadAll() override {
        if (file_)
            file_->willRead();
    }

    FileStatus close() override {
        if (!tree_) {
            return status::notOpen;
        }
        FileStatus s = commit();
        tree_.reset();
        pager_.reset();
        file_.reset();
        return s;
    }

    FileStatus verify(std::string& problem) override {
        FileStatus s = ready();
        if (!s.isSuccess()) {
            problem = "the store is closed or has failed";
            return s;
        }
        if (pager_->lostMetaPages() > 0) {
            problem = "a meta page is damaged or torn";
            return status::damaged;
        }
        return tree_->verify(problem);
    }

    bool lostMetaPage() const override { return pager_ && pager_->lostMetaPages() > 0; }

  private:
    static const std::uint8_t* bytes(const char* p) {
        return reinterpret_cast<const std::uint8_t*>(p);
    }
    static std::uint8_t* bytes(char* p) { return reinterpret_cast<std::uint8_t*>(p); }

    std::size_t cachePages() const { return cachePages_; }

    FileStatus ready() {
        if (!tree_) {
            return status::notOpen;
        }
        if (!failure_.isSuccess()) {
            return failure_;
        }
        pager_->beginOperation();
        return status::success;
    }

    // After a failure the tree in memory may be half changed: the store
    // refuses everything from then on and never commits again, so the file
    // stays as its last commit left it.
    FileStatus fail(FileStatus s) {
        if (!isKeyOutcome(s) && failure_.isSuccess()) {
            failure_ = s;
        }
        return s;
    }

    // With `following`, the record is the one after the position: a key not
    // above the position's is damage, never a record to deliver.
    FileStatus deliver(char* record, bool following = false) {
        FileStatus s = tree_->readAt(cursor_, bytes(record));
        if (!s.isSuccess()) {
            return fail(s);
        }
        if (following && std::memcmp(record, lastKey_.data(), keyLength_) <= 0) {
            return fail(status::damaged);
        }
        std::memcpy(lastKey_.data(), record, keyLength_);
        positioned_ = true;
        pastEnd_ = false;
        cursorValid_ = true;
        cursorEpoch_ = epoch_;
        return status::success;
    }

    // The cursor readByKey left for this record's key, when nothing has moved
    // it or changed the tree since and the read found the record (`hit`) or
    // did not: storing right after a read by key then needs no second search.
    const Cursor* searchedFor(const char* record, bool hit) const {
        const bool usable = searched_.valid && searched_.found == hit &&
                            searched_.epoch == epoch_ && cursorEpoch_ == epoch_ &&
                            std::memcmp(record, lastKey_.data(), keyLength_) == 0;
        return usable ? &cursor_ : nullptr;
    }

    template <typename Operation>
    FileStatus change(const char* data, Operation operation) {
        FileStatus s = ready();
        if (!s.isSuccess()) {
            return s;
        }
        if (mode_ == KeyedOpenMode::input) {
            return status::wrongMode;
        }
        bool done = false;
        s = operation(bytes(data), done);
        if (done) {
            ++epoch_;
        }
        return fail(s);
    }

    std::unique_ptr<File> file_;
    std::unique_ptr<Pager> pager_;
    std::unique_ptr<Tree> tree_;
    std::size_t recordLength_;
    std::size_t keyLength_;
    KeyedOpenMode mode_;
    std::size_t cachePages_;
    FileStatus failure_;

    std::vector<std::uint8_t> lastKey_;
    bool positioned_ = false;
    bool pastEnd_ = false;
    Cursor cursor_;
    bool cursorValid_ = false;
    std::uint64_t epoch_ = 0;
    // What the last readByKey left in cursor_ (see searchedFor).
    struct {
        bool valid = false;
        bool found = false;
        std::uint64_t epoch = 0;
    } searched_;
    std::uint64_t cursorEpoch_ = 0;
};

}  // namespace

std::unique_ptr<KeyedStore> openKeyedStore(Platform& platform, std::string_view path,
                                           std::size_t recordLength, std::size_t keyLength,
                                           KeyedOpenMode mode, FileStatus& outcome,
                                           const KeyedStoreOptions& options) {
    if (keyLength == 0 || keyLength > recordLength || recordLength > keyed::maxRecordLength) {
        outcome = status::ioError;
        return nullptr;
    }
    PlatformStatus ps;
    std::unique_ptr<File> file = platform.openFile(
        path, mode == KeyedOpenMode::input ? OpenMode::read : OpenMode::readWrite, ps);
    if (!file || (ps != PlatformStatus::ok && ps != PlatformStatus::created)) {
        outcome = openFailure(ps);
        return nullptr;
    }
    auto engine = std::make_unique<KeyedStoreEngine>(std::move(file), recordLength, keyLength, mode,
                                                     options.cachePages);
    outcome = engine->start(ps == PlatformStatus::created);
    if (!outcome.isSuccess() && !(outcome == status::created)) {
        return nullptr;
    }
    return engine;
}

std::unique_ptr<KeyedStore> openKeyedStore(Platform& platform, std::string_view path,
                                           std::size_t recordLength, std::size_t keyLength,
                                           KeyedOpenMode mode, FileStatus& outcome) {
    return openKeyedStore(platform, path, recordLength, keyLength, mode, outcome,
                          KeyedStoreOptions{});
}

FileStatus salvageKeyedStore(Platform& platform, std::string_view path, std::size_t recordLength,
                             std::size_t keyLength, SalvageSink& sink, SalvageReport& report) {
    report = SalvageReport{};
    if (keyLength == 0 || keyLength > recordLength || recordLength > keyed::maxRecordLength) {
        return status::ioError;
    }
    PlatformStatus ps;
    std::unique_ptr<File> file = platform.openFile(path, OpenMode::read, ps);
    if (!file || ps != PlatformStatus::ok) {
        return openFailure(ps);
    }
    // Pages are read around the cache; the smallest one will do.
    Pager pager(*file, recordLength, keyLength, 0);
    Tree tree(pager, recordLength, keyLength);
    keyed::TreeState metas[keyed::metaPageCount];
    bool valid[keyed::metaPageCount] = {};
    std::uint32_t filePages = 0;
    FileStatus s = pager.inspect(metas, valid, filePages);
    if (!s.isSuccess()) {
        return s;
    }
    return tree.salvage(metas, valid, sink, report);
}

}  // namespace velumtar
