#include "ts/CCalcPcrN1.h"

#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

namespace {

constexpr int64_t kByteTicks = int64_t(kTsPacketSize) * kPcrHz; // ticks * bytes/s per packet

// One outgoing packet through the calculators the way the output restamps
// it; returns the PCR it leaves with on its own PID (its own value when the
// calculator has no estimate yet, or at a signalled discontinuity).
int64_t Restamp(std::map<int, CCalcPcrN1>& calcs, int nPid, int64_t nOwnPcr,
                bool bDiscontinuity = false)
{
    int64_t nOut = nOwnPcr;
    for (auto& [nKey, calc] : calcs) {
        if (nKey == nPid && bDiscontinuity) {
            calc.RestartAt(nOwnPcr);
        } else if (nKey == nPid) {
            const int64_t nEst = calc.GetCurrentPcr();
            nOut = nEst == -1 ? nOwnPcr : nEst;
            calc.InputPcr(nOut);
        } else {
            calc.AddPacket();
        }
    }
    return nOut;
}

// The true PCR of a packet nDistance packets after the reference, in long
// double (exact products, one rounded division).
int64_t TruePcr(int64_t nRef, int64_t nDistance, double fRate)
{
    const long double fTicks = (long double)nDistance * kByteTicks / (long double)fRate;
    return PcrAdd(nRef, int64_t(std::floor(fTicks)));
}

// Distance on the wrapped PCR circle, either way round.
int64_t PcrDistance(int64_t a, int64_t b)
{
    const int64_t d = PcrForwardDelta(a, b);
    return std::min(d, kPcrModulo - d);
}

} // namespace

TEST(CCalcPcrN1Test, FreshCalculatorYieldsNothingAndDoesNotCount)
{
    CCalcPcrN1 learnt;
    learnt.AddPacket();
    EXPECT_EQ(learnt.GetCurrentPcr(), -1);
    EXPECT_EQ(learnt.GetPacketCount(), 0);

    CCalcPcrN1 given;
    given.SetRate(1'000'000.0);
    given.AddPacket();
    given.InputPcr(-1); // a packet of its PID before the first PCR
    EXPECT_EQ(given.GetCurrentPcr(), -1);
    EXPECT_EQ(given.GetPacketCount(), 0);
    EXPECT_EQ(given.GetLastPcr(), -1);
}

