// The access pattern shared by the owners of keyed files (the basic database,
// the comparison work file, the extension database): one record area through
// which every operation passes its key and data, the open flag, the `found`
// flag, the yes/no outcome of the last operation and the last FileStatus.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "store/file_status.h"
#include "store/keyed_store.h"

namespace velumtar {

class Platform;

class KeyedFile {
  public:
    KeyedFile(Platform& platform, std::string name, std::size_t recordLength,
              std::size_t keyLength);
    virtual ~KeyedFile();
    KeyedFile(const KeyedFile&) = delete;
    KeyedFile& operator=(const KeyedFile&) = delete;

    const std::string& name() const { return name_; }
    // The name later opens use (a file may move to a full path once the
    // working directory is about to change). REQUIRES: the file is closed.
    void setName(std::string name) { name_ = std::move(name); }

    char* record() { return record_.data(); }
    const char* record() const { return record_.data(); }
    std::size_t recordLength() const { return record_.size(); }
    std::size_t keyLength() const { return keyLength_; }
    // Fills the record area with blanks.
    void clearRecord();

    bool isOpen() const { return store_ != nullptr; }
    bool found() const { return found_; }
    // Outcome of the last operation.
    bool outcome() const { return outcome_; }
    FileStatus lastStatus() const { return status_; }
    // A read since the open failed for another reason than a missing key or
    // the end of the file (a damaged page, an input-output error). The file
    // refuses everything after it, so a loop that ended or a lookup that
    // found nothing must be told from it. Cleared by open and close.
    bool readFailed() const { return readFailed_; }
    // The open file's newer meta page was damaged and its older commit was
    // opened (see KeyedStore::lostMetaPage).
    bool metaPageLost() const;
    // The operation word for a failure met after `word`'s operation: "READ"
    // when a read failed before it, since the later failure only follows.
    std::string_view failedOperation(std::string_view word) const;

    // Each operation returns its outcome. Opening an open file succeeds and
    // does nothing.
    [[nodiscard]] bool open(KeyedOpenMode mode);
    // Closes (a commit point); always yes. Clears the open flag and `found`.
    bool close();
    // The open file is about to be read through (see KeyedStore::willReadAll).
    void willReadAll() {
        if (store_)
            store_->willReadAll();
    }
    [[nodiscard]] bool readByKey();
    [[nodiscard]] bool startAt();
    [[nodiscard]] bool readNext();
    // Rewrites the record when `found` is set, else writes it as new.
    // Does not change `found`.
    [[nodiscard]] bool store();
    [[nodiscard]] bool deleteRecord();
    // Closes and removes the file; yes when the file is gone afterwards
    // (also when it never existed).
    [[nodiscard]] bool deleteFile();
    // Makes every change so far durable.
    [[nodiscard]] bool commit();
    // Closes like close(), and answers whether the changes since the last
    // commit point were made durable by it (yes when there were none).
    [[nodiscard]] bool closeCommitted();
    // Closes without making the changes since the last commit point durable:
    // the file stays as that commit point left it. Always yes.
    bool discardChanges();
    // Closes and removes the file, without the test open of deleteFile and
    // without an outcome.
    void removeWithoutTest();

  protected:
    // Called by store() before the record is written; the basic database
    // puts its stamps here.
    virtual void prepareStore() {}
    Platform& platform() { return platform_; }

  private:
    bool finish(FileStatus s);
    bool finishRead(FileStatus s);
    bool noteChange(bool done);
    const char* keyCopy();

    Platform& platform_;
    std::string name_;
    std::size_t keyLength_;
    std::string record_;
    std::string key_;
    std::unique_ptr<KeyedStore> store_;
    bool found_ = false;
    bool readFailed_ = false;
    bool outcome_ = true;
    // A change was made since the last commit point.
    bool changed_ = false;
    FileStatus status_;
};

}  // namespace velumtar
