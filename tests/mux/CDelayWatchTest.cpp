#include "mux/CDelayWatch.h"

#include "ts/TsConstants.h"

#include <gtest/gtest.h>

namespace {

// 1,000 slots a second: a slot is a millisecond.
const COutputTime kTime(1000 * kTsPacketSize * 8);
constexpr int64_t kGuard = 100;
constexpr int64_t kMs = kPcrHz / 1000;

} // namespace

TEST(CDelayWatchTest, LateOnlyPastTheMarginLessTheGuardOrHalfOfATightOnePerProgram)
{
    CDelayWatch watch(kGuard, kTime);
    // Before any margin is known the guard itself is the limit.
    EXPECT_FALSE(watch.OnPacket(0, -1, kGuard));
    EXPECT_TRUE(watch.OnPacket(0, -1, kGuard + 1));
    // 465 ms of margin: 365 ms may pass, not one more.
    EXPECT_FALSE(watch.OnPacket(0, 465 * kMs, 365));
    EXPECT_TRUE(watch.OnPacket(0, 465 * kMs, 366));
    // The margin is the smallest so far; a larger one does not raise it.
    EXPECT_FALSE(watch.OnPacket(0, 900 * kMs, 300));
    EXPECT_TRUE(watch.OnPacket(0, 900 * kMs, 366));
    // A margin under twice the guard keeps half of itself.
    EXPECT_FALSE(watch.OnPacket(0, 150 * kMs, 75));
    EXPECT_TRUE(watch.OnPacket(0, -1, 76));
    // A time stamp already behind the clock changes nothing.
    EXPECT_FALSE(watch.OnPacket(0, -20 * kMs, 75));
    const CDelayWatch::CProgram* pProgram = watch.Find(0);
    ASSERT_NE(pProgram, nullptr);
    EXPECT_EQ(pProgram->nMargin, 150 * kMs);
    EXPECT_EQ(pProgram->nLate, 4);
    EXPECT_EQ(pProgram->nMaxDelaySlots, 366);
    // Programs apart; a packet of none is allowed the guard.
    EXPECT_FALSE(watch.OnPacket(3, 1000 * kMs, 800));
    EXPECT_EQ(watch.GetLimitSlots(3), 900);
    EXPECT_TRUE(watch.OnPacket(-1, -1, kGuard + 1));
    EXPECT_EQ(watch.Find(2)->nLate, 0) << "never sent: nothing";
    EXPECT_EQ(watch.Find(7), nullptr);
}