TEST(CCalcPcrN1Test, LearntRateComesFromTheLastTwoPcrs)
{
    CCalcPcrN1 calc;
    calc.InputPcr(0);
    EXPECT_EQ(calc.GetCurrentPcr(), -1); // one PCR gives no rate
    for (int i = 0; i < 99; ++i) {
        calc.AddPacket();
    }
    calc.InputPcr(27'000'000);
    EXPECT_DOUBLE_EQ(calc.GetRate(), 18'612.0);
    EXPECT_EQ(calc.GetPacketCount(), 1);
    for (int i = 0; i < 10; ++i) {
        calc.AddPacket();
    }
    EXPECT_EQ(calc.GetCurrentPcr(), 30'000'000);
}

TEST(CCalcPcrN1Test, LearntRateWithoutMeaningGivesNoEstimate)
{
    // The same value twice after some packets: infinite rate, the estimate
    // stays at the last PCR.
    CCalcPcrN1 inf;
    inf.InputPcr(500);
    inf.AddPacket();
    inf.InputPcr(500);
    inf.AddPacket();
    EXPECT_TRUE(std::isinf(inf.GetRate()));
    EXPECT_EQ(inf.GetCurrentPcr(), 500);

    // The same value twice with no packet between: 0/0.
    CCalcPcrN1 nan;
    nan.InputPcr(500);
    nan.InputPcr(500);
    nan.AddPacket();
    EXPECT_EQ(nan.GetCurrentPcr(), -1);

    // A later value with no packet between: rate 0, the distance infinite.
    CCalcPcrN1 zero;
    zero.InputPcr(500);
    zero.InputPcr(900);
    EXPECT_EQ(zero.GetRate(), 0.0);
    EXPECT_EQ(zero.GetCurrentPcr(), -1);
    zero.AddPacket();
    EXPECT_EQ(zero.GetCurrentPcr(), -1);

    // A step backwards: negative rate.
    CCalcPcrN1 back;
    back.InputPcr(900);
    back.AddPacket();
    back.InputPcr(500);
    EXPECT_EQ(back.GetCurrentPcr(), -1);
}

TEST(CCalcPcrN1Test, NegativeValueClearsTheLearntReference)
{
    CCalcPcrN1 calc;
    calc.InputPcr(0);
    calc.AddPacket();
    calc.InputPcr(5076);
    ASSERT_EQ(calc.GetCurrentPcr(), 2 * 5076); // the reference packet counts as 1
    calc.InputPcr(-1);
    EXPECT_EQ(calc.GetCurrentPcr(), -1);
    EXPECT_EQ(calc.GetLastPcr(), -1);
    calc.AddPacket(); // not counted without a reference
    calc.InputPcr(10'000);
    EXPECT_EQ(calc.GetCurrentPcr(), -1); // a reference again, but no rate yet
    calc.InputPcr(15'076);
    EXPECT_GT(calc.GetRate(), 0.0);
    EXPECT_EQ(calc.GetCurrentPcr(), 15'076 + 5076);
}

TEST(CCalcPcrN1Test, GivenRateStampsExactDistanceFromReference)
{
    // Reference 1,000,000 at 1,000,000 bytes/s: 5,076 ticks per packet, and
    // the PCR packet 10 packets later sits 10 packets later, not 9.
    std::map<int, CCalcPcrN1> calcs;
    calcs[0x100].SetRate(1'000'000.0);
    EXPECT_EQ(Restamp(calcs, 0x100, -1), -1); // no PCR yet: no reference
    EXPECT_EQ(Restamp(calcs, 0x1FFF, -1), -1);
    EXPECT_EQ(Restamp(calcs, 0x100, 1'000'000), 1'000'000); // first PCR kept
    for (int i = 1; i < 10; ++i) {
        Restamp(calcs, i % 2 ? 0x1FFF : 0x200, -1);
    }
    EXPECT_EQ(Restamp(calcs, 0x100, 42), 1'000'000 + 10 * 5076); // 1,050,760
    // A packet of the PID without a PCR takes the estimate and moves nothing.
    EXPECT_EQ(Restamp(calcs, 0x100, -1), 1'000'000 + 11 * 5076);
    for (int i = 12; i < 20; ++i) {
        Restamp(calcs, 0x1FFF, -1);
    }
    EXPECT_EQ(Restamp(calcs, 0x100, 7), 1'000'000 + 20 * 5076);
    EXPECT_EQ(calcs[0x100].GetLastPcr(), 1'000'000);
    EXPECT_DOUBLE_EQ(calcs[0x100].GetRate(), 1'000'000.0);
}

TEST(CCalcPcrN1Test, GivenRateWrapsWithTheBase)
{
    CCalcPcrN1 calc;
    calc.SetRate(1'000'000.0);
    calc.InputPcr(kPcrModulo - 100);
    EXPECT_EQ(calc.GetCurrentPcr(), 5076 - 100);
}

TEST(CCalcPcrN1Test, GivenUnusableRateLeavesOwnPcrs)
{
    for (double fRate : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
        std::map<int, CCalcPcrN1> calcs;
        calcs[0x100].SetRate(fRate);
        EXPECT_EQ(Restamp(calcs, 0x100, 1000), 1000);
        Restamp(calcs, 0x1FFF, -1);
        EXPECT_EQ(Restamp(calcs, 0x100, 9000), 9000) << fRate;
    }
    CCalcPcrN1 inf;
    inf.SetRate(std::numeric_limits<double>::infinity());
    inf.InputPcr(1000);
    inf.AddPacket();
    EXPECT_EQ(inf.GetCurrentPcr(), 1000); // no time passes at an infinite rate
}

TEST(CCalcPcrN1Test, RestartKeepsOwnPcrAndCountsFromIt)
{
    std::map<int, CCalcPcrN1> calcs;
    calcs[0x100].SetRate(1'000'000.0);
    calcs[0x200].SetRate(1'000'000.0);
    Restamp(calcs, 0x100, 1'000'000);
    Restamp(calcs, 0x200, 50);
    Restamp(calcs, 0x1FFF, -1);
    // The packet keeps its own PCR and becomes the reference; the other
    // calculator counts it like any packet.
    EXPECT_EQ(Restamp(calcs, 0x100, 77'000, true), 77'000);
    Restamp(calcs, 0x1FFF, -1);
    Restamp(calcs, 0x1FFF, -1);
    EXPECT_EQ(Restamp(calcs, 0x100, 5), 77'000 + 3 * 5076);
    EXPECT_EQ(Restamp(calcs, 0x200, 5), 50 + 6 * 5076);

    calcs[0x100].RestartAt(-1);
    EXPECT_EQ(calcs[0x100].GetCurrentPcr(), -1);
    EXPECT_EQ(Restamp(calcs, 0x100, 123), 123); // the next PCR is the reference
}

TEST(CCalcPcrN1Test, GivenRateHoldsEveryPcrToItsPositionOverAnHourAndTheWrap)
{
    // An hour at 6.7 Mbit/s (4,671 packets a second), the reference half an
    // hour before the wrap, PCRs on one PID every 3 to 7 packets and on a
    // second PID every 40. Re-learning the rate from each truncated estimate
    // drifts by ~160 ppm here (half a second an hour).
    const double fRate = 6.7 * kMbit / 8.0;
    const int64_t nPackets = int64_t(fRate * 3600.0 / kTsPacketSize);
    const int64_t nRefA = kPcrModulo - 1800 * kPcrHz;
    const int64_t nRefB = 123'456'789;
    std::map<int, CCalcPcrN1> calcs;
    calcs[0x101].SetRate(fRate);
    calcs[0x201].SetRate(fRate);

    int64_t nWorst = 0;
    int64_t nChecked = 0;
    int nGap = 0;
    bool bWrapped = false;
    int64_t nPrevA = -1;
    for (int64_t i = 0; i < nPackets; ++i) {
        if (i % 40 == 17) {
            const int64_t nOut = Restamp(calcs, 0x201, i == 17 ? nRefB : 0);
            nWorst = std::max(nWorst, PcrDistance(nOut, TruePcr(nRefB, i - 17, fRate)));
            ++nChecked;
        } else if (nGap == 0) {
            const int64_t nOut = Restamp(calcs, 0x101, i == 0 ? nRefA : 0);
            nWorst = std::max(nWorst, PcrDistance(nOut, TruePcr(nRefA, i, fRate)));
            bWrapped = bWrapped || (nPrevA >= 0 && nOut < nPrevA);
            nPrevA = nOut;
            ++nChecked;
            nGap = 3 + int(i % 5);
        } else {
            Restamp(calcs, 0x1FFF, -1);
            --nGap;
        }
    }
    EXPECT_LE(nWorst, 1);
    EXPECT_TRUE(bWrapped);
    EXPECT_GT(nChecked, 2'500'000);
}
