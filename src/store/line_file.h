// Line-sequential record files: each record is one line of text ending in
// CR LF. A record is written without its trailing blanks (an all-blank record
// as an empty line) and read back padded with blanks to the record length.
// Reading accepts CR LF, bare LF and bare CR endings; characters beyond the
// record length are dropped from the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "store/file_status.h"

namespace velumtar {

class File;
class Platform;

class LineFile {
  public:
    // Whether the file may be reached through a symbolic link. The tool's own
    // files may not; a file the user keeps may, and is then read only when
    // what the link leads to is a regular file.
    enum class Links { refused, followed };

    LineFile(Platform& platform, std::string name, std::size_t recordLength,
             Links links = Links::refused);
    ~LineFile();
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    const std::string& name() const { return name_; }
    std::size_t recordLength() const { return recordLength_; }
    bool isOpen() const { return file_ != nullptr; }
    FileStatus lastStatus() const { return status_; }

    // Open for reading: "00", "35" missing, "9A" held by another process,
    // "37" refused, "30" other failure.
    FileStatus openInput();
    // Open for writing from empty; an existing file is replaced.
    FileStatus openOutput();
    // Open for appending at the end; a missing file is created.
    FileStatus openExtend();
    // Closes the file; closing a closed file is harmless. Data written is
    // flushed to the device before the close returns.
    FileStatus close();

    // Reads the next line into `record` (recordLength() characters, blank
    // padded). "00", "10" at the end of the file, "30" on a read failure.
    FileStatus readNext(std::string& record);
    // Writes one record as a line. "00", "34" disk full, "30" other failure.
    // A line that cannot be written whole is taken back, so the file ends
    // with the last line written in full.
    FileStatus write(std::string_view record);
    // Forces the lines written so far to the device. "00", "30" on failure.
    FileStatus sync();

    // Removes the file (it must be closed); the platform's status.
    bool remove();
    // Moves the closed file onto `target` in one step, replacing the file of
    // that name. "00", "30" on failure (both files then stay as they were).
    FileStatus replace(std::string_view target);

  private:
    enum class Access { input, output, extend };
    FileStatus open(Access access);
    bool fill();

    Platform& platform_;
    std::string name_;
    std::size_t recordLength_;
    Links links_;
    std::unique_ptr<File> file_;
    bool writing_ = false;
    bool wrote_ = false;
    std::uint64_t offset_ = 0;
    std::string buffer_;
    std::size_t bufferPos_ = 0;
    bool atEnd_ = false;
    FileStatus status_;
};

}  // namespace velumtar
