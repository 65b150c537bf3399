#include "ts/CPcrPacer.h"

#include "os/CClock.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int64_t kMsTicks = kPcrHz / 1000; // PCR ticks per millisecond

struct PacedInput
{
    PacedInput() : pacer(clock) {}
    void AdvanceMs(int64_t nMs) { clock.Advance(nMs * 1000); }

    os::CManualClock clock;
    CPcrPacer pacer;
};

} // namespace

TEST(CPcrPacerTest, NotEarlyBeforeFirstPcr)
{
    PacedInput in;
    EXPECT_FALSE(in.pacer.IsEarly());
    in.pacer.InputPcr(-1); // no PCR: does not start the clock
    EXPECT_FALSE(in.pacer.HasStarted());
    in.pacer.InputPcr(0); // a first PCR of 0 starts it all the same
    EXPECT_TRUE(in.pacer.HasStarted());
}

TEST(CPcrPacerTest, EarlyUntilWallTimeCatchesUpWithPcrTime)
{
    PacedInput in;
    in.pacer.InputPcr(27'000'000);
    EXPECT_FALSE(in.pacer.IsEarly());
    in.pacer.InputPcr(54'000'000);
    EXPECT_EQ(in.pacer.GetPcrTime(), 27'000'000);
    EXPECT_TRUE(in.pacer.IsEarly());
    in.clock.Advance(999'999);
    EXPECT_TRUE(in.pacer.IsEarly());
    in.clock.Advance(1);
    EXPECT_FALSE(in.pacer.IsEarly());
}

TEST(CPcrPacerTest, WrapOfTheBaseIsAnOrdinaryStep)
{
    PacedInput in;
    in.pacer.InputPcr(2'576'980'377'000);
    in.pacer.InputPcr(599);
    EXPECT_EQ(in.pacer.GetPcrTime(), 1'199);
}

TEST(CPcrPacerTest, JumpAdvancesByTheLastRegularStep)
{
    struct Jump
    {
        int64_t nTo;
        bool bSignalled;
    };
    const int64_t nBase = 3600 * kPcrHz;
    // Back by 10 s, forward by an hour, and a signalled discontinuity whose
    // step looks ordinary: each counts as one 40 ms interval.
    for (const Jump& jump : {Jump{nBase - 10 * kPcrHz, false}, Jump{nBase + 3600 * kPcrHz, false},
                             Jump{nBase + 500 * kMsTicks, true}}) {
        PacedInput in;
        in.pacer.InputPcr(nBase - 80 * kMsTicks);
        in.pacer.InputPcr(nBase - 40 * kMsTicks);
        in.pacer.InputPcr(nBase);
        in.pacer.InputPcr(jump.nTo, jump.bSignalled);
        EXPECT_EQ(in.pacer.GetPcrTime(), 120 * kMsTicks) << jump.nTo;
        in.pacer.InputPcr(jump.nTo + 40 * kMsTicks);
        EXPECT_EQ(in.pacer.GetPcrTime(), 160 * kMsTicks) << jump.nTo;
    }
}

TEST(CPcrPacerTest, InputKeepsItsPaceAcrossDiscontinuities)
{
    // An input with a PCR every 10th packet, 40 ms apart, taken as the input
    // module takes it: while not early, packet after packet, every PCR fed.
    // Its PCR jumps back by a minute, then forward by an hour. Each PCR
    // packet must leave 40 ms after the one before: no stall, no burst.
    PacedInput in;
    std::vector<int64_t> vPcrs;
    int64_t nPcr = 90 * kPcrHz;
    for (int i = 0; i < 30; ++i) {
        vPcrs.push_back(nPcr);
        nPcr += 40 * kMsTicks;
        if (i == 10) {
            nPcr -= 60 * kPcrHz;
        } else if (i == 20) {
            nPcr += 3600 * kPcrHz;
        }
    }
    std::vector<int64_t> vLeaveMs;
    size_t nPacket = 0;
    const size_t nPackets = vPcrs.size() * 10;
    for (int64_t nMs = 0; nMs < 5000 && nPacket < nPackets; ++nMs) {
        while (nPacket < nPackets && !in.pacer.IsEarly()) {
            if (nPacket % 10 == 0) {
                in.pacer.InputPcr(vPcrs[nPacket / 10]);
                vLeaveMs.push_back(nMs);
            }
            ++nPacket;
        }
        in.AdvanceMs(1);
    }
    ASSERT_EQ(vLeaveMs.size(), vPcrs.size());
    for (size_t i = 2; i < vLeaveMs.size(); ++i) {
        EXPECT_EQ(vLeaveMs[i] - vLeaveMs[i - 1], 40) << "PCR packet " << i;
    }
}

TEST(CPcrPacerTest, InputPcrAndWaitBlocksUntilOnTime)
{
    PacedInput in;
    in.pacer.InputPcrAndWait(0); // the first PCR only starts the clock
    EXPECT_EQ(in.clock.SleepCount(), 0u);
    const int64_t nStart = in.clock.Micros();
    in.pacer.InputPcrAndWait(100 * kMsTicks);
    EXPECT_FALSE(in.pacer.IsEarly());
    EXPECT_EQ(in.clock.Micros() - nStart, 100'000);
    EXPECT_EQ(in.clock.SleepCount(), 10u);
}
