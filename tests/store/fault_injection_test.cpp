#include "store/fault_injection.h"

#include <gtest/gtest.h>

#ifdef VELUMTAR_FAULT_INJECTION

#include "support/fake_platform.h"

namespace velumtar {
namespace {

TEST(FaultInjection, ListSyntax) {
    std::vector<FaultItem> items;
    ASSERT_TRUE(parseFaultList("write:C:\\VELUMTAR.DBI:3, open:\"VELULIST.DBI\":1,", items));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].kind, FaultKind::write);
    EXPECT_EQ(items[0].file, "C:\\VELUMTAR.DBI");
    EXPECT_EQ(items[0].which, 3u);
    EXPECT_EQ(items[1].file, "VELULIST.DBI");
    for (const char* bad :
         {"write:C:\\X:0", "move:C:\\X:1", "write:C:\\X:", "write:1", "open:C:\\X:1x"}) {
        EXPECT_FALSE(parseFaultList(bad, items)) << bad;
        EXPECT_TRUE(items.empty());
    }
}

TEST(FaultInjection, NamesMatchShortAndQuotedFullForms) {
    EXPECT_TRUE(faultNameMatches("VELULIST.DBI", "VELULIST.DBI"));
    EXPECT_TRUE(faultNameMatches("velulist.dbi", "\"C:\\TOOLS\\VELULIST.DBI\""));
    EXPECT_TRUE(faultNameMatches("C:\\TOOLS\\VELULIST.DBI", "\"C:\\TOOLS\\VELULIST.DBI\""));
    EXPECT_FALSE(faultNameMatches("C:\\OTHER\\VELULIST.DBI", "\"C:\\TOOLS\\VELULIST.DBI\""));
    EXPECT_FALSE(faultNameMatches("VELULIST.DB", "VELULIST.DBI"));
}

TEST(FaultInjection, OnlyTheNthOperationOfItsKindFails) {
    resetFaultInjection();
    test::FakePlatform platform;
    platform.env["VELUMTAR_FAULTS"] = "write:C:\\A.TXT:2";
    std::vector<bool> seen;
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(injectedFault(platform, FaultKind::open, "C:\\A.TXT"));
        EXPECT_FALSE(injectedFault(platform, FaultKind::write, "C:\\B.TXT"));
        seen.push_back(injectedFault(platform, FaultKind::write, "C:\\A.TXT"));
    }
    EXPECT_EQ(seen, (std::vector<bool>{false, true, false, false}));
    resetFaultInjection();
}

}  // namespace
}  // namespace velumtar

#endif
