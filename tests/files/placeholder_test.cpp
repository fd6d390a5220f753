#include <gtest/gtest.h>

#include "files/file_status.h"

TEST(FileStatus, Classes) {
    EXPECT_TRUE(velumtar::status::created.isOpenSuccess());
    EXPECT_TRUE(velumtar::status::locked.isLocked());
}
