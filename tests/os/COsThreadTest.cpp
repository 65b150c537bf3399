#include "os/CClock.h"
#include "os/COsThread.h"
#include "os/CCriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

unsigned long Increment(void* pArg)
{
    static_cast<std::atomic<int>*>(pArg)->fetch_add(1);
    return 0;
}

} // namespace

TEST(COsThreadTest, RunsEntryWithArgumentAndJoins)
{
    std::atomic<int> nCount{0};
    os::COsThread th;
    ASSERT_TRUE(th.Start(Increment, &nCount));
    th.Join();
    EXPECT_EQ(nCount.load(), 1);
    EXPECT_TRUE(th.HasEnded());
    th.Join(); // a second join is harmless
}

TEST(COsThreadTest, DestructorJoinsAndUnstartedThreadIsHarmless)
{
    std::atomic<int> nCount{0};
    {
        os::COsThread th;
        ASSERT_TRUE(th.Start(Increment, &nCount));
    }
    EXPECT_EQ(nCount.load(), 1);
    os::COsThread idle;
    EXPECT_FALSE(idle.IsStarted());
    idle.Join();
}

TEST(CCriticalSectionTest, IsRecursive)
{
    os::CCriticalSection cs;
    os::CCsGuard outer(cs);
    os::CCsGuard inner(cs); // would deadlock on a plain mutex
    SUCCEED();
}

TEST(CManualClockTest, MovesOnlyWhenToldOrBySleeps)
{
    os::CManualClock clock(5'000'000);
    EXPECT_EQ(clock.Now().nSeconds, 5);
    EXPECT_EQ(clock.Now().nMicroseconds, 0);
    clock.SleepMs(10);
    clock.Advance(1);
    EXPECT_EQ(os::ToMicros(clock.Now()), 5'010'001);
    EXPECT_EQ(clock.SleepCount(), 1u);
}

TEST(CMonotonicClockTest, NeverGoesBackwards)
{
    auto& clock = os::CMonotonicClock::Instance();
    int64_t nPrev = os::ToMicros(clock.Now());
    for (int i = 0; i < 1000; ++i) {
        const int64_t nNow = os::ToMicros(clock.Now());
        ASSERT_GE(nNow, nPrev);
        nPrev = nNow;
    }
}
