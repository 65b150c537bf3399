#include "mux/CSlotSchedulerFixture.h"

#include <algorithm>
#include <map>
#include <vector>

using namespace sst;

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

// The slots are the same however far the reader has come: queued one entry
// at a time (the output waiting between), or all at once. Content runs late
// (two packets a slot), so the PCR PID's own PCRs are looked for ahead, and
// a table change comes half-way.
TEST_F(CSlotSchedulerTest, SlotsDoNotDependOnHowFarTheReaderHasCome)
{
    m_vMap[0x100] = 0x200;
    m_vMap[0x101] = 0x201;
    std::vector<CTimedPacket> vEntries;
    for (int n = 0; n < 400; ++n) {
        CTimedPacket entry;
        const bool bPcr = n % 90 == 0;
        const tsb::Packet packet =
            bPcr ? CPacketBuilder::Pcr(On(0x100, uint8_t(n / 90)), 1000 + n * kTicksPerSlot / 2,
                                       false, {1})
                 : Numbered(0x101, uint32_t(n), uint8_t(n));
        std::copy(packet.begin(), packet.end(), entry.vData);
        entry.nTime = n * kTicksPerSlot / 2;
        entry.nChange = n == 200 ? 2 : 0;
        vEntries.push_back(entry);
    }
    auto Mux = [&](size_t nStep) {
        CVectorQueue queue;
        CSlotScheduler scheduler(kRate, OneTable(0x10), 1000);
        scheduler.AddInput(Input(queue, {0x200}));
        std::vector<uint8_t> vOut(2000 * kTsPacketSize);
        int nOut = 0;
        for (size_t nQueued = 0; !scheduler.IsFinished();) {
            const size_t nNext = std::min(nQueued + nStep, vEntries.size());
            queue.m_v.insert(queue.m_v.end(), vEntries.begin() + long(nQueued),
                             vEntries.begin() + long(nNext));
            nQueued = nNext;
            if (nQueued == vEntries.size()) {
                queue.PublishEnd();
            }
            for (;;) {
                const CSlotScheduler::CFill fill =
                    scheduler.FillSlots(2000 - nOut, &vOut[size_t(nOut) * kTsPacketSize]);
                nOut += fill.nFilled;
                if (!fill.IsChange()) {
                    break;
                }
                scheduler.ReplaceTables(OneTable(0x11));
            }
        }
        vOut.resize(size_t(nOut) * kTsPacketSize);
        return vOut;
    };
    const std::vector<uint8_t> vAtOnce = Mux(vEntries.size());
    EXPECT_GT(vAtOnce.size(), 400u * kTsPacketSize);
    EXPECT_TRUE(Mux(1) == vAtOnce);
    EXPECT_TRUE(Mux(7) == vAtOnce);
}
