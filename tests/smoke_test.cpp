// smoke_test.cpp: the build links and the star arrays start empty.
#include <gtest/gtest.h>

#include "data/star.h"

TEST(Smoke, StarArrayStartsAtOrigin) {
    EXPECT_EQ(StarArray[0].x, 0.0);
    EXPECT_EQ(StarTag[MaxStars - 1], 0);
}
