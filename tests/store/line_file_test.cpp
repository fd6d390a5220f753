#include "store/line_file.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace velumtar {
namespace {

using test::FakePlatform;

TEST(LineFile, WritesCrLfLinesWithoutTrailingBlanks) {
    FakePlatform platform;
    LineFile file(platform, "C:\\OUT.TXT", 10);
    ASSERT_TRUE(file.openOutput().isSuccess());
    EXPECT_TRUE(file.write("ab   ").isSuccess());
    EXPECT_TRUE(file.write("          ").isSuccess());     // all blanks: an empty line
    EXPECT_TRUE(file.write("0123456789XYZ").isSuccess());  // cut at the record length
    EXPECT_TRUE(file.close().isSuccess());
    EXPECT_EQ(platform.contentOf("C:\\OUT.TXT"), "ab\r\n\r\n0123456789\r\n");
}

TEST(LineFile, ReadsEveryLineEndingAndPadsRecords) {
    FakePlatform platform;
    platform.putFile("C:\\IN.TXT", "one\r\ntwo\nthree\rfour-is-too-long\r\n\r\nlast");
    LineFile file(platform, "C:\\IN.TXT", 6);
    ASSERT_TRUE(file.openInput().isSuccess());
    std::string record;
    std::vector<std::string> lines;
    while (file.readNext(record).isSuccess())
        lines.push_back(record);
    EXPECT_TRUE(file.lastStatus().isEndOfFile());
    EXPECT_EQ(lines, (std::vector<std::string>{"one   ", "two   ", "three ", "four-i", "      ",
                                               "last  "}));
}

TEST(LineFile, AppendKeepsWhatIsThereAndOpenReportsMissingFiles) {
    FakePlatform platform;
    LineFile file(platform, "C:\\LOG.TXT", 8);
    EXPECT_EQ(file.openInput(), status::fileNotFound);
    EXPECT_FALSE(file.isOpen());
    ASSERT_TRUE(file.openExtend().isSuccess());  // created
    EXPECT_TRUE(file.write("first").isSuccess());
    EXPECT_TRUE(file.close().isSuccess());
    ASSERT_TRUE(file.openExtend().isSuccess());
    EXPECT_TRUE(file.write("second").isSuccess());
    EXPECT_TRUE(file.close().isSuccess());
    EXPECT_EQ(platform.contentOf("C:\\LOG.TXT"), "first\r\nsecond\r\n");
    ASSERT_TRUE(file.openOutput().isSuccess());  // replaces the content
    EXPECT_TRUE(file.close().isSuccess());
    EXPECT_EQ(platform.contentOf("C:\\LOG.TXT"), "");
}

TEST(LineFile, WriteFailureAndWrongModeAreReported) {
    FakePlatform platform;
    platform.failWritesTo = "C:\\FULL.TXT";
    LineFile full(platform, "C:\\FULL.TXT", 8);
    ASSERT_TRUE(full.openOutput().isSuccess());
    EXPECT_EQ(full.write("x"), status::noSpace);
    LineFile reader(platform, "C:\\FULL.TXT", 8);
    ASSERT_TRUE(reader.openInput().isSuccess());
    EXPECT_FALSE(reader.write("x").isSuccess());
    std::string record;
    EXPECT_TRUE(reader.readNext(record).isEndOfFile());
    EXPECT_FALSE(LineFile(platform, "C:\\NONE.TXT", 8).close().isSuccess());
}

TEST(LineFile, ALineTheDeviceTookOnlyPartOfIsTakenBack) {
    FakePlatform platform;
    platform.failWritesTo = "C:\\FULL.TXT";
    *platform.writesBeforeFailure = 1;
    platform.tornFailures = true;
    LineFile full(platform, "C:\\FULL.TXT", 8);
    ASSERT_TRUE(full.openOutput().isSuccess());
    EXPECT_TRUE(full.write("whole").isSuccess());
    EXPECT_EQ(full.write("torn off"), status::noSpace);
    (void)full.close();
    EXPECT_EQ(platform.contentOf("C:\\FULL.TXT"), "whole\r\n");
}

TEST(LineFile, LockedFileOpensWithTheLockedStatus) {
    FakePlatform platform;
    platform.putFile("C:\\HELD.TXT", "");
    platform.heldByOthers.insert("C:\\HELD.TXT");
    LineFile file(platform, "C:\\HELD.TXT", 1);
    EXPECT_TRUE(file.openInput().isLocked());
}

}  // namespace
}  // namespace velumtar
