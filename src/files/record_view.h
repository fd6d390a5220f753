// Typed views over fixed-width text records. Every layout names its fields
// once, as offset and width, and the code reads and writes fields through
// those names only.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "util/text_field.h"

namespace velumtar {

struct Field {
    std::size_t offset;
    std::size_t width;
    constexpr std::size_t end() const { return offset + width; }
};

// A view over one record's characters; it does not own them.
class RecordView {
  public:
    explicit RecordView(char* data) : data_(data) {}

    char* data() const { return data_; }
    std::string_view get(Field f) const { return std::string_view(data_ + f.offset, f.width); }
    // Writes `text` into the field, cut (never inside a character) or
    // blank-padded to its width.
    void set(Field f, std::string_view text) const {
        std::size_t n = fittingLength(text, f.width);
        std::memcpy(data_ + f.offset, text.data(), n);
        std::memset(data_ + f.offset + n, ' ', f.width - n);
    }
    char& at(Field f) const { return data_[f.offset]; }
    void blank(Field f) const { std::memset(data_ + f.offset, ' ', f.width); }

  private:
    char* data_;
};

// Fields of FileFacts, the 73-character facts of one file, relative to the
// start of the block.
namespace facts {
inline constexpr std::size_t kWidth = 73;
inline constexpr Field longPathMark{0, 1};  // 'L': path longer than 253 characters
inline constexpr Field date{1, 8};          // last-write date YYYYMMDD
inline constexpr Field year{1, 4};
inline constexpr Field month{5, 2};
inline constexpr Field day{7, 2};
inline constexpr Field time{9, 6};  // last-write time hhmmss
inline constexpr Field hour{9, 2};
inline constexpr Field minute{11, 2};
inline constexpr Field second{13, 2};
// The fingerprint of the file's contents, where the database keeps them: the
// first 168 bits of their SHA-256 in base64, 28 characters in the two spaces
// the facts leave (blanks when none was read).
inline constexpr Field fingerprintHead{15, 12};
inline constexpr Field fingerprintTail{43, 16};
inline constexpr std::size_t kFingerprintWidth = fingerprintHead.width + fingerprintTail.width;
inline constexpr Field size{27, 16};          // size in bytes, 16 digits
inline constexpr Field attributes{59, 4};     // the four letters below
inline constexpr Field archive{59, 1};        // 'A'
inline constexpr Field readOnly{60, 1};       // 'R'
inline constexpr Field system{61, 1};         // 'S'
inline constexpr Field hidden{62, 1};         // 'H'
inline constexpr Field extensionMark{63, 1};  // 'E': qualified through the user's list
inline constexpr Field userExtension{64, 4};  // the list entry it qualified through
inline constexpr Field lockedMark{72, 1};     // 'G': directory skipped (work file only)
// 'U': a file whose contents kept changing while they were read (work file
// only; never stored in the database).
inline constexpr Field contentsUnsettled{72, 1};
}  // namespace facts

// DatabaseRecord: an entry of the basic database C:\VELUMTAR.DBI (378).
namespace dbrec {
inline constexpr std::size_t kWidth = 378;
inline constexpr std::size_t kKeyWidth = 254;
inline constexpr Field key{0, 254};
// 'F' file entry, '0' run-state record, '1' compaction record: present only
// while the file is being rebuilt from its copy C:\VELUTMPA.TMP.
inline constexpr Field recordType{0, 1};
inline constexpr Field path{1, 253};
inline constexpr Field runState{254, 1};  // run-state record only
inline constexpr Field createdDate{255, 10};
inline constexpr Field createdTime{265, 5};
inline constexpr Field storedDate{270, 10};
inline constexpr Field storedTime{280, 5};
inline constexpr Field newFlag{297, 1};      // 'N'
inline constexpr Field changedFlag{298, 1};  // 'A'
inline constexpr Field deletedFlag{299, 1};  // 'L'
inline constexpr Field flags{297, 3};
inline constexpr Field facts{305, 73};
// Fingerprint record ('2', sorting before every file entry): present when
// the database keeps fingerprints of file contents, and how they are made.
inline constexpr char kFingerprintRecord = '2';
inline constexpr Field fingerprintKind{254, 6};  // "SHA256"
// The facts' extension mark and list entry, as record offsets.
inline constexpr Field extensionMark{305 + facts::extensionMark.offset, 1};
inline constexpr Field userExtension{305 + facts::userExtension.offset, 4};
}  // namespace dbrec

// WorkRecord: an entry of the comparison work file C:\VELUCMPT.TMP (327).
namespace workrec {
inline constexpr std::size_t kWidth = 327;
inline constexpr std::size_t kKeyWidth = 254;
inline constexpr Field key{0, 254};
inline constexpr Field recordType{0, 1};  // 'A' directory entry, 'F' file entry
inline constexpr Field path{1, 253};
inline constexpr Field facts{254, 73};
inline constexpr Field lockedMark{254 + facts::lockedMark.offset, 1};
// Twin entry ('T'): a listed file or directory that is not watched because
// another entry of its directory has the same upper-case name. Its path is
// spelt as on disk; its facts are zero but for the long-path mark and:
inline constexpr Field twinKind{254 + 68, 1};  // 'F' a file, 'A' a directory
// Directory entries: 'S' when the directory's name has other spellings, so
// that the walk enters it by the spelling it watches.
inline constexpr Field otherSpellings{254 + 68, 1};
// Link entry ('H'): the fingerprint of a file with more than one name, read
// once per run. Its path is the file's identity (volume and index, 16
// hexadecimal digits each); its facts are those of the name it was read
// through, with the fingerprint and the unsettled mark.
}  // namespace workrec

// ExtensionEntry: an entry of the extension database VELULIST.DBI (7).
namespace extrec {
inline constexpr std::size_t kWidth = 7;
inline constexpr std::size_t kKeyWidth = 4;
inline constexpr Field key{0, 4};
inline constexpr Field addedMark{4, 1};
inline constexpr Field removedMark{5, 1};
inline constexpr Field seenMark{6, 1};
inline constexpr Field marks{4, 3};
}  // namespace extrec

}  // namespace velumtar
