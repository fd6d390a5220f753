// velumtar-check: checks the tool's keyed files page by page and tells what a
// repair of a damaged one would recover. It reads only; the tool itself
// repairs a damaged basic database when a compare meets the damage.
//
//   velumtar-check [FILE ...]
//
// Without a file it checks C:\VELUMTAR.DBI and VELULIST.DBI (in the current
// directory). Exit code: 0 every file present is sound, 1 a file is damaged,
// 2 a file could not be read at all.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_names.h"
#include "platform/platform.h"
#include "store/keyed_store_engine.h"

namespace {

using namespace velumtar;

struct Layout {
    std::size_t record;
    std::size_t key;
};

// The record and key lengths of a file, by its name.
bool layoutOf(std::string_view name, Layout& layout) {
    auto endsWith = [&](std::string_view tail) {
        if (name.size() < tail.size()) {
            return false;
        }
        for (std::size_t i = 0; i < tail.size(); ++i) {
            char c = name[name.size() - tail.size() + i];
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
            if (c != tail[i]) {
                return false;
            }
        }
        return true;
    };
    if (endsWith("VELUMTAR.DBI")) {
        layout = {files::kBasicDatabaseRecord, files::kPathKey};
    } else if (endsWith("VELUCMPT.TMP")) {
        layout = {files::kWorkFileRecord, files::kPathKey};
    } else if (endsWith("VELULIST.DBI")) {
        layout = {files::kExtensionDatabaseRecord, files::kExtensionKey};
    } else {
        return false;
    }
    return true;
}

class CountingSink final : public SalvageSink {
  public:
    bool take(const char*) override { return true; }
};

// 0 sound, empty or absent, 1 damaged, 2 unreadable.
int check(Platform& platform, const std::string& name) {
    Layout layout{};
    if (!layoutOf(name, layout)) {
        std::printf("%s: not a keyed file of VELUMTAR\n", name.c_str());
        return 2;
    }
    FileStatus status;
    auto store =
        openKeyedStore(platform, name, layout.record, layout.key, KeyedOpenMode::input, status);
    std::string problem;
    if (status == velumtar::status::fileNotFound) {
        // A file of no length (or one made and never committed to) is there
        // but holds nothing.
        std::printf("%s: %s\n", name.c_str(), platform.fileExists(name) ? "empty" : "not present");
        return 0;
    }
    if (store) {
        if (store->verify(problem).isSuccess()) {
            std::uint64_t records = 0;
            std::string record(layout.record, ' ');
            while (store->readNext(record.data()).isSuccess()) {
                ++records;
            }
            std::printf("%s: sound, %llu records\n", name.c_str(),
                        static_cast<unsigned long long>(records));
            return 0;
        }
        store.reset();
    } else if (status == velumtar::status::damaged) {
        problem = "its meta pages or branch pages are damaged, or it is cut short";
    } else {
        std::printf("%s: cannot be read (status %c%c)\n", name.c_str(), status.code[0],
                    status.code[1]);
        return 2;
    }
    CountingSink sink;
    SalvageReport report;
    if (!salvageKeyedStore(platform, name, layout.record, layout.key, sink, report).isSuccess()) {
        std::printf("%s: damaged (%s), and cannot be read for a repair\n", name.c_str(),
                    problem.c_str());
        return 2;
    }
    std::printf(
        "%s: damaged (%s)\n  pages damaged: %llu\n  records a repair recovers: %llu"
        " (the newest commit names %llu)\n",
        name.c_str(), problem.c_str(), static_cast<unsigned long long>(report.pagesDamaged),
        static_cast<unsigned long long>(report.recordsRecovered),
        static_cast<unsigned long long>(report.recordsNamed));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Platform& platform = systemPlatform();
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        names.emplace_back(argv[i]);
    }
    if (names.empty()) {
        names = {std::string(files::kBasicDatabase), std::string(files::kExtensionDatabase)};
    }
    int worst = 0;
    for (const std::string& name : names) {
        int result = check(platform, name);
        worst = result > worst ? result : worst;
    }
    return worst;
}
