#include "scan/extension_list.h"

#include <gtest/gtest.h>

#include "support/scan_fixture.h"

namespace velumtar {
namespace {

using test::ScanFixture;

const std::string kStart = "C:\\TOOLS\\*";

struct ListFixture : ScanFixture {
    void writeList(const std::string& text) { platform.putFile("C:\\TOOLS\\VELULIST.EXT", text); }
    void prepare() { list.prepareExtensions(kStart); }
    bool qualifies(const std::string& name, std::string* user = nullptr) {
        list.openForWalk();
        std::string ext;
        bool result = list.qualifies(name, ext);
        list.closeAfterWalk();
        if (user)
            *user = ext;
        return result;
    }
    void databaseWith(std::initializer_list<std::pair<std::string, std::string>> entries) {
        EXPECT_TRUE(database.open(KeyedOpenMode::update));
        for (const auto& [path, ext] : entries)
            addEntry(path, ext);
        database.close();
    }
};

TEST(ExtensionList, UserEntriesAreStoredAndMatched) {
    ListFixture f;
    f.writeList(".jpg\r\n.PY\r\n");
    f.prepare();
    EXPECT_TRUE(f.extensions.available());
    EXPECT_EQ(f.extensions.name(), "\"C:\\TOOLS\\VELULIST.DBI\"");
    EXPECT_EQ(f.extensionKeys(), (std::vector<std::string>{".JPG   ", ".PY    "}));
    std::string user;
    EXPECT_TRUE(f.qualifies("PHOTO.JPG", &user));
    EXPECT_EQ(user, ".JPG");
    EXPECT_TRUE(f.qualifies("A.PY", &user));
    EXPECT_EQ(user, ".PY ");
    EXPECT_FALSE(f.qualifies("SCRIPT.PYC"));
    EXPECT_TRUE(f.qualifies("TOOL.EXE", &user));
    EXPECT_EQ(user, "    ");  // a built-in extension wins
}

TEST(ExtensionList, InvalidListIsIgnoredWholeAndPurgesUserEntries) {
    for (const char* bad : {".jpg\r\nJPG\r\n", ".jpg\r\n.\r\n"}) {
        ListFixture f;
        f.writeList(".jpg\r\n");
        f.databaseWith({{"C:\\A.EXE", "    "}});
        f.prepare();
        f.databaseWith({{"C:\\B.JPG", ".JPG"}});
        f.writeList(bad);
        f.prepare();
        EXPECT_FALSE(f.list.listValid()) << bad;
        EXPECT_FALSE(f.extensions.available());
        EXPECT_FALSE(f.platform.has("C:\\TOOLS\\VELULIST.DBI"));
        EXPECT_EQ(f.paths(), (std::vector<std::string>{"FC:\\A.EXE"}));
        EXPECT_FALSE(f.qualifies("B.JPG"));
    }
}

TEST(ExtensionList, ValidationCountersAndBlankLines) {
    ListFixture f;
    f.writeList("\r\n    \r\n\r\n");
    f.prepare();
    EXPECT_TRUE(f.list.listValid());
    EXPECT_TRUE(f.extensions.available());
    EXPECT_TRUE(f.extensionKeys().empty());
    EXPECT_FALSE(f.qualifies("PHOTO.JPG"));
    f.writeList(".a\n.bcdef\nxyz\n");  // LF endings; one line without the full stop
    f.prepare();
    EXPECT_EQ(f.list.validationCounters(), (std::array<std::uint64_t, 3>{3, 2, 3}));
    EXPECT_FALSE(f.list.listValid());
}

TEST(ExtensionList, RemovedEntryWithBasicDatabaseIsPurgedWithItsFiles) {
    ListFixture f;
    f.writeList(".jpg\r\n.py\r\n");
    f.databaseWith({{"C:\\A.EXE", "    "}});
    f.prepare();
    f.databaseWith({{"C:\\B.JPG", ".JPG"}, {"C:\\C.PY", ".PY "}, {"C:\\D.JPG", "    "}});
    f.writeList(".py\r\n");
    f.prepare();
    EXPECT_EQ(f.extensionKeys(), (std::vector<std::string>{".PY    "}));
    EXPECT_EQ(f.paths(), (std::vector<std::string>{"FC:\\A.EXE", "FC:\\C.PY", "FC:\\D.JPG"}));
}

TEST(ExtensionList, RemovedEntryWithoutBasicDatabaseIsDeletedAndTheFileCompacted) {
    ListFixture f;
    f.writeList(".jpg\r\n.py\r\n");
    f.prepare();
    f.writeList(".py\r\n");
    f.prepare();
    EXPECT_TRUE(f.list.entriesDeleted());
    EXPECT_EQ(f.extensionKeys(), (std::vector<std::string>{".PY    "}));
    EXPECT_FALSE(f.platform.has("C:\\VELUTMPA.TMP"));
}

TEST(ExtensionList, NoListRemovesAnOldExtensionDatabase) {
    ListFixture f;
    f.writeList(".jpg\r\n");
    f.prepare();
    ASSERT_TRUE(f.platform.has("C:\\TOOLS\\VELULIST.DBI"));
    ASSERT_EQ(f.platform.removeFile("C:\\TOOLS\\VELULIST.EXT"), PlatformStatus::ok);
    f.prepare();
    EXPECT_FALSE(f.platform.has("C:\\TOOLS\\VELULIST.DBI"));
    EXPECT_FALSE(f.extensions.available());
}

TEST(ExtensionList, WildcardMakesEveryOtherNameQualifyButExclusionsStay) {
    ListFixture f;
    f.writeList(".*.*\r\n.jpg\r\n");
    f.prepare();
    std::string user;
    EXPECT_TRUE(f.qualifies("README", &user));
    EXPECT_EQ(user, ".*.*");
    EXPECT_TRUE(f.qualifies("PIC.JPG", &user));
    EXPECT_EQ(user, ".JPG");
    EXPECT_TRUE(f.qualifies("TOOL.EXE", &user));
    EXPECT_EQ(user, "    ");
    EXPECT_FALSE(f.qualifies("X.MUI"));
    EXPECT_FALSE(f.qualifies("PAGEFILE.SYS"));
}

// The test as it reads: each watched value (a dot, three characters, a blank)
// is looked for anywhere in the blank-padded 255-character name, the user's
// entries in key order, the wildcard last, the excluded names after a match.
bool qualifiesByDefinition(const std::string& name, const std::vector<std::string>& userKeys,
                           std::string& userExtension) {
    std::string field = name.substr(0, kNameWidth);
    field.resize(kNameWidth, ' ');
    userExtension = "    ";
    bool result = false;
    for (std::string_view ext : DefaultExtensions)
        result = result || field.find("." + std::string(ext) + " ") != std::string::npos;
    bool wildcard = false;
    for (const std::string& key : userKeys) {
        if (result)
            break;
        if (key == ".*.*") {
            wildcard = true;
        } else if (field.find(key + " ") != std::string::npos) {
            result = true;
            userExtension = key;
        }
    }
    if (!result && wildcard) {
        result = true;
        userExtension = ".*.*";
    }
    for (std::string_view excluded : ExcludedFileNames)
        result = result && field.find(excluded) == std::string::npos;
    return result;
}

TEST(ExtensionList, AgreesWithTheDefinitionOnManyNames) {
    const std::vector<std::vector<std::string>> lists = {
        {}, {".JPG", ".PY ", ".X Y"}, {".*.*", ".EX ", ".JPG", ".XE "}};
    const std::string_view pieces[] = {
        ".", ".",  " ", "E",     "X",     "XE",   "EXE",  "VB",       "JPG",  "PY",    "*.*", "MUI",
        "A", "  ", "Y", ".PY  ", ".JPG ", ".XE ", ".X Y", "PAGEFILE", ".SYS", ".EXE ", ".EX "};
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    for (const auto& keys : lists) {
        ListFixture f;
        std::string text;
        for (const std::string& key : keys)
            text += key + "\r\n";
        f.writeList(text);
        f.prepare();
        f.list.openForWalk();
        for (int round = 0; round < 4000; ++round) {
            std::string name;
            for (std::size_t n = next() % 9; n > 0; --n)
                name += pieces[next() % std::size(pieces)];
            if (round % 50 == 0)
                name = std::string(250 + next() % 10, 'A') + name;  // around the width
            std::string got, expected;
            const bool result = f.list.qualifies(name, got);
            ASSERT_EQ(result, qualifiesByDefinition(name, keys, expected)) << '"' << name << '"';
            if (result) {
                EXPECT_EQ(got, expected) << '"' << name << '"';
            }
        }
        f.list.closeAfterWalk();
    }
}

TEST(ExtensionList, DuplicateAndMixedCaseLinesMakeOneEntry) {
    ListFixture f;
    f.writeList(".Jpg\r\n.JPG\r\n.jpg\r\n");
    f.prepare();
    EXPECT_EQ(f.extensionKeys(), (std::vector<std::string>{".JPG   "}));
}

}  // namespace
}  // namespace velumtar
