#include "platform/clock_override.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace velumtar {
namespace {

TEST(ClockOverride, TakenVerbatimWhenSetElseThePlatformsClock) {
    test::FakePlatform platform;
    ClockOverride plain(platform);
    EXPECT_EQ(plain.localDateTime().date, "20261207");
    platform.env["VELUMTAR_CLOCK"] = "20250231xx000000";
    ClockOverride fixed(platform);
    EXPECT_EQ(fixed.localDateTime().date, "20250231");
    EXPECT_EQ(fixed.localDateTime().time, "xx000000");
}

}  // namespace
}  // namespace velumtar
