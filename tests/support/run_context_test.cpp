#include <gtest/gtest.h>
#include "support/messages.h"

TEST(AbortPoll, ReadsTheFlagAfreshEachTime)
{
    volatile LONG flag = 0;
    EXPECT_EQ(0, abort_requested(&flag));
    flag = 1;
    EXPECT_NE(0, abort_requested(&flag));
}
