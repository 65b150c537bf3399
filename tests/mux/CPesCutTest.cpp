// The end of a run of a set length, as the slot scheduler writes it.
#include "mux/CPesCut.h"
#include "mux/CSlotSchedulerFixture.h"

#include <vector>

using namespace sst;

namespace {

// Input PID 0x100, a packet due every slot from slot 1 (after the table), a
// PES every ten packets; packet 32 carries a PCR.
tsb::Packet PesPacket(int n)
{
    tsb::Header h = On(0x100, uint8_t(n & 0x0F));
    h.bPusi = n % 10 == 0;
    const std::vector<uint8_t> vPayload =
        h.bPusi ? std::vector<uint8_t>{0x00, 0x00, 0x01, 0xE0} : std::vector<uint8_t>{0xAA};
    if (n == 32) {
        return CPacketBuilder::Pcr(h, 1'000'000, false, vPayload);
    }
    return CPacketBuilder::Payload(h, vPayload);
}

struct CEnd
{
    int nEndSlot;
    int nQueuedFirst; // packets queued before the first fill (the rest and the end after)
    int nFirstFill;   // what that fill gives
};

class CPesCutTest : public CSlotSchedulerTest, public ::testing::WithParamInterface<CEnd>
{
};

} // namespace

// Ending at slot 31 cuts nothing: the third PES's last packet leaves in slot
// 30. Ending at 35 cuts the fourth, started in slot 31: its slots carry null
// packets, its PCR stays adaptation-only with the counter of the packet
// before the PES. Where its rest is not queued yet, the slots wait for it.
TEST_P(CPesCutTest, StreamStopsAfterItsLastWholePes)
{
    const CEnd end = GetParam();
    m_vMap[0x100] = 0x200;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a));
    scheduler.SetEndSlot(end.nEndSlot);
    for (int n = 0; n < end.nQueuedFirst; ++n) {
        Push(m_a, PesPacket(n), n * kTicksPerSlot);
    }
    std::vector<uint8_t> vOut(size_t(end.nEndSlot) * kTsPacketSize);
    ASSERT_EQ(scheduler.FillSlots(end.nEndSlot, vOut.data()).nFilled, end.nFirstFill);
    if (end.nFirstFill < end.nEndSlot) {
        EXPECT_EQ(scheduler.GetStarvedInput(), 0);
    }
    for (int n = end.nQueuedFirst; n < 50; ++n) {
        Push(m_a, PesPacket(n), n * kTicksPerSlot);
    }
    m_a.PublishEnd();
    const int nRest = end.nEndSlot - end.nFirstFill;
    ASSERT_EQ(scheduler.FillSlots(nRest, &vOut[size_t(end.nFirstFill) * kTsPacketSize]).nFilled,
              nRest);

    for (int nSlot = 1; nSlot < end.nEndSlot; ++nSlot) {
        const uint8_t* p = &vOut[size_t(nSlot) * kTsPacketSize];
        if (nSlot <= 30) {
            EXPECT_EQ(PidAt(vOut, size_t(nSlot)), 0x200) << "slot " << nSlot;
        } else if (nSlot == 33) {
            EXPECT_EQ(PidAt(vOut, 33), 0x200);
            EXPECT_EQ(p[1] & 0x40, 0) << "no unit start";
            EXPECT_EQ(p[3], 0x20 | 13) << "adaptation only, the counter of packet 29";
            EXPECT_EQ(p[4], 183);
            EXPECT_NE(p[5] & 0x10, 0) << "the PCR stays";
        } else {
            EXPECT_TRUE(IsNullPacket(p)) << "slot " << nSlot;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, CPesCutTest,
                         ::testing::Values(CEnd{31, 50, 31}, CEnd{35, 50, 35},
                                           CEnd{35, 34, 31}));
