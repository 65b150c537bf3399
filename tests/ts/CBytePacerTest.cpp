#include "ts/CBytePacer.h"

#include "os/CClock.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

// A pacer on a manual clock, started at the clock's first reading.
struct PacedOutput
{
    explicit PacedOutput(double fBitRate) : pacer(clock)
    {
        pacer.SetBitRate(float(fBitRate / kMbit));
        pacer.Start();
    }
    void AdvanceMs(int64_t nMs) { clock.Advance(nMs * 1000); }

    os::CManualClock clock;
    CBytePacer pacer;
};

// The smallest whole-packet amount that brings the achieved rate up to the
// target, found the slow way: one packet at a time.
int DueByPacketSteps(double fTarget, int64_t nSent, int64_t nMs)
{
    int64_t r = 0;
    while ((long double)(nSent + r) * 8000 < (long double)fTarget * nMs) {
        r += kTsPacketSize;
    }
    return int(r);
}

} // namespace

TEST(CBytePacerTest, RateIsSetInUnitsOfTwoToTheTwentyBits)
{
    CBytePacer pacer;
    pacer.SetBitRate(2.0f);
    EXPECT_DOUBLE_EQ(pacer.GetTargetRate(), 2'097'152.0);
}

TEST(CBytePacerTest, DueBytesAreWholePacketsThatReachTheTarget)
{
    PacedOutput out(2'097'152.0);
    EXPECT_EQ(out.pacer.GetDueBytes(), 0); // within the first millisecond
    out.AdvanceMs(100);
    // 26,132 bytes would give only 2,090,560 bit/s.
    EXPECT_EQ(out.pacer.GetDueBytes(), 26'320);
    out.pacer.AddSentBytes(26'320);
    EXPECT_EQ(out.pacer.GetDueBytes(), 0);
}

TEST(CBytePacerTest, DueBytesMatchPacketByPacketSearch)
{
    for (double fRate : {1'000.0, 2'097'152.0, 7'025'459.2, 8'000'000.0, 38'000'000.0}) {
        for (int64_t nMs : {1, 7, 100, 999, 1000, 1001, 65'537}) {
            for (int64_t nSentPackets : {0, 1, 5000, 70'000}) {
                PacedOutput out(fRate);
                out.AdvanceMs(nMs);
                out.pacer.AddSentBytes(int(nSentPackets * kTsPacketSize));
                const double fTarget = out.pacer.GetTargetRate();
                EXPECT_EQ(out.pacer.GetDueBytes(),
                          DueByPacketSteps(fTarget, nSentPackets * kTsPacketSize, nMs))
                    << fRate << " bit/s, " << nMs << " ms, " << nSentPackets << " packets";
            }
        }
    }
}

TEST(CBytePacerTest, LongStallIsAnsweredExactly)
{
    // 100 s behind at 100 Mbit/s: seven million packets owed, the same
    // answer as the packet-by-packet search.
    PacedOutput out(100.0 * kMbit);
    out.AdvanceMs(100'000);
    out.pacer.AddSentBytes(188'000);
    EXPECT_EQ(out.pacer.GetDueBytes(),
              DueByPacketSteps(out.pacer.GetTargetRate(), 188'000, 100'000));

    // Ten hours behind owe more than an int holds: all that fits is due.
    PacedOutput stall(100.0 * kMbit);
    stall.AdvanceMs(36'000'000);
    EXPECT_EQ(stall.pacer.GetDueBytes(), INT_MAX / kTsPacketSize * kTsPacketSize);
}

TEST(CBytePacerTest, NothingIsDueWithoutRate)
{
    PacedOutput out(0.0);
    out.AdvanceMs(5000);
    EXPECT_EQ(out.pacer.GetDueBytes(), 0);
    EXPECT_TRUE(out.pacer.Wait());
    EXPECT_EQ(out.clock.SleepCount(), 0u);
}

TEST(CBytePacerTest, WaitReturnsAtOnceOnSchedule)
{
    PacedOutput out(8'000'000.0);
    out.pacer.AddSentBytes(1'000'000);
    out.AdvanceMs(1000);
    EXPECT_TRUE(out.pacer.Wait());
    EXPECT_EQ(out.clock.SleepCount(), 0u);
    EXPECT_EQ(out.pacer.GetDueBytes(), 0);
}

TEST(CBytePacerTest, WaitSleepsInStepsWhileAhead)
{
    // 1,000,188 bytes after 1000 ms are 8,001,000 bit/s, ahead of 8,000,000;
    // from 1001 ms on (7,993,000 bit/s) the output may go on.
    PacedOutput out(8'000'000.0);
    out.pacer.AddSentBytes(1'000'188);
    out.AdvanceMs(1000);
    const int64_t nStart = out.clock.Micros();
    EXPECT_TRUE(out.pacer.Wait());
    EXPECT_EQ(out.clock.SleepCount(), 1u);
    EXPECT_EQ(out.clock.Micros() - nStart, 10'000);

    PacedOutput edge(8'000'000.0);
    edge.pacer.AddSentBytes(1'000'188);
    edge.AdvanceMs(1001);
    EXPECT_TRUE(edge.pacer.Wait());
    EXPECT_EQ(edge.clock.SleepCount(), 0u);
}

TEST(CBytePacerTest, SendsAtTheTargetRateNotAThousandBitsAbove)
{
    // An hour in 10 ms steps at a rate that is no multiple of 1000 bit/s:
    // what has been sent never runs more than one packet ahead of the rate,
    // and never falls a packet behind it after a step.
    PacedOutput out(2.9074411 * kMbit);
    const long double fTarget = out.pacer.GetTargetRate();
    for (int64_t nMs = 10; nMs <= 3'600'000; nMs += 10) {
        out.AdvanceMs(10);
        ASSERT_TRUE(out.pacer.Wait());
        out.pacer.AddSentBytes(out.pacer.GetDueBytes());
        const long double fExact = fTarget * nMs / 8000;
        const long double fSent = (long double)out.pacer.GetSentBytes();
        ASSERT_LT(fSent - fExact, kTsPacketSize) << nMs << " ms";
        ASSERT_GE(fSent - fExact, 0.0L) << nMs << " ms";
    }
}
