#include "mux/CInputWatch.h"

#include <gtest/gtest.h>

namespace {

using EChange = CInputWatch::EChange;

constexpr int64_t kTimeout = 1'000'000; // micros
constexpr int64_t kGrace = 20'000;

class CInputWatchTest : public ::testing::Test
{
protected:
    CInputWatchTest() : m_watch(kTimeout, kGrace)
    {
        m_watch.AddInput(false);
        m_look.bLive = true;
    }
    EChange At(int64_t nMicros) { return m_watch.Look(0, m_look, nMicros); }

    CInputWatch m_watch;
    CInputWatch::CLook m_look;
};

TEST_F(CInputWatchTest, SilentInputIsDownAtItsTimeoutAndBackWithItsNextPacket)
{
    EXPECT_EQ(At(0), EChange::kNone);
    EXPECT_EQ(At(kTimeout - 1), EChange::kNone);
    EXPECT_EQ(At(kTimeout), EChange::kDown);
    EXPECT_EQ(At(3 * kTimeout), EChange::kNone) << "said once";
    m_look.nRead = 1;
    EXPECT_EQ(At(3 * kTimeout + 5), EChange::kBack);
    EXPECT_EQ(m_watch.GetAwayMicros(0), 3 * kTimeout + 5);
    EXPECT_EQ(At(4 * kTimeout), EChange::kNone) << "a full queue is no silence";
}

TEST_F(CInputWatchTest, QueuedOrEndedInputIsNeverDown)
{
    At(0);
    m_look.bQueued = true; // a reader held by a full queue hands nothing over
    EXPECT_EQ(At(10 * kTimeout), EChange::kNone);
    m_look.bQueued = false;
    m_look.bEnded = true;
    EXPECT_EQ(At(20 * kTimeout), EChange::kNone);
}

TEST_F(CInputWatchTest, LostFeedIsDownAtOnce)
{
    At(0);
    m_look.bSourceDown = true;
    EXPECT_EQ(At(1), EChange::kDown);
    EXPECT_EQ(At(2), EChange::kNone);
    m_look.nRead = 7;
    m_look.bSourceDown = false;
    EXPECT_EQ(At(3), EChange::kBack);
}

// An empty pipe holds the output for the grace only; a stall comes back
// without a line, and one that lasts is down like a silent input.
TEST_F(CInputWatchTest, StarvedWaitingReaderStallsAfterTheGrace)
{
    At(0);
    m_look.bStarved = true;
    m_look.bWaiting = true;
    EXPECT_EQ(At(10), EChange::kNone);
    EXPECT_EQ(At(10 + kGrace - 1), EChange::kNone);
    EXPECT_EQ(At(10 + kGrace), EChange::kStalled);
    m_look.nRead = 1;
    EXPECT_EQ(At(50'000), EChange::kNone) << "back from a stall: no line";
    EXPECT_EQ(At(60'000), EChange::kNone) << "the grace starts afresh";
    EXPECT_EQ(At(60'000 + kGrace), EChange::kStalled);
    EXPECT_EQ(At(50'000 + kTimeout), EChange::kDown);
}

TEST_F(CInputWatchTest, FileWhoseReaderIsBehindIsWaitedForHoweverLong)
{
    m_look.bLive = false;
    At(0);
    m_look.bStarved = true; // a file's reader behind (a stopped process): the output waits
    EXPECT_EQ(At(10 * kTimeout), EChange::kNone);
}

TEST(CInputWatchJoinTest, InputNotReadyAtTheStartJoinsWhenReadyAndIsNeverDownBefore)
{
    CInputWatch watch(kTimeout, kGrace);
    watch.AddInput(true);
    CInputWatch::CLook look;
    look.bLive = true;
    look.bReady = false;
    EXPECT_EQ(watch.Look(0, look, 0), EChange::kNone);
    EXPECT_EQ(watch.Look(0, look, 10 * kTimeout), EChange::kNone);
    look.bReady = true;
    look.nRead = 100;
    EXPECT_EQ(watch.Look(0, look, 10 * kTimeout + 1), EChange::kJoined);
    EXPECT_EQ(watch.Look(0, look, 11 * kTimeout + 1), EChange::kDown);
}

} // namespace
