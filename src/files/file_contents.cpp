#include "files/file_contents.h"

#include "files/record_view.h"

namespace velumtar {

namespace {

constexpr std::size_t kFingerprintBytes = facts::kFingerprintWidth * 6 / 8;  // 21
constexpr std::size_t kBufferSize = 256 * 1024;

bool blank(std::string_view text) {
    return text.find_first_not_of(' ') == std::string_view::npos;
}

// The facts without the fingerprint and the work file's mark.
std::string withoutContents(std::string_view facts) {
    std::string rest(facts);
    RecordView v(rest.data());
    v.blank(facts::fingerprintHead);
    v.blank(facts::fingerprintTail);
    v.blank(facts::contentsUnsettled);
    return rest;
}

bool sameState(const FileIdentity& a, const FileIdentity& b) {
    return a.size == b.size && a.writeTime == b.writeTime;
}

}  // namespace

std::string fingerprintText(const Sha256::Digest& digest) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < kFingerprintBytes; i += 3) {
        const std::uint32_t group =
            (std::uint32_t{digest[i]} << 16) | (std::uint32_t{digest[i + 1]} << 8) | digest[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            text += kAlphabet[(group >> shift) & 63];
    }
    return text;
}

std::string fingerprintOf(std::string_view factsText) {
    return std::string(
               factsText.substr(facts::fingerprintHead.offset, facts::fingerprintHead.width)) +
           std::string(
               factsText.substr(facts::fingerprintTail.offset, facts::fingerprintTail.width));
}

void setFingerprint(FileFacts& f, std::string_view fingerprint) {
    RecordView v = f.view();
    v.set(facts::fingerprintHead, fingerprint.substr(0, facts::fingerprintHead.width));
    v.set(facts::fingerprintTail,
          fingerprint.substr(std::min(fingerprint.size(), facts::fingerprintHead.width)));
}

FactsVerdict compareFacts(std::string_view stored, std::string_view seen) {
    if (seen[facts::contentsUnsettled.offset] == 'U' ||
        withoutContents(stored) != withoutContents(seen))
        return FactsVerdict::changed;
    const std::string before = fingerprintOf(stored), now = fingerprintOf(seen);
    if (blank(now) || before == now)
        return FactsVerdict::same;
    return blank(before) ? FactsVerdict::fingerprintNew : FactsVerdict::changed;
}

FileFacts factsToStore(std::string_view stored, std::string_view seen) {
    FileFacts f;
    std::copy(seen.begin(), seen.end(), f.text.begin());
    f.view().at(facts::contentsUnsettled) = ' ';
    if (blank(fingerprintOf(seen)) && stored.size() == facts::kWidth)
        setFingerprint(f, fingerprintOf(stored));
    return f;
}

ContentsReader::ContentsReader(Platform& platform) : platform_(platform) {}

bool ContentsReader::open(std::string_view path) {
    PlatformStatus status = PlatformStatus::ok;
    file_ = platform_.openFile(path, OpenMode::contents, status);
    if (file_ && file_->identity(identity_) != PlatformStatus::ok)
        file_.reset();
    return file_ != nullptr;
}

ContentsOutcome ContentsReader::digest(Sha256::Digest& digest,
                                       const std::function<void()>& afterReading) {
    std::unique_ptr<File> file = std::move(file_);
    buffer_.resize(kBufferSize);
    FileIdentity before = identity_, after;
    readAgain_ = false;
    for (int reading = 1;; ++reading) {
        readAgain_ = reading > 1;
        if (!sha_.restart())
            return ContentsOutcome::unreadable;
        std::uint64_t offset = 0;
        for (;;) {
            std::size_t got = 0;
            if (file->read(offset, buffer_.data(), buffer_.size(), got) != PlatformStatus::ok ||
                !sha_.update(buffer_.data(), got))
                return ContentsOutcome::unreadable;
            offset += got;
            if (got < buffer_.size())
                break;
        }
        if (afterReading)
            afterReading();
        if (file->identity(after) != PlatformStatus::ok || !sha_.finish(digest))
            return ContentsOutcome::unreadable;
        if (sameState(before, after) && offset == after.size)
            return ContentsOutcome::read;
        if (reading == kReadings)
            return ContentsOutcome::unsettled;
        before = after;
    }
}

}  // namespace velumtar
