#include "ts/PcrMath.h"

#include <gtest/gtest.h>

TEST(PcrMathTest, ForwardDeltaCountsAcrossTheWrap)
{
    EXPECT_EQ(PcrForwardDelta(1000, 1000), 0);
    EXPECT_EQ(PcrForwardDelta(1000, 1600), 600);
    EXPECT_EQ(PcrForwardDelta(kPcrModulo - 600, 599), 1199);
    EXPECT_EQ(PcrForwardDelta(1600, 1000), kPcrModulo - 600); // a step back reads as a near-wrap
    EXPECT_EQ(PcrAdd(kPcrModulo - 1, 2), 1);
    EXPECT_EQ(PcrWrap(-1), kPcrModulo - 1);
}

struct PcrJumpCase
{
    int64_t nLast;
    int64_t nNow;
    bool bJump;
};

class PcrJumpTest : public testing::TestWithParam<PcrJumpCase>
{
};

TEST_P(PcrJumpTest, TellsJumpsFromStepsAndWraps)
{
    const PcrJumpCase& c = GetParam();
    EXPECT_EQ(IsPcrJump(c.nLast, c.nNow), c.bJump) << c.nLast << " -> " << c.nNow;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PcrJumpTest,
    testing::Values(PcrJumpCase{0, 0, false},                        // repeated value
                    PcrJumpCase{0, kPcrHz, false},                   // exactly one second
                    PcrJumpCase{0, kPcrHz + 1, true},                // more than a second
                    PcrJumpCase{1000, 999, true},                    // one tick back
                    PcrJumpCase{kPcrHz * 100, kPcrHz * 5, true},     // back by 95 s
                    PcrJumpCase{kPcrModulo - 600, 599, false},       // wrap of the base
                    PcrJumpCase{kPcrModulo - 100, kPcrHz + 1, true}, // wrap plus a jump
                    PcrJumpCase{-1, 5, false},                       // no previous PCR
                    PcrJumpCase{5, -1, false}));                     // no current PCR
