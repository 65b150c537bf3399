#include "mux/CSlotScheduler.h"
#include "mux/MuxConstants.h"

#include "input/CTimedQueue.h"
#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"

#include <gtest/gtest.h>

#include <vector>

using namespace mtk;
using tsb::CPacketBuilder;

namespace {

// 2,000 slots a second: a slot is 13,500 ticks, 80 ms is 160 slots, 35 ms 70.
constexpr int64_t kRate = 2000 * kTsPacketSize * 8;
constexpr int64_t kTicksPerSlot = kPcrHz / 2000;

std::vector<CPsiTable> OneTable(uint16_t nPid)
{
    CPsiTable table;
    table.nPid = nPid;
    tsb::Header h = On(nPid);
    h.bPusi = true;
    const tsb::Packet packet = CPacketBuilder::Payload(h, {0x00, 0x00});
    table.vPackets.assign(packet.begin(), packet.end());
    return {table};
}

class CSlotSchedulerTest : public ::testing::Test
{
protected:
    CSlotSchedulerTest() : m_vMap(kPidCount, -1) {}

    // Queues a packet due at nTime on input i's timeline.
    void Push(CTimedQueue& queue, const tsb::Packet& packet, int64_t nTime)
    {
        CTimedPacket* p = queue.Reserve();
        ASSERT_NE(p, nullptr);
        std::copy(packet.begin(), packet.end(), p->vData);
        p->nTime = nTime;
        queue.CommitReserved();
        queue.Publish(1);
    }
    CSlotScheduler::CInput Input(CTimedQueue& queue, std::vector<int> vPcrPids = {})
    {
        CSlotScheduler::CInput in;
        in.pQueue = &queue;
        in.pPidMap = m_vMap.data();
        in.vPcrPids = std::move(vPcrPids);
        return in;
    }
    // Fills until the scheduler finishes; the slots, 188 bytes each.
    std::vector<uint8_t> Run(CSlotScheduler& scheduler, int nMax = 100'000)
    {
        std::vector<uint8_t> vOut(size_t(nMax) * kTsPacketSize);
        const int n = scheduler.FillSlots(nMax, vOut.data());
        vOut.resize(size_t(n) * kTsPacketSize);
        return vOut;
    }
    static int PidAt(const std::vector<uint8_t>& v, size_t nSlot)
    {
        return ((v[nSlot * kTsPacketSize + 1] & 0x1F) << 8) | v[nSlot * kTsPacketSize + 2];
    }

    std::vector<int> m_vMap;
    CTimedQueue m_a{64};
    CTimedQueue m_b{64};
};

} // namespace

TEST_F(CSlotSchedulerTest, TablesLeadThenEachPacketLeavesAtItsDueSlotInDeadlineOrder)
{
    m_vMap[0x100] = 0x200;
    m_vMap[0x101] = 0x201;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a));
    scheduler.AddInput(Input(m_b));
    // Times are on each input's own timeline; both start at the first slot after the tables.
    Push(m_a, Numbered(0x100, 0, 0), 1000);
    Push(m_a, Numbered(0x100, 1, 1), 1000 + 10 * kTicksPerSlot);
    Push(m_b, Numbered(0x101, 2, 0), 50);
    Push(m_b, Numbered(0x101, 3, 1), 50 + 4 * kTicksPerSlot + 1); // rounds up to slot +5
    m_a.PublishEnd();
    m_b.PublishEnd();

    const std::vector<uint8_t> vOut = Run(scheduler);
    ASSERT_EQ(vOut.size() / kTsPacketSize, 12u) << "ends after the last content packet";
    EXPECT_EQ(PidAt(vOut, 0), 0x10);
    // Slot 1: both firsts are due; the tie goes to the input added first.
    EXPECT_EQ(NumberOf(&vOut[1 * kTsPacketSize]), 0u);
    EXPECT_EQ(NumberOf(&vOut[2 * kTsPacketSize]), 2u);
    EXPECT_EQ(PidAt(vOut, 2), 0x201);
    EXPECT_EQ(NumberOf(&vOut[6 * kTsPacketSize]), 3u);
    EXPECT_EQ(NumberOf(&vOut[11 * kTsPacketSize]), 1u);
    for (size_t s : {3u, 4u, 5u, 7u, 8u, 9u, 10u}) {
        EXPECT_TRUE(IsNullPacket(&vOut[s * kTsPacketSize])) << "slot " << s;
    }
    EXPECT_EQ(scheduler.GetInputStats()[1].nMaxLateSlots, 1) << "the tie cost input 2 one slot";
}

TEST_F(CSlotSchedulerTest, WaitsForAnInputWithNothingQueuedUntilItHasDataOrEnds)
{
    m_vMap[0x100] = 0x200;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a));
    scheduler.AddInput(Input(m_b));
    Push(m_a, Numbered(0x100, 0, 0), 0);
    std::vector<uint8_t> vOut(8 * kTsPacketSize);
    EXPECT_EQ(scheduler.FillSlots(8, vOut.data()), 0)
        << "not even the tables: input 2 may come first";
    EXPECT_EQ(scheduler.GetStarvedInput(), 1);
    m_b.PublishEnd();
    EXPECT_EQ(scheduler.FillSlots(8, vOut.data()), 2) << "the tables, then input 1's packet";
    EXPECT_EQ(scheduler.GetStarvedInput(), 0);
    m_a.PublishEnd();
    EXPECT_EQ(scheduler.FillSlots(8, vOut.data()), 0);
    EXPECT_TRUE(scheduler.IsFinished());
}

