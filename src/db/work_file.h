// WorkFile: the comparison work file C:\VELUCMPT.TMP, scratch store of one
// compare or build run: the directories still to visit and the facts of
// every qualifying file. Also the four FindingCounters the run shares.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "files/keyed_file.h"
#include "files/record_view.h"

namespace velumtar {

class MessageService;

class WorkFile : public KeyedFile {
  public:
    explicit WorkFile(Platform& platform);
    RecordView view() { return RecordView(record()); }
};

// Removes the work file and opens it anew, empty, for update. A failure is
// reported (DELETE or OPEN) and answers false.
[[nodiscard]] bool prepareWorkFile(WorkFile& workFile, MessageService& messages);

// New, Changed, Deleted and LOCKED, shown as 9 decimal digits. A counter
// stops at 999,999,999 rather than wrap.
struct FindingCounters {
    enum Index { kNew = 0, kChanged = 1, kDeleted = 2, kLocked = 3 };
    static constexpr std::uint64_t kMaximum = 999'999'999;

    std::array<std::uint64_t, 4> value{};

    void add(Index i) {
        if (value[i] < kMaximum)
            ++value[i];
    }
    void zero(Index i) { value[i] = 0; }
    bool allZero() const {
        return value[0] == 0 && value[1] == 0 && value[2] == 0 && value[3] == 0;
    }
    std::string text(Index i) const;
};

}  // namespace velumtar
