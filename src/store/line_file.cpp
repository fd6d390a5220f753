#include "store/line_file.h"

#include "platform/platform.h"
#include "store/fault_injection.h"

namespace velumtar {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

LineFile::LineFile(Platform& platform, std::string name, std::size_t recordLength, Links links)
    : platform_(platform), name_(std::move(name)), recordLength_(recordLength), links_(links) {}

LineFile::~LineFile() {
    (void)close();
}

FileStatus LineFile::open(Access access) {
    if (file_) {
        status_ = status::alreadyOpen;
        return status_;
    }
    if (injectedFault(platform_, FaultKind::open, name_))
        return status_ = status::ioError;
    OpenMode how = access == Access::input    ? OpenMode::read
                   : access == Access::output ? OpenMode::truncate
                                              : OpenMode::append;
    if (how == OpenMode::read && links_ == Links::followed)
        how = OpenMode::readFollowing;
    PlatformStatus ps = PlatformStatus::ok;
    file_ = platform_.openFile(name_, how, ps);
    status_ = file_ ? status::success : openStatusOf(ps);
    if (!file_)
        return status_;
    writing_ = access != Access::input;
    wrote_ = false;
    buffer_.clear();
    bufferPos_ = 0;
    atEnd_ = false;
    offset_ = 0;
    if (access == Access::extend) {
        PlatformStatus s = file_->size(offset_);
        if (s != PlatformStatus::ok) {
            file_.reset();
            status_ = transferStatusOf(s);
        }
    }
    return status_;
}

FileStatus LineFile::openInput() {
    return open(Access::input);
}
FileStatus LineFile::openOutput() {
    return open(Access::output);
}
FileStatus LineFile::openExtend() {
    return open(Access::extend);
}

FileStatus LineFile::close() {
    if (!file_) {
        status_ = status::notOpen;
        return status_;
    }
    status_ = status::success;
    if (injectedFault(platform_, FaultKind::close, name_))
        status_ = status::ioError;
    else if (writing_ && wrote_)
        status_ = transferStatusOf(file_->sync());
    file_.reset();
    return status_;
}

bool LineFile::fill() {
    if (atEnd_)
        return false;
    buffer_.erase(0, bufferPos_);
    bufferPos_ = 0;
    std::size_t old = buffer_.size();
    buffer_.resize(old + kReadChunk);
    std::size_t got = 0;
    PlatformStatus s = file_->read(offset_, buffer_.data() + old, kReadChunk, got);
    buffer_.resize(old + got);
    offset_ += got;
    if (s != PlatformStatus::ok) {
        status_ = status::ioError;
        atEnd_ = true;
        return false;
    }
    if (got == 0)
        atEnd_ = true;
    return got > 0;
}

FileStatus LineFile::readNext(std::string& record) {
    if (!file_ || writing_) {
        status_ = file_ ? status::wrongMode : status::notOpen;
        return status_;
    }
    if (injectedFault(platform_, FaultKind::read, name_))
        return status_ = status::ioError;
    record.assign(recordLength_, ' ');
    std::size_t length = 0;
    bool any = false;
    for (;;) {
        if (bufferPos_ >= buffer_.size()) {
            status_ = status::success;
            if (!fill()) {
                if (status_ == status::ioError)
                    return status_;
                // End of file: a last line without its line end still counts.
                status_ = any ? status::success : status::endOfFile;
                return status_;
            }
        }
        char c = buffer_[bufferPos_++];
        any = true;
        if (c == '\n')
            break;
        if (c == '\r') {
            // CR LF or a bare CR ends the line.
            if (bufferPos_ >= buffer_.size())
                fill();
            if (bufferPos_ < buffer_.size() && buffer_[bufferPos_] == '\n')
                ++bufferPos_;
            break;
        }
        if (length < recordLength_)
            record[length] = c;
        ++length;
    }
    status_ = status::success;
    return status_;
}

FileStatus LineFile::write(std::string_view record) {
    if (!file_ || !writing_) {
        status_ = file_ ? status::wrongMode : status::notOpen;
        return status_;
    }
    if (injectedFault(platform_, FaultKind::write, name_))
        return status_ = status::ioError;
    std::string line(record.substr(0, recordLength_));
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    line += "\r\n";
    status_ = transferStatusOf(file_->write(offset_, line.data(), line.size()));
    if (status_.isSuccess()) {
        offset_ += line.size();
        wrote_ = true;
    } else {
        // A full device may have taken part of the line: cut it off again.
        (void)file_->truncate(offset_);
    }
    return status_;
}

FileStatus LineFile::sync() {
    if (!file_ || !writing_) {
        status_ = file_ ? status::wrongMode : status::notOpen;
        return status_;
    }
    if (injectedFault(platform_, FaultKind::commit, name_))
        return status_ = status::ioError;
    status_ = transferStatusOf(file_->sync());
    // What was written is on the device: closing need not force it again.
    if (status_.isSuccess())
        wrote_ = false;
    return status_;
}

bool LineFile::remove() {
    (void)close();
    if (injectedFault(platform_, FaultKind::remove, name_))
        return false;
    return platform_.removeFile(name_) == PlatformStatus::ok;
}

FileStatus LineFile::replace(std::string_view target) {
    // Only what reached the device replaces the target.
    if (file_ && !close().isSuccess())
        return status_;
    if (injectedFault(platform_, FaultKind::rename, name_))
        return status_ = status::ioError;
    status_ = platform_.replaceFile(name_, target) == PlatformStatus::ok ? status::success
                                                                         : status::ioError;
    return status_;
}

}  // namespace velumtar
