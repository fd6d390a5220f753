// FileFacts: the 73-character block that describes one watched file, and
// RunStamp: the current date and time as text, tested for plausibility.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "files/record_view.h"
#include "platform/platform.h"

namespace velumtar {

struct FileFacts {
    std::array<char, facts::kWidth> text;

    FileFacts() { text.fill(' '); }
    RecordView view() { return RecordView(text.data()); }
    std::string_view str() const { return std::string_view(text.data(), text.size()); }
    bool operator==(const FileFacts& other) const { return text == other.text; }
};

// Facts of a directory entry of the work file, or of a file whose path is
// longer than 253 characters: zero date, time and size, blanks elsewhere;
// 'L' at the first position for the long path.
FileFacts zeroFacts(bool longPath);

// Fills `out` from the platform's file information of `path` (the first 253
// characters of the file's full path, as recorded), with the attributes that
// information carries, and the user extension it qualified through (four
// blanks for a default extension). False when the file information cannot be
// had.
bool buildFacts(Platform& platform, std::string_view path, std::string_view userExtension,
                FileFacts& out);

// The same from information already read.
FileFacts factsFrom(const FileInformation& info, std::uint8_t attributes,
                    std::string_view userExtension);

// Month lengths for the clock's plausibility test; February always allows 29.
inline constexpr std::array<std::string_view, 12> MonthLengths = {
    "31", "29", "31", "30", "31", "30", "31", "31", "30", "31", "30", "31"};

class RunStamp {
  public:
    explicit RunStamp(Platform& clock);

    // Reads the clock. An implausible date leaves both fields and skips the
    // time; an implausible time leaves the time field.
    void read();

    const std::string& stampDate() const { return date_; }  // YYYY.MM.DD
    const std::string& stampTime() const { return time_; }  // HH:MM-SS:CC
    // Whether the last read met an implausible date or time.
    bool stampInvalid() const { return invalid_; }

    static bool plausibleDate(std::string_view yyyymmdd);
    static bool plausibleTime(std::string_view hhmmsscc);

  private:
    Platform& clock_;
    std::string date_ = "0000.00.00";
    std::string time_ = "00:00-00:00";
    bool invalid_ = false;
};

}  // namespace velumtar
