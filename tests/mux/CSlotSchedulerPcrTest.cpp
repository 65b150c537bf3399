// The slot scheduler's PCRs: restamped, inserted in gaps, pulled ahead, moved.
#include "mux/CSlotSchedulerFixture.h"

#include <map>
#include <vector>

using namespace sst;

TEST_F(CSlotSchedulerTest, PcrsAreRestampedFromTheirSlotAndGapsGetPcrOnlyPackets)
{
    m_vMap[0x100] = 0x200;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a, {0x200}));
    // A PCR every 100 ms (200 slots) of input time, stamped a little off.
    for (int i = 0; i < 4; ++i) {
        tsb::Header h = On(0x100, uint8_t(i));
        tsb::Packet pcr = CPacketBuilder::Pcr(h, 5'000'000 + i * kPcrHz / 10 + 777, false, {0x01});
        Push(m_a, pcr, i * 200 * kTicksPerSlot);
    }
    m_a.PublishEnd();
    const std::vector<uint8_t> vOut = Run(scheduler);

    int64_t nLastSlot = -1;
    int nInserted = 0;
    for (size_t s = 0; s < vOut.size() / kTsPacketSize; ++s) {
        if (PidAt(vOut, s) != 0x200) {
            continue;
        }
        CTsPacket packet;
        packet.SetData(const_cast<uint8_t*>(&vOut[s * kTsPacketSize]));
        ASSERT_TRUE(packet.HasPcr());
        // The first keeps its value; every later one is exact from the slots.
        EXPECT_EQ(packet.GetPcr(), 5'000'777 + (int64_t(s) - 1) * kTicksPerSlot) << "slot " << s;
        if (nLastSlot >= 0) {
            EXPECT_LE(int64_t(s) - nLastSlot, 70) << "35 ms at most between PCRs";
        }
        if (packet.GetAdaptationFieldControl() == 2) {
            ++nInserted;
            const int nPrevCc = vOut[size_t(nLastSlot) * kTsPacketSize + 3] & 0x0F;
            EXPECT_EQ(packet.GetContinuityCounter(), nPrevCc)
                << "an adaptation-only packet repeats the counter; slot " << s;
        }
        nLastSlot = int64_t(s);
    }
    EXPECT_EQ(nInserted, 6) << "two in each of the three 100 ms gaps";
    EXPECT_EQ(scheduler.GetPcrStamper().GetInsertedCount(), 6);
}

TEST_F(CSlotSchedulerTest, DiscontinuityStartsANewReferenceAndHoldsInsertionUntilItsPcr)
{
    m_vMap[0x100] = 0x200;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a, {0x200}));
    Push(m_a, CPacketBuilder::Pcr(On(0x100, 0), 1000), 0);
    tsb::Packet marker = CPacketBuilder::Pcr(On(0x100, 1), 0, true);
    marker[3] = 0x30; // adaptation field and payload
    marker[5] = 0x80; // discontinuity_indicator, no PCR
    Push(m_a, marker, 10 * kTicksPerSlot);
    Push(m_a, CPacketBuilder::Pcr(On(0x100, 2), 42'000'000), 200 * kTicksPerSlot);
    m_a.PublishEnd();
    const std::vector<uint8_t> vOut = Run(scheduler);
    int nPcrs = 0;
    for (size_t s = 0; s < vOut.size() / kTsPacketSize; ++s) {
        CTsPacket packet;
        packet.SetData(const_cast<uint8_t*>(&vOut[s * kTsPacketSize]));
        if (PidAt(vOut, s) == 0x200 && packet.HasPcr()) {
            ++nPcrs;
        }
    }
    EXPECT_EQ(nPcrs, 2) << "nothing inserted between the discontinuity and its PCR";
    CTsPacket last;
    last.SetData(const_cast<uint8_t*>(&vOut[vOut.size() - kTsPacketSize]));
    EXPECT_EQ(last.GetPcr(), 42'000'000) << "the new time base keeps its own value";
}

