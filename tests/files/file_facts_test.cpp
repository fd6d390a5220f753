#include "files/file_facts.h"

#include <gtest/gtest.h>

#include "platform/clock_override.h"
#include "support/fake_platform.h"

namespace velumtar {
namespace {

FileInformation info(std::uint64_t size, int y, int mo, int d, int h, int mi, int s) {
    return {.size = size, .year = y, .month = mo, .day = d, .hour = h, .minute = mi, .second = s};
}

TEST(FileFacts, LayoutOfAFileFoundThroughADefaultExtension) {
    FileFacts f = factsFrom(info(0, 2026, 12, 31, 23, 59, 59), attr::archive, "    ");
    EXPECT_EQ(f.str(), std::string(" 20261231235959") + std::string(12, ' ') + "0000000000000000" +
                           std::string(16, ' ') + "A   " + " " + std::string(9, ' '));
    EXPECT_EQ(f.str().size(), 73u);
}

TEST(FileFacts, FullSizeAndEveryAttributeCombination) {
    FileFacts big = factsFrom(info(5'368'709'120ULL, 2020, 1, 2, 3, 4, 5), 0, "    ");
    EXPECT_EQ(big.str().substr(27, 16), "0000005368709120");
    for (unsigned bits = 0; bits < 64; ++bits) {
        FileFacts f =
            factsFrom(info(1, 2020, 1, 1, 0, 0, 0), static_cast<std::uint8_t>(bits), "    ");
        std::string letters(f.str().substr(59, 4));
        EXPECT_EQ(letters[0], bits & attr::archive ? 'A' : ' ');
        EXPECT_EQ(letters[1], bits & attr::readOnly ? 'R' : ' ');
        EXPECT_EQ(letters[2], bits & attr::system ? 'S' : ' ');
        EXPECT_EQ(letters[3], bits & attr::hidden ? 'H' : ' ');
    }
}

TEST(FileFacts, UserExtensionMarkAndZeroVariants) {
    FileFacts wild = factsFrom(info(1, 2020, 1, 1, 0, 0, 0), 0, ".*.*");
    EXPECT_EQ(wild.str().substr(63, 10), "E.*.*     ");
    FileFacts dir = zeroFacts(false);
    EXPECT_EQ(dir.str(), std::string(" 00000000000000") + std::string(12, ' ') +
                             std::string(16, '0') + std::string(30, ' '));
    FileFacts longPath = zeroFacts(true);
    EXPECT_EQ(longPath.str()[0], 'L');
    EXPECT_EQ(longPath.str().substr(1), dir.str().substr(1));
    EXPECT_EQ(digits(12345678901234567ULL, 16), "2345678901234567");
}

TEST(RunStamp, PlausibilityOfTheClock) {
    EXPECT_TRUE(RunStamp::plausibleDate("20230229"));  // February always allows 29
    EXPECT_FALSE(RunStamp::plausibleDate("20230230"));
    EXPECT_FALSE(RunStamp::plausibleDate("20260431"));  // 31 April
    EXPECT_TRUE(RunStamp::plausibleDate("20261231"));
    EXPECT_FALSE(RunStamp::plausibleDate("00001231"));
    EXPECT_FALSE(RunStamp::plausibleDate("20261300"));
    EXPECT_FALSE(RunStamp::plausibleDate("20261200"));
    EXPECT_FALSE(RunStamp::plausibleDate("2026120a"));
    EXPECT_TRUE(RunStamp::plausibleTime("24600000"));  // 24:60 passes
    EXPECT_FALSE(RunStamp::plausibleTime("25000000"));
    EXPECT_FALSE(RunStamp::plausibleTime("12610000"));
}

TEST(RunStamp, ImplausibleReadingsKeepTheLastValues) {
    test::FakePlatform platform;
    platform.env["VELUMTAR_CLOCK"] = "2026120709153012";
    ClockOverride clock(platform);
    RunStamp stamp(clock);
    EXPECT_EQ(stamp.stampDate(), "0000.00.00");
    EXPECT_EQ(stamp.stampTime(), "00:00-00:00");
    stamp.read();
    EXPECT_EQ(stamp.stampDate(), "2026.12.07");
    EXPECT_EQ(stamp.stampTime(), "09:15-30:12");
    EXPECT_FALSE(stamp.stampInvalid());

    platform.env["VELUMTAR_CLOCK"] = "2026043110000000";
    ClockOverride badDate(platform);
    RunStamp second(badDate);
    second.read();
    EXPECT_TRUE(second.stampInvalid());
    EXPECT_EQ(second.stampDate(), "0000.00.00");

    platform.env["VELUMTAR_CLOCK"] = "2026050125000000";
    ClockOverride badTime(platform);
    RunStamp third(badTime);
    third.read();
    EXPECT_TRUE(third.stampInvalid());
    EXPECT_EQ(third.stampDate(), "2026.05.01");  // the date was plausible
    EXPECT_EQ(third.stampTime(), "00:00-00:00");
}

}  // namespace
}  // namespace velumtar
