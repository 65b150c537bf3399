#include "mux/CMuxRing.h"

#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

namespace {

using Bytes188 = std::array<unsigned char, kTsPacketSize>;

// A recognisable packet: PID 0x0100, the tag in the first payload bytes.
Bytes188 Tagged(int nTag)
{
    Bytes188 b;
    b.fill(0xAA);
    b[0] = kSyncByte;
    b[1] = 0x01;
    b[2] = 0x00;
    b[3] = 0x10;
    std::memcpy(&b[4], &nTag, sizeof(nTag));
    return b;
}

int TagOf(const _MUX_TS_PKT_T& slot)
{
    int nTag = 0;
    std::memcpy(&nTag, slot.pData + 4, sizeof(nTag));
    return nTag;
}

bool IsNullPacket(const unsigned char* p)
{
    if (p[0] != 0x47 || p[1] != 0x1F || p[2] != 0xFF || p[3] != 0x10) {
        return false;
    }
    for (int i = 4; i < kTsPacketSize; ++i) {
        if (p[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

bool Insert(CMuxRing& ring, int nTag, int nPcrPid = -1, long long llPts = -1, long long llDts = -1)
{
    Bytes188 b = Tagged(nTag);
    _MUX_TS_PKT_T pkt{b.data(), nPcrPid, llPts, llDts};
    return ring.InsertPacket(pkt);
}

// Fills the ring to nCount queued packets with one bulk call per packet.
void FillTo(CMuxRing& ring, int nCount)
{
    Bytes188 b = Tagged(0);
    while (ring.GetQueued() < nCount) {
        ASSERT_TRUE(ring.InsertPackets(b.data(), kTsPacketSize));
    }
}

// The ring is 38.5 MB: one per test, on the heap.
class CMuxRingTest : public ::testing::Test
{
protected:
    std::unique_ptr<CMuxRing> m_pRing = std::make_unique<CMuxRing>();
};

} // namespace

TEST_F(CMuxRingTest, NewRingHoldsOnlyNullPacketsInDistinctSlots)
{
    CMuxRing& ring = *m_pRing;
    ASSERT_EQ(ring.GetSlotCount(), 204806);
    EXPECT_EQ(ring.GetQueued(), 0);
    for (int i = 0; i < ring.GetSlotCount(); ++i) {
        const _MUX_TS_PKT_T& slot = ring.Slot(i);
        ASSERT_TRUE(IsNullPacket(slot.pData)) << "slot " << i;
        ASSERT_EQ(slot.nPcrPid, -1);
        ASSERT_EQ(slot.llPtsDelta, -1);
        ASSERT_EQ(slot.llDtsDelta, -1);
        if (i > 0) {
            ASSERT_EQ(slot.pData, ring.Slot(i - 1).pData + kTsPacketSize);
        }
    }
}

TEST_F(CMuxRingTest, RoomLastsWhileFewerThan204805AreQueued)
{
    CMuxRing& ring = *m_pRing;
    FillTo(ring, 204804);
    EXPECT_TRUE(Insert(ring, 77));
    EXPECT_EQ(ring.GetQueued(), 204805);
    EXPECT_EQ(TagOf(ring.Slot(204804)), 77);

    EXPECT_FALSE(Insert(ring, 78));
    Bytes188 b = Tagged(79);
    EXPECT_FALSE(ring.InsertPackets(b.data(), kTsPacketSize));
    EXPECT_EQ(ring.GetQueued(), 204805);
    EXPECT_TRUE(IsNullPacket(ring.Slot(204805).pData)); // the one slot kept free
    EXPECT_EQ(TagOf(ring.Slot(204804)), 77);
}

TEST_F(CMuxRingTest, InsertPacketsQueuesWhatFitsAndReportsTheRest)
{
    CMuxRing& ring = *m_pRing;
    FillTo(ring, 204802);
    std::array<unsigned char, 5 * kTsPacketSize> five;
    for (int i = 0; i < 5; ++i) {
        Bytes188 b = Tagged(100 + i);
        std::memcpy(&five[i * kTsPacketSize], b.data(), kTsPacketSize);
    }
    EXPECT_FALSE(ring.InsertPackets(five.data(), 940));
    EXPECT_EQ(ring.GetQueued(), 204805);
    EXPECT_EQ(TagOf(ring.Slot(204802)), 100);
    EXPECT_EQ(TagOf(ring.Slot(204803)), 101);
    EXPECT_EQ(TagOf(ring.Slot(204804)), 102);
    EXPECT_TRUE(IsNullPacket(ring.Slot(204805).pData));
}

TEST_F(CMuxRingTest, InsertPacketsQueuesOnlyWholePackets)
{
    CMuxRing& ring = *m_pRing;
    Bytes188 b = Tagged(5);
    std::array<unsigned char, 200> buf{};
    std::memcpy(buf.data(), b.data(), kTsPacketSize);
    EXPECT_TRUE(ring.InsertPackets(buf.data(), static_cast<int>(buf.size())));
    EXPECT_EQ(ring.GetQueued(), 1);
    EXPECT_TRUE(IsNullPacket(ring.Slot(1).pData));
}

TEST_F(CMuxRingTest, InsertAfterRecyclingLandsQueuedSlotsBehindTheHead)
{
    CMuxRing& ring = *m_pRing;
    unsigned char* pStoreStart = ring.Slot(0).pData;
    ASSERT_TRUE(Insert(ring, 1));
    ASSERT_TRUE(Insert(ring, 2));
    for (int k = 0; k < 5; ++k) {
        ring.RecycleHead(); // two queued packets out, then three null slots
    }
    EXPECT_EQ(ring.GetQueued(), 0);
    ASSERT_TRUE(Insert(ring, 3));
    ASSERT_TRUE(Insert(ring, 4));
    EXPECT_EQ(TagOf(ring.Slot(0)), 3);
    EXPECT_EQ(TagOf(ring.Slot(1)), 4);
    EXPECT_EQ(ring.Slot(0).pData, pStoreStart + 5 * kTsPacketSize);
    EXPECT_TRUE(IsNullPacket(pStoreStart)); // not a fixed store position
}

TEST_F(CMuxRingTest, QueueWrapsAroundTheEndOfTheStore)
{
    CMuxRing& ring = *m_pRing;
    unsigned char* pStoreStart = ring.Slot(0).pData;
    for (int k = 0; k < ring.GetSlotCount() - 1; ++k) {
        ring.RecycleHead();
    }
    ASSERT_TRUE(Insert(ring, 10));
    ASSERT_TRUE(Insert(ring, 11));
    EXPECT_EQ(ring.Slot(1).pData, pStoreStart);
    EXPECT_EQ(TagOf(ring.Slot(0)), 10);
    EXPECT_EQ(TagOf(ring.Slot(1)), 11);
    EXPECT_TRUE(IsNullPacket(ring.Slot(2).pData));
}

TEST_F(CMuxRingTest, RecycleHeadReturnsQueuedSlotToNullAndKeepsOrder)
{
    CMuxRing& ring = *m_pRing;
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(Insert(ring, i));
    }
    unsigned char* pFirst = ring.Slot(0).pData;
    ring.RecycleHead();
    EXPECT_EQ(ring.GetQueued(), 2);
    EXPECT_TRUE(IsNullPacket(pFirst));
    EXPECT_EQ(ring.Slot(ring.GetSlotCount() - 1).pData, pFirst); // now at the tail
    EXPECT_EQ(TagOf(ring.Slot(0)), 2);
    EXPECT_EQ(TagOf(ring.Slot(1)), 3);
    EXPECT_TRUE(IsNullPacket(ring.Slot(2).pData));
}

TEST_F(CMuxRingTest, InsertPacketCopiesValuesButInsertPacketsKeepsThem)
{
    CMuxRing& ring = *m_pRing;
    ASSERT_TRUE(Insert(ring, 1, 0x0200, 1234, 5678));
    const _MUX_TS_PKT_T& first = ring.Slot(0);
    EXPECT_EQ(first.nPcrPid, 0x0200);
    EXPECT_EQ(first.llPtsDelta, 1234);
    EXPECT_EQ(first.llDtsDelta, 5678);

    // Recycle it round to the first free place again, then bulk-insert.
    ring.RecycleHead();
    for (int k = 0; k < ring.GetSlotCount() - 1; ++k) {
        ring.RecycleHead();
    }
    Bytes188 b = Tagged(2);
    ASSERT_TRUE(ring.InsertPackets(b.data(), kTsPacketSize));
    const _MUX_TS_PKT_T& again = ring.Slot(0);
    EXPECT_EQ(TagOf(again), 2);
    EXPECT_EQ(again.nPcrPid, 0x0200);
    EXPECT_EQ(again.llPtsDelta, 1234);
    EXPECT_EQ(again.llDtsDelta, 5678);
}