// A live program's PCRs stay on its sender's clock: each leaves as the
// input's own value plus how late its packet leaves against its due time,
// never restamped from the slot (that would put them on our clock, and the
// time stamps would drift from them by the clocks' difference).
TEST_F(CSlotSchedulerTest, LivePcrKeepsTheSendersClockPlusItsLateness)
{
    m_vMap[0x100] = 0x200;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.SetLocalStart(0);
    CSlotScheduler::CInput in = Input(m_a, {0x200});
    in.bLive = true;
    in.bWaitFor = false;
    scheduler.AddInput(in);

    // Two PCRs 1 s apart by the sender, 50 ppm fast against our clock: our
    // times for them are 999,950 us apart.
    const int64_t nPcr0 = 1'000'000;
    const int64_t nPcr1 = nPcr0 + kPcrHz;
    const int64_t nTime0 = 10 * kTicksPerSlot + 100;
    const int64_t nTime1 = nTime0 + kPcrHz - 50 * 27;
    Push(m_a, CPacketBuilder::Pcr(On(0x100, 0), nPcr0, false, {1}), nTime0);
    Push(m_a, CPacketBuilder::Pcr(On(0x100, 1), nPcr1, false, {1}), nTime1);
    const int nSlots = 2500;
    std::vector<uint8_t> vOut(size_t(nSlots) * kTsPacketSize);
    ASSERT_EQ(scheduler.FillSlots(nSlots, vOut.data()).nFilled, nSlots);
    const COutputTime& time = scheduler.GetTime();
    const int64_t nDelay = kLiveDelayMs * (kPcrHz / 1000);
    std::vector<std::pair<int64_t, int64_t>> vPcrs; // slot, PCR
    for (int64_t s = 0; s < nSlots; ++s) {
        CTsPacket packet;
        packet.SetData(&vOut[size_t(s) * kTsPacketSize]);
        if (packet.GetPid() == 0x200 && (vOut[size_t(s) * kTsPacketSize + 3] & 0x10) != 0) {
            vPcrs.emplace_back(s, packet.GetPcr());
        }
    }
    ASSERT_EQ(vPcrs.size(), 2u);
    EXPECT_EQ(vPcrs[0].second, nPcr0 + time.TicksAt(vPcrs[0].first) - (nTime0 + nDelay));
    EXPECT_EQ(vPcrs[1].second, nPcr1 + time.TicksAt(vPcrs[1].first) - (nTime1 + nDelay));
}

namespace {

struct CPull
{
    const char* szName;
    bool bOwnPacketFirst; // a packet of the PCR PID without a PCR queued before its PCR
    bool bMarkerFirst;    // a table change queued before it
    int nInserted;
};

class CSlotSchedulerPullTest : public CSlotSchedulerTest,
                               public ::testing::WithParamInterface<CPull>
{
};

} // namespace

// Content of another PID runs 60 slots late when the PCR PID's gap runs
// out: its own next PCR, queued and due, goes ahead of it instead of a
// PCR-only packet that would make the content later still. It may pass
// packets of other PIDs, never one of its own, nor a table change.
TEST_P(CSlotSchedulerPullTest, OwnPcrQueuedBehindLateContentGoesFirst)
{
    const CPull pull = GetParam();
    m_vMap[0x100] = 0x200;
    m_vMap[0x101] = 0x201;
    CVectorQueue queue;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(queue, {0x200}));
    Push(queue, CPacketBuilder::Pcr(On(0x100, 0), 1'000'000, false, {1}), 0);
    for (int k = 0; k < 120; ++k) { // all due at slot 11: the last leaves 120 slots late
        Push(queue, Numbered(0x101, uint32_t(k), uint8_t(k)), 10 * kTicksPerSlot);
    }
    if (pull.bOwnPacketFirst) {
        Push(queue, Numbered(0x100, 999, 1), 60 * kTicksPerSlot);
    }
    if (pull.bMarkerFirst) {
        Push(queue, Numbered(0x100, 0, 0), 60 * kTicksPerSlot, CTimedPacket::kNoMargin, 7);
    }
    const uint8_t nCc = pull.bOwnPacketFirst ? 2 : 1;
    Push(queue, CPacketBuilder::Pcr(On(0x100, nCc), 1'000'000 + 70 * kTicksPerSlot, false, {2}),
         70 * kTicksPerSlot);
    queue.PublishEnd();
    const std::vector<uint8_t> vOut = Run(scheduler);

    std::vector<int64_t> vPcrSlots;
    uint32_t nNext = 0;
    for (size_t n = 0; n < vOut.size() / kTsPacketSize; ++n) {
        const uint8_t* p = &vOut[n * kTsPacketSize];
        if (PidAt(vOut, n) == 0x201) {
            EXPECT_EQ(NumberOf(p), nNext++) << "content keeps its order";
        } else if (PidAt(vOut, n) == 0x200 && (p[3] & 0x20) != 0 && (p[5] & 0x10) != 0) {
            vPcrSlots.push_back(int64_t(n));
        }
    }
    EXPECT_EQ(nNext, 120u);
    EXPECT_EQ(scheduler.GetPcrStamper().GetInsertedCount(), pull.nInserted);
    ASSERT_GE(vPcrSlots.size(), 2u);
    EXPECT_LE(vPcrSlots[1] - vPcrSlots[0], 80) << "40 ms at most";
    EXPECT_EQ(m_vChanges.size(), pull.bMarkerFirst ? 1u : 0u);
    EXPECT_EQ(scheduler.GetInputStats()[0].nMuxed, 122 + int(pull.bOwnPacketFirst))
        << "every packet once; a marker takes no slot";
}

