#include "input/CQueueOverflow.h"

#include "input/CTimedQueue.h"
#include "mux/MuxConstants.h"
#include "support/CMuxTestKit.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kMs = kPcrHz / 1000;

// A live queue of 4 packets (at most 16) holding packets that arrived at
// nTime, full.
void FillAt(CTimedQueue& queue, int64_t nTime)
{
    while (CTimedPacket* p = queue.Reserve()) {
        p->nTime = nTime;
        queue.CommitReserved();
        queue.Publish(1);
    }
}

// The queue grows while what it holds is at most the live delay and a second
// old: its delay's worth at whatever rate the input comes, and room for a
// muxer held up.
TEST(CQueueOverflowTest, LiveQueueGrowsWhileItsOldestPacketIsRecent)
{
    const int64_t kKeep = (kLiveDelayMs + 1000) * kMs;
    CTimedQueue queue(4, 16);
    FillAt(queue, 0);
    EXPECT_FALSE(CQueueOverflow::TryGrow(queue, kKeep + 1)) << "a muxer behind gets no more room";
    EXPECT_TRUE(CQueueOverflow::TryGrow(queue, kKeep));
    EXPECT_EQ(queue.GetCapacity(), 8);
    FillAt(queue, 0);
    EXPECT_TRUE(CQueueOverflow::TryGrow(queue, kMs));
    FillAt(queue, 0);
    EXPECT_FALSE(CQueueOverflow::TryGrow(queue, kMs)) << "at its maximum";
    EXPECT_EQ(queue.GetCapacity(), 16);
}

TEST(CQueueOverflowTest, QueueOfPendingPacketsOnlyMayGrow)
{
    CTimedQueue queue(2, 8);
    while (CTimedPacket* p = queue.Reserve()) {
        p->nTime = 0; // a position: not timed yet
        queue.CommitReserved();
    }
    EXPECT_TRUE(CQueueOverflow::TryGrow(queue, 3600 * kPcrHz));
}

// One episode from the first drop until the queue is half empty: a line
// when it starts, naming the input, and one with its count when it ends.
TEST(CQueueOverflowTest, EpisodeIsLoggedAtItsStartAndEndsWhenHalfEmpty)
{
    mtk::CLogCapture log;
    CTimedQueue queue(8);
    FillAt(queue, 0);
    CQueueOverflow overflow;
    for (int i = 0; i < 3; ++i) {
        overflow.NoteDrop(queue, 2);
    }
    EXPECT_EQ(mtk::CLogCapture::Count("2 input 2: its queue is full (8 packets); packets dropped"), 1);
    for (int i = 0; i < 4; ++i) {
        queue.Pop(); // 5 left after the next one queued: still more than half
    }
    FillAt(queue, 0);
    queue.Pop();
    queue.Pop();
    queue.Pop();
    overflow.NoteQueued(queue, 2);
    EXPECT_TRUE(overflow.IsInEpisode());
    queue.Pop();
    overflow.NoteQueued(queue, 2);
    EXPECT_FALSE(overflow.IsInEpisode());
    EXPECT_EQ(mtk::CLogCapture::Count("1 input 2: 3 packets dropped; its queue has room again"), 1);
    overflow.NoteDrop(queue, 2);
    EXPECT_EQ(overflow.GetEpisodeCount(), 2);
    EXPECT_EQ(mtk::CLogCapture::CountStarting("2 input 2: its queue is full"), 2);
}

} // namespace