// Down (stalled, or not ready at the start): the slots go on without it, and
// what it sends again is due the live delay after the slot it came back in,
// not at its old place long past.
TEST_F(CSlotSchedulerTest, InputDownIsNotWaitedForAndRestartsItsDelayAfterItComesBack)
{
    m_vMap[0x100] = 0x200;
    m_vMap[0x101] = 0x201;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a));
    scheduler.AddInput(Input(m_b));
    Push(m_b, Numbered(0x101, 0, 0), 0);
    m_b.PublishEnd();
    std::vector<uint8_t> vOut(1000 * kTsPacketSize);
    EXPECT_EQ(scheduler.FillSlots(100, vOut.data()), 0) << "input 1 may come first";
    scheduler.SetInputDown(0);
    EXPECT_EQ(scheduler.FillSlots(300, vOut.data()), 300);
    const int64_t nBack = scheduler.GetNextSlot();
    // Times from before the output's own (a pipe read from its start again).
    Push(m_a, Numbered(0x100, 1, 0), 3 * kTicksPerSlot);
    Push(m_a, Numbered(0x100, 2, 1), 8 * kTicksPerSlot);
    const int64_t nDelay = kLiveDelayMs * 2; // slots
    const int nFilled = scheduler.FillSlots(1000, vOut.data());
    EXPECT_EQ(nFilled, nDelay + 6) << "back, it is waited for again";
    std::vector<int64_t> vSlots;
    for (size_t k = 0; k < size_t(nFilled); ++k) {
        if (PidAt(vOut, k) == 0x200) {
            vSlots.push_back(nBack + int64_t(k));
        }
    }
    EXPECT_EQ(vSlots, (std::vector<int64_t>{nBack + nDelay, nBack + nDelay + 5}));
    EXPECT_EQ(scheduler.GetInputStats()[0].nLate, 0);
}

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

TEST_F(CSlotSchedulerTest, ContentAboveTheRateIsCountedLate)
{
    m_vMap[0x100] = 0x200;
    CTimedQueue big(4096);
    CSlotScheduler scheduler(kRate, OneTable(0x10), 20);
    scheduler.AddInput(Input(big));
    // Two packets per slot's worth of time: the backlog grows without bound.
    for (int i = 0; i < 2000; ++i) {
        Push(big, Numbered(0x100, uint32_t(i), uint8_t(i)), i * kTicksPerSlot / 2);
    }
    big.PublishEnd();
    const std::vector<uint8_t> vOut = Run(scheduler);
    EXPECT_EQ(scheduler.GetInputStats()[0].nMuxed, 2000) << "late, never lost";
    EXPECT_GT(scheduler.GetInputStats()[0].nLate, 1900);
    EXPECT_EQ(int64_t(vOut.size() / kTsPacketSize), 2000 + scheduler.GetTableSlots());
}

TEST(COutputTimeTest, PcrAnHourOnIsExactAcrossTheWrap)
{
    const COutputTime time(kRate);
    const int64_t nRef = kPcrModulo - 1000;
    const int64_t nHour = 3600 * 2000;
    EXPECT_EQ(time.PcrAt(nRef, 5, 5 + nHour), PcrWrap(nRef + 3600 * kPcrHz));
    EXPECT_EQ(time.SlotAtTicks(kTicksPerSlot), 1);
    EXPECT_EQ(time.SlotAtTicks(kTicksPerSlot + 1), 2);
    EXPECT_EQ(time.SlotsDueAtMicros(999), 1);
    EXPECT_EQ(time.MicrosAt(3), 1500);
    // An odd rate: a million slots never drift from the exact figure.
    const COutputTime odd(6'722'001);
    EXPECT_EQ(odd.TicksAt(1'000'000), int64_t(__int128(1'000'000) * 1504 * kPcrHz / 6'722'001));
}

// A live input's times are our clock's: a packet is due the live delay
// after its time, counted from the clock at slot 0, and an empty live queue
// never holds the output (a silent sender must not stop the others).
TEST_F(CSlotSchedulerTest, LivePacketIsDueItsDelayAfterItsTimeAndNeverWaitedFor)
{
    m_vMap[0x100] = 0x200;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    const int64_t nStartMicros = 5'000'000;
    scheduler.SetLocalStart(nStartMicros);
    CSlotScheduler::CInput in = Input(m_a);
    in.bLive = true;
    in.bWaitFor = false;
    scheduler.AddInput(in);

    std::vector<uint8_t> vOut(400 * kTsPacketSize);
    ASSERT_EQ(scheduler.FillSlots(100, vOut.data()), 100) << "nothing queued: nulls, no wait";
    // Stamped 20 ms after slot 0: due at 120 ms, slot 240.
    const int64_t nTime = (nStartMicros + 20'000) * 27;
    Push(m_a, CPacketBuilder::Payload(On(0x100)), nTime);
    Push(m_a, CPacketBuilder::Payload(On(0x100)), nTime + 10 * kTicksPerSlot);
    ASSERT_EQ(scheduler.FillSlots(300, vOut.data()), 300);
    std::vector<int64_t> vSlots;
    for (int64_t s = 0; s < 300; ++s) {
        if (PidAt(vOut, size_t(s)) == 0x200) {
            vSlots.push_back(100 + s);
        }
    }
    EXPECT_EQ(vSlots, (std::vector<int64_t>{240, 250}));
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
    ASSERT_EQ(scheduler.FillSlots(nSlots, vOut.data()), nSlots);
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