INSTANTIATE_TEST_SUITE_P(Queues, CSlotSchedulerPullTest,
                         ::testing::Values(CPull{"Free", false, false, 0},
                                           CPull{"OwnPacketFirst", true, false, 1},
                                           CPull{"MarkerFirst", false, true, 1}),
                         [](const ::testing::TestParamInfo<CPull>& test) {
                             return test.param.szName;
                         });

// A program whose PMT names no PCR_PID, its PCRs on its video: the first of
// them makes the video its PCR PID (the fill stops to say so, the tables are
// its), and from then on the video's gaps are kept. PCRs on a PID that is no
// program's PCR PID are restamped like all others.
TEST_F(CSlotSchedulerTest, PcrsOnAStreamMakeItThePcrPidWhereThePmtNamesNone)
{
    m_vMap[0x100] = 0x200; // video, PCRs every 100 slots
    m_vMap[0x101] = 0x201; // data, PCRs of its own, no program's PCR PID
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a));
    scheduler.MapProgramPid(0x200, 0);
    scheduler.MapProgramPid(0x201, 0);
    scheduler.SetProgram(0, 101, kPidNull);
    for (int i = 0; i < 4; ++i) {
        Push(m_a, CPacketBuilder::Pcr(On(0x100, uint8_t(i)), 7'000'000 + i * 100 * kTicksPerSlot + 5,
                                      false, {1}),
             i * 100 * kTicksPerSlot);
        Push(m_a, CPacketBuilder::Pcr(On(0x101, uint8_t(i)), 900 + i * 30 * kTicksPerSlot, false, {1}),
             (i * 100 + 50) * kTicksPerSlot);
    }
    m_a.PublishEnd();
    const std::vector<uint8_t> vOut = Run(scheduler);

    ASSERT_EQ(m_vChanges.size(), 1u) << "the data PID's PCRs move nothing: the video has them";
    EXPECT_EQ((std::vector<int>{m_vChanges[0].nPcrProgram, m_vChanges[0].nPcrFromPid,
                                m_vChanges[0].nPcrToPid}),
              (std::vector<int>{0, kPidNull, 0x200}));
    std::map<int, std::pair<size_t, int64_t>> first; // PID -> slot, PCR of its first
    int nInserted = 0;
    for (size_t n = 0; n < vOut.size() / kTsPacketSize; ++n) {
        CTsPacket packet;
        packet.SetData(const_cast<uint8_t*>(&vOut[n * kTsPacketSize]));
        if (!packet.HasPcr()) {
            continue;
        }
        const int nPid = packet.GetPid();
        nInserted += packet.GetAdaptationFieldControl() == 2;
        if (first.count(nPid) == 0) {
            first[nPid] = {n, packet.GetPcr()};
        }
        EXPECT_EQ(packet.GetPcr(),
                  first[nPid].second + (int64_t(n) - int64_t(first[nPid].first)) * kTicksPerSlot)
            << "PID " << nPid << " slot " << n;
    }
    EXPECT_EQ(first.size(), 2u);
    EXPECT_EQ(nInserted, 4) << "one in each 100-slot gap of the video, and after its last PCR "
                               "while the input still sends; none on the data PID";
}

// Own PCRs up to the longest gap apart (40 ms, 80 slots) get no PCR-only
// packet once their spacing is known (the first gap has none to go by and
// gets one at 35 ms); sparser ones, up to 80 ms, one per gap.
class CSlotSchedulerPcrSpacingTest : public CSlotSchedulerTest,
                                     public ::testing::WithParamInterface<std::pair<int, int>>
{
};

TEST_P(CSlotSchedulerPcrSpacingTest, PcrOnlyPacketsOnlyPastTheLongestGap)
{
    const auto [nSpacing, nInserted] = GetParam();
    m_vMap[0x100] = 0x200;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a, {0x200}));
    for (int i = 0; i < 6; ++i) {
        Push(m_a, CPacketBuilder::Pcr(On(0x100, uint8_t(i)), 1000 + i * nSpacing * kTicksPerSlot),
             i * nSpacing * kTicksPerSlot);
    }
    m_a.PublishEnd();
    const std::vector<uint8_t> vOut = Run(scheduler);
    int64_t nLast = -1;
    for (size_t s = 0; s < vOut.size() / kTsPacketSize; ++s) {
        if (PidAt(vOut, s) == 0x200) {
            EXPECT_TRUE(nLast < 0 || int64_t(s) - nLast <= 80) << "slot " << s;
            nLast = int64_t(s);
        }
    }
    EXPECT_EQ(scheduler.GetPcrStamper().GetInsertedCount(), nInserted);
}

INSTANTIATE_TEST_SUITE_P(Spacings, CSlotSchedulerPcrSpacingTest,
                         ::testing::Values(std::pair{70, 0}, std::pair{80, 1},
                                           std::pair{90, 5}, std::pair{100, 5}));
