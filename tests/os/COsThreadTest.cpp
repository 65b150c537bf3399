#include "os/CClock.h"
#include "os/COsThread.h"
#include "os/CCriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

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

// The owner may enter again (a plain mutex would hang: the guard turns that
// into a failure); another thread gets in only after the last Leave.
TEST(CCriticalSectionTest, NestedEntriesHoldItUntilTheLastLeave)
{
    os::CCriticalSection cs;
    std::atomic<bool> bOtherIn{false};
    auto done = std::async(std::launch::async, [&] {
        cs.Enter();
        cs.Enter();
        std::thread other([&] {
            os::CCsGuard guard(cs);
            bOtherIn = true;
        });
        cs.Leave();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const bool bInEarly = bOtherIn;
        cs.Leave();
        other.join();
        return bInEarly;
    });
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "entering twice hung";
        std::_Exit(1); // the hung thread still uses cs
    }
    EXPECT_FALSE(done.get()) << "another thread got in after the first of two Leaves";
    EXPECT_TRUE(bOtherIn);
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
