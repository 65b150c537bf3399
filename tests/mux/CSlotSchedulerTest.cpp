#include "mux/CSlotScheduler.h"
#include "mux/MuxConstants.h"

#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
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

// An input's queue as the scheduler reads it, in a deque (entries stay
// where they are while more are pushed).
class CVectorQueue final : public CSlotScheduler::IInputQueue
{
public:
    CTimedPacket* Peek(int k) override
    {
        const size_t n = m_nHead + size_t(k);
        return n < m_v.size() ? &m_v[n] : nullptr;
    }
    void Pop() override { ++m_nHead; }
    bool IsEnded() override { return m_bEnd && m_nHead == m_v.size(); }

    void PublishEnd() { m_bEnd = true; }
    std::deque<CTimedPacket> m_v;

private:
    size_t m_nHead = 0;
    bool m_bEnd = false;
};

class CSlotSchedulerTest : public ::testing::Test
{
protected:
    CSlotSchedulerTest() : m_vMap(kPidCount, -1) {}

    // Queues a packet due at nTime on input i's timeline (nChange: a marker).
    static void Push(CVectorQueue& queue, const tsb::Packet& packet, int64_t nTime,
                     int32_t nMargin = CTimedPacket::kNoMargin, uint32_t nChange = 0)
    {
        CTimedPacket entry;
        std::copy(packet.begin(), packet.end(), entry.vData);
        entry.nTime = nTime;
        entry.nMargin = nMargin;
        entry.nChange = nChange;
        queue.m_v.push_back(entry);
    }
    CSlotScheduler::CInput Input(CVectorQueue& queue, std::vector<int> vPcrPids = {})
    {
        CSlotScheduler::CInput in;
        in.pQueue = &queue;
        in.pPidMap = m_vMap.data();
        in.vPcrPids = std::move(vPcrPids);
        return in;
    }
    // Fills until the scheduler finishes, going on after each change (kept
    // in m_vChanges); the slots, 188 bytes each.
    std::vector<uint8_t> Run(CSlotScheduler& scheduler, int nMax = 100'000)
    {
        std::vector<uint8_t> vOut(size_t(nMax) * kTsPacketSize);
        int n = 0;
        for (;;) {
            const CSlotScheduler::CFill fill =
                scheduler.FillSlots(nMax - n, vOut.data() + size_t(n) * kTsPacketSize);
            n += fill.nFilled;
            if (!fill.IsChange()) {
                break;
            }
            m_vChanges.push_back(fill);
        }
        vOut.resize(size_t(n) * kTsPacketSize);
        return vOut;
    }
    static int PidAt(const std::vector<uint8_t>& v, size_t nSlot)
    {
        return ((v[nSlot * kTsPacketSize + 1] & 0x1F) << 8) | v[nSlot * kTsPacketSize + 2];
    }

    std::vector<int> m_vMap;
    std::vector<CSlotScheduler::CFill> m_vChanges; // what Run went on after
    CVectorQueue m_a;
    CVectorQueue m_b;
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
    EXPECT_EQ(scheduler.FillSlots(8, vOut.data()).nFilled, 0)
        << "not even the tables: input 2 may come first";
    EXPECT_EQ(scheduler.GetStarvedInput(), 1);
    m_b.PublishEnd();
    EXPECT_EQ(scheduler.FillSlots(8, vOut.data()).nFilled, 2) << "the tables, then input 1's packet";
    EXPECT_EQ(scheduler.GetStarvedInput(), 0);
    m_a.PublishEnd();
    EXPECT_EQ(scheduler.FillSlots(8, vOut.data()).nFilled, 0);
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
    EXPECT_EQ(scheduler.FillSlots(100, vOut.data()).nFilled, 0) << "input 1 may come first";
    scheduler.SetInputDown(0);
    EXPECT_EQ(scheduler.FillSlots(300, vOut.data()).nFilled, 300);
    const int64_t nBack = scheduler.GetNextSlot();
    // Times from before the output's own (a pipe read from its start again).
    Push(m_a, Numbered(0x100, 1, 0), 3 * kTicksPerSlot);
    Push(m_a, Numbered(0x100, 2, 1), 8 * kTicksPerSlot);
    const int64_t nDelay = kLiveDelayMs * 2; // slots
    const int nFilled = scheduler.FillSlots(1000, vOut.data()).nFilled;
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
    CVectorQueue big;
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
    ASSERT_EQ(scheduler.FillSlots(100, vOut.data()).nFilled, 100) << "nothing queued: nulls, no wait";
    // Stamped 20 ms after slot 0: due at 120 ms, slot 240.
    const int64_t nTime = (nStartMicros + 20'000) * 27;
    Push(m_a, CPacketBuilder::Payload(On(0x100)), nTime);
    Push(m_a, CPacketBuilder::Payload(On(0x100)), nTime + 10 * kTicksPerSlot);
    ASSERT_EQ(scheduler.FillSlots(300, vOut.data()).nFilled, 300);
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

// Content above the rate: a packet counts as late only once its delay eats
// its program's decoding margin down to the guard (here 300 ms of margin,
// 100 ms of guard: 400 slots of delay may pass).
TEST_F(CSlotSchedulerTest, LateMeansPastTheDecodingMarginLessTheGuard)
{
    m_vMap[0x100] = 0x200;
    CVectorQueue big;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 200);
    scheduler.AddInput(Input(big));
    scheduler.MapProgramPid(0x200, 0);
    for (int i = 0; i < 2000; ++i) {
        const int32_t nMargin = i % 10 == 0 ? 300 * 90 : CTimedPacket::kNoMargin;
        Push(big, Numbered(0x100, uint32_t(i), uint8_t(i)), i * kTicksPerSlot / 2, nMargin);
    }
    big.PublishEnd();
    Run(scheduler);
    const CDelayWatch::CProgram* pProgram = scheduler.GetProgramDelay(0);
    ASSERT_NE(pProgram, nullptr);
    EXPECT_EQ(pProgram->nMargin, 300 * 27'000);
    // Packet i leaves i / 2 slots late, plus a slot per table repetition.
    EXPECT_NEAR(double(pProgram->nLate), 2000 - 800, 15);
    EXPECT_EQ(scheduler.GetInputStats()[0].nLate, pProgram->nLate);
    EXPECT_NEAR(double(pProgram->nMaxDelaySlots), 1000, 15);
}

// A table change stops the fill right at its marker: after the slot of the
// packet before it (the change dates from that slot), or before anything of
// a slot when the marker is first; a marker right behind it stops the next
// call at once. The tables set then lead what the input sends after it.
TEST_F(CSlotSchedulerTest, TableChangeStopsTheFillAtItsMarker)
{
    m_vMap[0x100] = 0x200;
    CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
    scheduler.AddInput(Input(m_a));
    Push(m_a, Numbered(0x100, 0, 0), 0, CTimedPacket::kNoMargin, 3);
    Push(m_a, Numbered(0x100, 1, 0), 0);
    Push(m_a, Numbered(0x100, 0, 0), 0, CTimedPacket::kNoMargin, 7);
    Push(m_a, Numbered(0x100, 0, 0), 0, CTimedPacket::kNoMargin, 8);
    Push(m_a, Numbered(0x100, 2, 1), 5 * kTicksPerSlot);
    m_a.PublishEnd();
    std::vector<uint8_t> vOut(100 * kTsPacketSize);

    CSlotScheduler::CFill fill = scheduler.FillSlots(100, vOut.data());
    EXPECT_EQ(fill.nFilled, 0) << "not even the tables: the change may alter them";
    EXPECT_EQ(fill.nChange, 3u);
    EXPECT_EQ(scheduler.GetChangeSlot(), 0);

    fill = scheduler.FillSlots(100, vOut.data());
    ASSERT_EQ(fill.nFilled, 2) << "the tables, then the packet before the marker";
    EXPECT_EQ(NumberOf(&vOut[kTsPacketSize]), 1u);
    EXPECT_EQ(fill.nChangeInput, 0);
    EXPECT_EQ(fill.nChange, 7u);
    EXPECT_EQ(scheduler.GetChangeSlot(), 1);
    fill = scheduler.FillSlots(100, vOut.data());
    EXPECT_EQ(fill.nFilled, 0);
    EXPECT_EQ(fill.nChange, 8u);
    EXPECT_EQ(scheduler.GetChangeSlot(), 1) << "it came with the same slot";

    scheduler.ReplaceTables(OneTable(0x11));
    fill = scheduler.FillSlots(100, vOut.data());
    EXPECT_FALSE(fill.IsChange());
    ASSERT_EQ(fill.nFilled, 5);
    EXPECT_EQ(PidAt(vOut, 0), 0x11) << "the new set first";
    EXPECT_EQ(NumberOf(&vOut[4 * kTsPacketSize]), 2u) << "at its due slot, 6";
    EXPECT_EQ(scheduler.GetChangeSlot(), scheduler.GetNextSlot()) << "no change pending";
    EXPECT_TRUE(scheduler.IsFinished());
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
