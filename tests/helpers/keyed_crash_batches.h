// The deterministic batches of the keyed-file crash test, shared by the child
// that applies them to a file and the parent that replays them on a model.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace velumtar::crash {

inline constexpr std::size_t recordLength = 378;
inline constexpr std::size_t keyLength = 254;

enum class Kind { write, rewrite, erase };

struct Change {
    Kind kind;
    std::string record;  // recordLength bytes; the key leads
};

// The changes of batch `batch` (1, 2, ...) of a child started with `seed`.
inline std::vector<Change> batchChanges(std::uint32_t seed, int batch) {
    std::mt19937 random(seed * 1000003u + static_cast<std::uint32_t>(batch));
    std::vector<Change> changes(1 + random() % 150);
    for (Change& c : changes) {
        unsigned n = random() % 3000;
        // Built by appending: GCC 12 warns falsely about "text" + string at -O3.
        std::string key = "FC:\\CRASH\\DIR";
        key += std::to_string(n / 40);
        key += "\\FILE";
        key += std::to_string(n);
        key += ".EXE";
        key.resize(keyLength, ' ');
        std::string data = "S";
        data += std::to_string(seed);
        data += " B";
        data += std::to_string(batch);
        data.resize(recordLength - keyLength, ' ');
        c.kind = static_cast<Kind>(random() % 3);
        c.record = key + data;
    }
    return changes;
}

// What the batch does to a file whose records are `model` (key to record).
inline void applyToModel(const std::vector<Change>& changes,
                         std::map<std::string, std::string>& model) {
    for (const Change& c : changes) {
        std::string key = c.record.substr(0, keyLength);
        bool present = model.count(key) > 0;
        if (c.kind == Kind::write && !present) {
            model[key] = c.record;
        } else if (c.kind == Kind::rewrite && present) {
            model[key] = c.record;
        } else if (c.kind == Kind::erase && present) {
            model.erase(key);
        }
    }
}

}  // namespace velumtar::crash
