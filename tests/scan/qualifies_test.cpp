#include <gtest/gtest.h>

#include "db/basic_database.h"
#include "db/extension_database.h"
#include "files/file_facts.h"
#include "scan/extension_list.h"
#include "support/fake_platform.h"
#include "ui/message_service.h"
#include "ui/unattended.h"

namespace velumtar {
namespace {

struct Lists {
    test::FakePlatform platform;
    Unattended unattended{platform};
    MessageService messages{platform, unattended, "VELUMTAR"};
    RunStamp stamp{platform};
    ExtensionDatabase extensions{platform};
    BasicDatabase database{platform, messages, stamp};
    ExtensionList list{platform, messages, extensions, database};

    bool qualifies(const std::string& name, std::string* user = nullptr) {
        std::string ext;
        bool result = list.qualifies(name, ext);
        if (user) *user = ext;
        return result;
    }
};

TEST(Qualifies, BuiltInExtensionsMatchOnlyAtTheEndOfANameOrBeforeABlank) {
    Lists l;
    std::string user;
    EXPECT_TRUE(l.qualifies("SETUP.EXE", &user));
    EXPECT_EQ(user, "    ");
    EXPECT_TRUE(l.qualifies("A.DLL"));
    EXPECT_TRUE(l.qualifies("MACRO.VB"));  // two-letter extension, blank-padded entry
    EXPECT_TRUE(l.qualifies("OLD.EXE COPY"));
    EXPECT_FALSE(l.qualifies("SETUP.EXE.BAK"));
    EXPECT_FALSE(l.qualifies("README.TXT"));
    EXPECT_FALSE(l.qualifies("EXE"));
    EXPECT_FALSE(l.qualifies("X.EXEC"));
}

TEST(Qualifies, NameOfFullWidthEndingInAnExtensionDoesNotQualify) {
    Lists l;
    // 255 characters: no room is left for the blank after the extension.
    EXPECT_FALSE(l.qualifies(std::string(251, 'A') + ".EXE"));
    EXPECT_TRUE(l.qualifies(std::string(250, 'A') + ".EXE"));
}

TEST(Qualifies, ExcludedNamesAreNeverWatched) {
    Lists l;
    EXPECT_FALSE(l.qualifies("PAGEFILE.SYS"));
    EXPECT_TRUE(l.qualifies("PAGEFILE2.SYS"));
    EXPECT_FALSE(l.qualifies("OLD PAGEFILE.SYS"));
    // The excluded entries carry their trailing blanks: they match at the end
    // of a name only.
    EXPECT_TRUE(l.qualifies("NTLDR.EXE"));
}

}  // namespace
}  // namespace velumtar
