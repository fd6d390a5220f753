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
        if (user) *user = ext;
        return result;
    }
    void databaseWith(std::initializer_list<std::pair<std::string, std::string>> entries) {
        EXPECT_TRUE(database.open('-'));
        for (const auto& [path, ext] : entries) addEntry(path, ext);
        database.close();
    }
};

TEST(ExtensionList, UserEntriesAreStoredAndMatched) {
    ListFixture f;
    f.writeList(".jpg\r\n.PY\r\n");
    f.prepare();
    EXPECT_EQ(f.extensions.available, '1');
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
        EXPECT_EQ(f.list.extensionFileFlag, '0') << bad;
        EXPECT_EQ(f.extensions.available, '0');
        EXPECT_FALSE(f.platform.has("C:\\TOOLS\\VELULIST.DBI"));
        EXPECT_EQ(f.paths(), (std::vector<std::string>{"FC:\\A.EXE"}));
        EXPECT_FALSE(f.qualifies("B.JPG"));
    }
}

TEST(ExtensionList, ValidationCountersAndBlankLines) {
    ListFixture f;
    f.writeList("\r\n    \r\n\r\n");
    f.prepare();
    EXPECT_EQ(f.list.extensionFileFlag, '1');
    EXPECT_EQ(f.extensions.available, '1');
    EXPECT_TRUE(f.extensionKeys().empty());
    EXPECT_FALSE(f.qualifies("PHOTO.JPG"));
    f.writeList(".a\n.bcdef\nxyz\n");  // LF endings; one line without the full stop
    f.prepare();
    EXPECT_EQ(f.list.counters, (std::array<std::uint64_t, 3>{3, 2, 3}));
    EXPECT_EQ(f.list.extensionFileFlag, '0');
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
    EXPECT_EQ(f.paths(),
              (std::vector<std::string>{"FC:\\A.EXE", "FC:\\C.PY", "FC:\\D.JPG"}));
}

TEST(ExtensionList, RemovedEntryWithoutBasicDatabaseIsDeletedAndTheFileCompacted) {
    ListFixture f;
    f.writeList(".jpg\r\n.py\r\n");
    f.prepare();
    f.writeList(".py\r\n");
    f.prepare();
    EXPECT_EQ(f.list.entriesDeletedFlag, '1');
    EXPECT_EQ(f.extensionKeys(), (std::vector<std::string>{".PY    "}));
    EXPECT_FALSE(f.platform.has("C:\\VELUTMPA.TMP"));
}

TEST(ExtensionList, NoListRemovesAnOldExtensionDatabase) {
    ListFixture f;
    f.writeList(".jpg\r\n");
    f.prepare();
    ASSERT_TRUE(f.platform.has("C:\\TOOLS\\VELULIST.DBI"));
    f.platform.removeFile("C:\\TOOLS\\VELULIST.EXT");
    f.prepare();
    EXPECT_FALSE(f.platform.has("C:\\TOOLS\\VELULIST.DBI"));
    EXPECT_EQ(f.extensions.available, '0');
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

TEST(ExtensionList, DuplicateAndMixedCaseLinesMakeOneEntry) {
    ListFixture f;
    f.writeList(".Jpg\r\n.JPG\r\n.jpg\r\n");
    f.prepare();
    EXPECT_EQ(f.extensionKeys(), (std::vector<std::string>{".JPG   "}));
}

}  // namespace
}  // namespace velumtar
