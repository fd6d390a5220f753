#include "files/keyed_file.h"

#include "files/file_error.h"
#include "platform/platform.h"
#include "store/fault_injection.h"
#include "store/keyed_store_engine.h"

namespace velumtar {

namespace {
// The tool reads and writes its files in key order (the walk's findings, the
// passes that compare them with the database): a cache of 2 MiB per file
// reads and writes no more pages than a larger one on a drive of a million
// files, and keeps the run's memory small.
constexpr KeyedStoreOptions kOptions{512};
}  // namespace

KeyedFile::KeyedFile(Platform& platform, std::string name, std::size_t recordLength,
                     std::size_t keyLength)
    : platform_(platform),
      name_(std::move(name)),
      keyLength_(keyLength),
      record_(recordLength, ' ') {}

KeyedFile::~KeyedFile() {
    close();
}

void KeyedFile::clearRecord() {
    record_.assign(record_.size(), ' ');
}

// The engine reads into the record area, so the key it is given must not
// live there.
const char* KeyedFile::keyCopy() {
    key_.assign(record_.data(), keyLength_);
    return key_.data();
}

bool KeyedFile::noteChange(bool done) {
    changed_ = changed_ || done;
    return done;
}

bool KeyedFile::finish(FileStatus s) {
    status_ = s;
    outcome_ = s.isSuccess();
    return outcome_;
}

bool KeyedFile::finishRead(FileStatus s) {
    if (!s.isSuccess() && !s.isInvalidKey() && !s.isEndOfFile())
        readFailed_ = true;
    return found_ = finish(s);
}

bool KeyedFile::metaPageLost() const {
    return store_ && store_->lostMetaPage();
}

std::string_view KeyedFile::failedOperation(std::string_view word) const {
    return readFailed_ ? kRead : word;
}

bool KeyedFile::open(KeyedOpenMode mode) {
    if (store_)
        return finish(status::success);
    if (injectedFault(platform_, FaultKind::open, name_))
        return finish(status::ioError);
    FileStatus s;
    store_ = openKeyedStore(platform_, name_, record_.size(), keyLength_, mode, s, kOptions);
    found_ = false;
    readFailed_ = false;
    if (store_ && mode != KeyedOpenMode::input && s.isOpenSuccess())
        s = status::success;
    if (!store_ && s.isSuccess())
        s = status::ioError;
    return finish(s);
}

bool KeyedFile::close() {
    (void)closeCommitted();
    return true;
}

bool KeyedFile::closeCommitted() {
    bool committed = true;
    if (store_) {
        // An injected failure drops the store uncommitted.
        status_ =
            injectedFault(platform_, FaultKind::close, name_) ? status::ioError : store_->close();
        committed = status_.isSuccess() || !changed_;
        store_.reset();
    }
    changed_ = false;
    found_ = false;
    outcome_ = true;
    return committed;
}

bool KeyedFile::discardChanges() {
    // The engine keeps every change since the last commit point apart from
    // the committed file; dropping it without its close leaves them unwritten.
    store_.reset();
    changed_ = false;
    found_ = false;
    readFailed_ = false;
    outcome_ = true;
    return true;
}

void KeyedFile::removeWithoutTest() {
    close();
    // The caller asked for no outcome: a file that stays is found by the
    // next open.
    if (!injectedFault(platform_, FaultKind::remove, name_))
        (void)platform_.removeFile(name_);
}

bool KeyedFile::readByKey() {
    if (!store_)
        return found_ = finish(status::notOpen);
    if (injectedFault(platform_, FaultKind::read, name_))
        return finishRead(status::ioError);
    return finishRead(store_->readByKey(keyCopy(), record_.data()));
}

bool KeyedFile::startAt() {
    if (!store_)
        return found_ = finish(status::notOpen);
    if (injectedFault(platform_, FaultKind::read, name_))
        return finishRead(status::ioError);
    return finishRead(store_->startAt(keyCopy(), record_.data()));
}

bool KeyedFile::readNext() {
    if (!store_)
        return found_ = finish(status::notOpen);
    if (injectedFault(platform_, FaultKind::read, name_))
        return finishRead(status::ioError);
    return finishRead(store_->readNext(record_.data()));
}

bool KeyedFile::store() {
    if (!store_)
        return finish(status::notOpen);
    prepareStore();
    if (injectedFault(platform_, found_ ? FaultKind::rewrite : FaultKind::write, name_))
        return finish(status::ioError);
    return noteChange(
        finish(found_ ? store_->rewrite(record_.data()) : store_->write(record_.data())));
}

bool KeyedFile::deleteRecord() {
    if (!store_)
        return finish(status::notOpen);
    if (injectedFault(platform_, FaultKind::remove, name_))
        return finish(status::ioError);
    return noteChange(finish(store_->deleteRecord(keyCopy())));
}

bool KeyedFile::deleteFile() {
    close();
    if (injectedFault(platform_, FaultKind::remove, name_))
        return finish(status::ioError);
    (void)platform_.removeFile(name_);
    // Success is judged by the absence of the file, not by the removal.
    return finish(platform_.fileExists(name_) ? status::ioError : status::success);
}

bool KeyedFile::commit() {
    if (!store_)
        return finish(status::notOpen);
    if (injectedFault(platform_, FaultKind::commit, name_))
        return finish(status::ioError);
    if (!finish(store_->commit()))
        return false;
    changed_ = false;
    return true;
}

}  // namespace velumtar
