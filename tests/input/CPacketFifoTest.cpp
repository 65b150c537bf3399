#include "input/CPacketFifo.h"

#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr int kSlots = 10'000;
constexpr int kCapacity = kSlots * kTsPacketSize; // what the input module uses

using Packet = std::array<unsigned char, kTsPacketSize>;

Packet Numbered(uint32_t nNumber)
{
    Packet packet{};
    packet.fill(0xFF);
    packet[0] = kSyncByte;
    memcpy(&packet[4], &nNumber, sizeof(nNumber));
    return packet;
}

uint32_t NumberOf(const unsigned char* pSlot)
{
    uint32_t nNumber = 0;
    memcpy(&nNumber, pSlot + 4, sizeof(nNumber));
    return nNumber;
}

} // namespace

TEST(CPacketFifoTest, NewFifoIsEmpty)
{
    CPacketFifo fifo(kCapacity);
    EXPECT_TRUE(fifo.IsEmpty());
    EXPECT_EQ(fifo.Pop(), nullptr);
}

TEST(CPacketFifoTest, PacketsComeOutInPushOrderAsCopies)
{
    CPacketFifo fifo(5 * kTsPacketSize);
    fifo.SetOverflowTreatment(1);
    for (uint32_t n = 1; n <= 5; ++n) {
        Packet packet = Numbered(n);
        ASSERT_EQ(fifo.Push(packet.data()), FIFO_STORED);
        packet.fill(0); // the FIFO keeps its own copy
    }
    for (uint32_t n = 1; n <= 5; ++n) {
        unsigned char* pSlot = fifo.Pop();
        ASSERT_NE(pSlot, nullptr);
        EXPECT_EQ(pSlot[0], kSyncByte);
        EXPECT_EQ(NumberOf(pSlot), n);
        fifo.Release(pSlot);
    }
    EXPECT_EQ(fifo.Pop(), nullptr);
}

TEST(CPacketFifoTest, WaitingPolicyRefusesThePacketAfterTenThousand)
{
    CPacketFifo fifo(kCapacity);
    fifo.SetOverflowTreatment(1);
    for (uint32_t n = 1; n <= kSlots; ++n) {
        ASSERT_EQ(fifo.Push(Numbered(n).data()), FIFO_STORED) << n;
    }
    EXPECT_EQ(fifo.Push(Numbered(kSlots + 1).data()), FIFO_FULL);
    EXPECT_EQ(NumberOf(fifo.Pop()), 1u); // nothing was dropped
}

TEST(CPacketFifoTest, OverwritingPolicyDropsTheOldest)
{
    CPacketFifo fifo(kCapacity);
    fifo.SetOverflowTreatment(0);
    for (uint32_t n = 1; n <= kSlots; ++n) {
        ASSERT_EQ(fifo.Push(Numbered(n).data()), FIFO_STORED) << n;
    }
    EXPECT_EQ(fifo.Push(Numbered(kSlots + 1).data()), FIFO_OVERWROTE);
    uint32_t nExpected = 2;
    while (unsigned char* pSlot = fifo.Pop()) {
        ASSERT_EQ(NumberOf(pSlot), nExpected);
        ++nExpected;
    }
    EXPECT_EQ(nExpected, uint32_t(kSlots + 2)); // 2 .. 10,001
}

TEST(CPacketFifoTest, PushOverwritingDropsTheOldestWhateverThePolicy)
{
    CPacketFifo fifo(2 * kTsPacketSize);
    fifo.SetOverflowTreatment(1);
    fifo.Push(Numbered(1).data());
    fifo.Push(Numbered(2).data());
    EXPECT_EQ(fifo.PushOverwriting(Numbered(3).data()), FIFO_OVERWROTE);
    EXPECT_EQ(fifo.Push(Numbered(4).data()), FIFO_FULL);
    EXPECT_EQ(NumberOf(fifo.Pop()), 2u);
    EXPECT_EQ(NumberOf(fifo.Pop()), 3u);
}

TEST(CPacketFifoTest, SlotOnLoanDoesNotCountAsStoredAndIsReusedLast)
{
    CPacketFifo fifo(3 * kTsPacketSize);
    fifo.SetOverflowTreatment(1);
    fifo.Push(Numbered(1).data());
    unsigned char* pLoaned = fifo.Pop();
    EXPECT_TRUE(fifo.IsEmpty());
    fifo.Release(pLoaned);

    // The two slots free before it come first.
    std::vector<unsigned char*> slots;
    for (uint32_t n = 2; n <= 4; ++n) {
        ASSERT_EQ(fifo.Push(Numbered(n).data()), FIFO_STORED);
    }
    while (unsigned char* pSlot = fifo.Pop()) {
        slots.push_back(pSlot);
    }
    ASSERT_EQ(slots.size(), 3u);
    EXPECT_NE(slots[0], pLoaned);
    EXPECT_NE(slots[1], pLoaned);
    EXPECT_EQ(slots[2], pLoaned);
    EXPECT_EQ(NumberOf(slots[2]), 4u);
}

TEST(CPacketFifoTest, OverwritingWithEverySlotOnLoanStoresNothing)
{
    CPacketFifo fifo(2 * kTsPacketSize);
    fifo.SetOverflowTreatment(0);
    fifo.Push(Numbered(1).data());
    fifo.Push(Numbered(2).data());
    unsigned char* pFirst = fifo.Pop();
    unsigned char* pSecond = fifo.Pop();

    EXPECT_EQ(fifo.Push(Numbered(3).data()), FIFO_FULL);
    EXPECT_EQ(fifo.PushOverwriting(Numbered(3).data()), FIFO_FULL);
    EXPECT_TRUE(fifo.IsEmpty());
    EXPECT_EQ(NumberOf(pFirst), 1u); // the loaned packets are untouched
    EXPECT_EQ(NumberOf(pSecond), 2u);

    fifo.Release(pFirst);
    EXPECT_EQ(fifo.Push(Numbered(4).data()), FIFO_STORED);
    EXPECT_EQ(NumberOf(fifo.Pop()), 4u);
}

TEST(CPacketFifoTest, QueueLockShowsStoredPacketsAndTheirNumbers)
{
    CPacketFifo fifo(3 * kTsPacketSize);
    fifo.SetOverflowTreatment(0);
    for (uint32_t n = 1; n <= 5; ++n) {
        fifo.Push(Numbered(n).data());
    }
    fifo.Release(fifo.Pop()); // packet 3 leaves
    CPacketFifo::CQueueLock lock(fifo);
    ASSERT_EQ(lock.Queue().size(), 2u);
    EXPECT_EQ(lock.PushCount(), 5u); // the oldest stored is packet number 5 - 2 = 3 (0-based)
    EXPECT_EQ(NumberOf(lock.Queue()[0]), 4u);
    EXPECT_EQ(NumberOf(lock.Queue()[1]), 5u);
}
