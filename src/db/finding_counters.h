// FindingCounters: the four counts a compare or build run shares.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "util/text_field.h"

namespace velumtar {

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
    std::string text(Index i) const { return digits(value[i], 9); }

    // Not findings, told by the log only: fingerprints of file contents
    // recorded for entries that had none, and watched files whose contents
    // could not be read (compared by their facts only).
    std::uint64_t fingerprintsRecorded = 0;
    std::uint64_t unreadableContents = 0;
};

}  // namespace velumtar
