// The scan and database components wired to an in-memory platform.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/basic_database.h"
#include "db/extension_database.h"
#include "db/finding_counters.h"
#include "db/work_file.h"
#include "files/file_facts.h"
#include "scan/extension_list.h"
#include "support/fake_platform.h"
#include "ui/message_service.h"
#include "ui/unattended.h"

namespace velumtar::test {

struct ScanFixture {
    FakePlatform platform;
    Unattended unattended{platform};
    MessageService messages{platform, unattended, "VELUMTAR"};
    RunStamp stamp{platform};
    ExtensionDatabase extensions{platform};
    BasicDatabase database{platform, messages, stamp};
    WorkFile workFile{platform};
    ExtensionList list{platform, messages, extensions, database};

    ScanFixture() {
        platform.directories.insert("C:\\TOOLS");
        setClock("20261207", "10300000");
    }
    void setClock(const std::string& date, const std::string& time) {
        platform.clock = LocalDateTime{date, time};
    }
    // Facts of a file last written on 2 January 2025, with these attributes
    // and user extension.
    static FileFacts sampleFacts(std::uint8_t attributes, const std::string& userExtension) {
        return factsFrom({.year = 2025, .month = 1, .day = 2}, attributes, userExtension);
    }
    // A file entry of the basic database with the given path and facts marks.
    void addEntry(const std::string& path, const std::string& userExtension = "    ") {
        database.clearRecord();
        RecordView v = database.view();
        v.at(dbrec::recordType) = 'F';
        v.set(dbrec::path, path);
        v.set(dbrec::facts, sampleFacts(attr::archive, userExtension).str());
        EXPECT_TRUE(database.store());
    }
    // Every record of a keyed file read through `reader`, in key order.
    template <typename Reader>
    static std::vector<std::string> allRecords(Reader& reader) {
        std::vector<std::string> out;
        if (!reader.open(KeyedOpenMode::input))
            return out;
        while (reader.readNext())
            out.emplace_back(reader.record(), reader.recordLength());
        reader.close();
        return out;
    }
    // Every record of the basic database in key order.
    std::vector<std::string> records() {
        BasicDatabase reader(platform, messages, stamp);
        return allRecords(reader);
    }
    std::vector<std::string> paths() {
        std::vector<std::string> out;
        for (const std::string& r : records()) {
            std::string p = r.substr(0, 254);
            while (!p.empty() && p.back() == ' ')
                p.pop_back();
            out.push_back(p);
        }
        return out;
    }
    std::vector<std::string> extensionKeys() {
        ExtensionDatabase reader(platform);
        return allRecords(reader);
    }
    std::vector<std::string> boxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : platform.boxes)
            out.push_back(b.text);
        return out;
    }
};

}  // namespace velumtar::test
