#include "input/CTimedQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Writes one entry numbered by its time and publishes it; false when full.
bool Push(CTimedQueue& queue, int64_t nTime)
{
    CTimedPacket* p = queue.Reserve();
    if (p == nullptr) {
        return false;
    }
    p->nTime = nTime;
    p->vData[0] = uint8_t(nTime);
    queue.CommitReserved();
    queue.Publish(1);
    return true;
}

TEST(CTimedQueueTest, GrowsUpToItsMaximumAndNeverShrinks)
{
    CTimedQueue queue(4, 10);
    int64_t n = 0;
    while (Push(queue, n)) {
        ++n;
    }
    EXPECT_EQ(n, 4);
    EXPECT_TRUE(queue.Grow(8));
    EXPECT_TRUE(Push(queue, n++));
    EXPECT_FALSE(queue.Grow(6)) << "a limit is never lowered";
    EXPECT_TRUE(queue.Grow(1000));
    EXPECT_EQ(queue.GetCapacity(), 10);
    EXPECT_FALSE(queue.Grow(11));
    while (Push(queue, n)) {
        ++n;
    }
    EXPECT_EQ(n, 10);
    for (int64_t k = 0; k < n; ++k) {
        const CTimedPacket* p = queue.Head();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->nTime, k);
        queue.Pop();
    }
    EXPECT_EQ(queue.Head(), nullptr);
}

// Entries cross many blocks in order, and the blocks read past are reused:
// memory follows what waits, not how much went through.
TEST(CTimedQueueTest, KeepsOrderAcrossBlocksAndReusesThem)
{
    const int nHeld = CTimedQueue::kBlockPackets + 44;
    CTimedQueue queue(nHeld, 1 << 16);
    int64_t nIn = 0;
    int64_t nOut = 0;
    for (int nRound = 0; nRound < 40; ++nRound) {
        while (Push(queue, nIn)) {
            ++nIn;
        }
        ASSERT_EQ(nIn - nOut, nHeld);
        for (int k = 0; k < 200; ++k) {
            const CTimedPacket* p = queue.Head();
            ASSERT_NE(p, nullptr);
            ASSERT_EQ(p->nTime, nOut);
            ASSERT_EQ(p->vData[0], uint8_t(nOut));
            queue.Pop();
            ++nOut;
        }
    }
    EXPECT_GT(nIn, 30 * CTimedQueue::kBlockPackets);
    EXPECT_LE(queue.GetBlockCount(), nHeld / CTimedQueue::kBlockPackets + 2);
}

TEST(CTimedQueueTest, OldestTimeIsThatOfTheHeadOncePublished)
{
    CTimedQueue queue(8);
    int64_t nTime = -1;
    EXPECT_FALSE(queue.GetOldestTime(nTime));
    CTimedPacket* p = queue.Reserve();
    p->nTime = 7;
    queue.CommitReserved();
    EXPECT_FALSE(queue.GetOldestTime(nTime)) << "pending entries have no time yet";
    queue.Publish(1);
    ASSERT_TRUE(Push(queue, 9));
    ASSERT_TRUE(queue.GetOldestTime(nTime));
    EXPECT_EQ(nTime, 7);
    queue.Pop();
    ASSERT_TRUE(queue.GetOldestTime(nTime));
    EXPECT_EQ(nTime, 9);
    EXPECT_EQ(queue.GetFill(), 1);
}

// A reader and a muxer on their own threads, the limit raised on the way:
// every entry arrives once, in order (the thread sanitizer watches the
// hand-over of blocks).
TEST(CTimedQueueTest, ProducerAndConsumerThreadsHandOverEveryEntryInOrder)
{
    constexpr int64_t kCount = 200'000;
    CTimedQueue queue(64, 4096);
    std::atomic<bool> bOrdered{true};
    std::thread consumer([&] {
        for (int64_t n = 0; n < kCount;) {
            const CTimedPacket* p = queue.Head();
            if (p == nullptr) {
                queue.WaitForData(1000);
                continue;
            }
            if (p->nTime != n || p->vData[0] != uint8_t(n)) {
                bOrdered = false;
            }
            queue.Pop();
            ++n;
        }
    });
    for (int64_t n = 0; n < kCount; ++n) {
        if (n == kCount / 2) {
            queue.Grow(4096);
        }
        while (!Push(queue, n)) {
            queue.WaitForRoom();
        }
    }
    queue.PublishEnd();
    consumer.join();
    EXPECT_TRUE(bOrdered);
    EXPECT_TRUE(queue.IsDrained());
}

} // namespace
