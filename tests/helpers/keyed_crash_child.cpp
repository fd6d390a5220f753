// The child of the keyed-file crash test: applies the deterministic batches
// of its seed to a keyed file, commits after each, and records the number of
// the last batch whose commit returned. The parent kills it at a random
// moment.
//
//   keyed_crash_child <drive path of the keyed file> <seed> <note file>
//
// The note file is a host path, replaced (write, then rename) after every
// commit. Exit code 0 after 1000 batches, 1 when an operation failed, 2 on
// bad arguments.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "keyed_crash_batches.h"
#include "platform/platform.h"
#include "store/keyed_store_engine.h"

int main(int argc, char** argv) {
    using namespace velumtar;
    if (argc != 4) {
        return 2;
    }
    auto seed = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const std::string note = argv[3];
    FileStatus st;
    auto store = openKeyedStore(systemPlatform(), argv[1], crash::recordLength, crash::keyLength,
                                KeyedOpenMode::update, st, KeyedStoreOptions{64});
    if (!store) {
        return 1;
    }
    for (int batch = 1; batch <= 1000; ++batch) {
        for (const crash::Change& c : crash::batchChanges(seed, batch)) {
            switch (c.kind) {
                case crash::Kind::write:
                    st = store->write(c.record.data());
                    break;
                case crash::Kind::rewrite:
                    st = store->rewrite(c.record.data());
                    break;
                case crash::Kind::erase:
                    st = store->deleteRecord(c.record.data());
                    break;
            }
            if (!st.isSuccess() && !st.isInvalidKey()) {
                return 1;
            }
        }
        if (!store->commit().isSuccess()) {
            return 1;
        }
        {
            std::ofstream out(note + ".part");
            out << batch << '\n';
        }
        std::error_code ignored;
        std::filesystem::rename(note + ".part", note, ignored);
    }
    return store->close().isSuccess() ? 0 : 1;
}
