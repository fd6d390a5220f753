// Fingerprints of file contents: the SHA-256 of a watched file's bytes, read
// safely (a regular file only, never through a link), kept in the spaces of
// its FileFacts, and the rule by which facts with fingerprints are compared.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_facts.h"
#include "platform/platform.h"
#include "platform/sha256.h"

namespace velumtar {

// The fingerprint as the facts keep it: the first 21 bytes (168 bits) of the
// digest in base64, 28 characters.
std::string fingerprintText(const Sha256::Digest& digest);
// The 28 fingerprint characters of a facts block (blanks when it has none),
// and their replacement.
std::string fingerprintOf(std::string_view facts);
void setFingerprint(FileFacts& facts, std::string_view fingerprint);

// How the facts a walk saw compare with those the database holds.
enum class FactsVerdict {
    same,            // nothing to do
    fingerprintNew,  // the same, and a fingerprint was read where the entry has none
    changed,
};
// Date, time, size, attributes and extension decide as always. With them
// equal, the fingerprints decide when both facts have one; a fingerprint that
// could not be read, or that the database does not hold yet, changes nothing.
// Contents that kept changing while they were read are a change.
FactsVerdict compareFacts(std::string_view stored, std::string_view seen);
// What the database keeps of the facts seen: without the work file's mark,
// and with the stored fingerprint where none could be read.
FileFacts factsToStore(std::string_view stored, std::string_view seen);

enum class ContentsOutcome {
    read,
    // Its size or write time differed before and after every reading: the
    // digest is that of the last reading.
    unsettled,
    unreadable,
};

// Reads a watched file's contents and hashes them.
class ContentsReader {
  public:
    // A file is read again when it changed while it was read, at most this
    // many times in all.
    static constexpr int kReadings = 3;

    explicit ContentsReader(Platform& platform);

    // Opens the file at `path` (a drive path, may be quoted) for its
    // contents: a regular file only, never through a link. False when it
    // cannot be opened (held by another program, refused, gone).
    [[nodiscard]] bool open(std::string_view path);
    // REQUIRES: open() succeeded. The file as it was opened.
    const FileIdentity& identity() const { return identity_; }
    // REQUIRES: open() succeeded. Reads every byte and hashes it; closes the
    // file. `afterReading` runs after each reading, before the file is looked
    // at again (a test's seam).
    ContentsOutcome digest(Sha256::Digest& digest, const std::function<void()>& afterReading = {});
    // After digest(): whether the file was read again because it changed
    // while it was read (the facts taken before it was opened are then out
    // of date).
    bool readAgain() const { return readAgain_; }

  private:
    Platform& platform_;
    std::unique_ptr<File> file_;
    FileIdentity identity_;
    Sha256 sha_;
    std::vector<unsigned char> buffer_;
    bool readAgain_ = false;
};

}  // namespace velumtar
