#include <gtest/gtest.h>
#include "quillon.h"
TEST(Smoke, FlagTable) { EXPECT_EQ(37, MAX_FLAGS); }
