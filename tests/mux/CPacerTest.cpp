#include "mux/CPacer.h"

#include "support/CMuxTestKit.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// 1,000 slots a second: a slot is 1 ms, a 7-packet datagram 7 ms.
constexpr int64_t kRate = 1000 * kTsPacketSize * 8;
constexpr int64_t kUnitMicros = 7000;
constexpr int64_t kHalfMicros = kUnitMicros / 2;
constexpr int64_t kLimitMicros = kUnitMicros * 100 / 110; // a unit at 10 % above the rate
constexpr int64_t kLeewayMicros = 10'000;

CPacer::CConfig Network(int nGroupUnits = 1)
{
    CPacer::CConfig config;
    config.nUnitSlots = 7;
    config.nGroupUnits = nGroupUnits;
    config.nCatchUpPercent = 10;
    config.nMaxBatchSlots = 4096;
    config.nLeewayMicros = kLeewayMicros;
    config.nMaxLagMicros = 1'000'000;
    config.nBurstGroups = 4;
    return config;
}

class CPacerTest : public ::testing::Test
{
protected:
    struct CWrite
    {
        int64_t nAt; // clock, microseconds
        int64_t nSlots;
    };

    // Runs the driver's loop until nSlots are written; every write. A write
    // takes no time unless nWriteMicros says otherwise.
    std::vector<CWrite> WriteUntil(CPacer& pacer, int64_t nSlots)
    {
        std::vector<CWrite> v;
        while (m_nWritten < nSlots) {
            const int64_t nAllowed = pacer.GetAllowed();
            if (nAllowed == 0) {
                pacer.SleepUntilAllowed();
                continue;
            }
            v.push_back({m_clock.Micros(), nAllowed});
            m_nWritten += nAllowed;
            pacer.OnWritten(nAllowed);
        }
        return v;
    }

    const COutputTime m_time{kRate};
    os::CManualClock m_clock;
    int64_t m_nWritten = 0;
};

} // namespace

// On time, each datagram leaves when its last packet is due; a group of
// them goes centred on their due times (a pair, half a unit early).
TEST_F(CPacerTest, OnTimeUnitsLeaveAtTheirDueTimeGroupsCentred)
{
    CPacer pacer(m_time, Network(), m_clock);
    const int64_t nStart = m_clock.Micros();
    m_clock.Set(nStart + kUnitMicros - 1);
    EXPECT_EQ(pacer.GetAllowed(), 0);
    const std::vector<CWrite> v = WriteUntil(pacer, 70);
    ASSERT_EQ(v.size(), 10u);
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(v[i].nAt, nStart + int64_t(i + 1) * kUnitMicros) << i;
        EXPECT_EQ(v[i].nSlots, 7);
    }
    EXPECT_EQ(pacer.GetMaxLagMicros(), 0);

    CPacer pairs(m_time, Network(2), m_clock);
    m_clock.Advance(2 * kUnitMicros - kHalfMicros - 1);
    EXPECT_EQ(pairs.GetAllowed(), 0);
    m_clock.Advance(1);
    EXPECT_EQ(pairs.GetAllowed(), 14);
}

// After a 200 ms stall the units owed leave one per write: the first few at
// half the spacing (the leeway), then at a unit's time / 1.1, until the
// output is back on its schedule about 1.8 s later; then at the spacing.
TEST_F(CPacerTest, StallIsMadeUpAtTenPercentAboveTheRateThenOnSchedule)
{
    CPacer pacer(m_time, Network(), m_clock);
    const int64_t nStart = m_clock.Micros();
    WriteUntil(pacer, 7);
    m_clock.Advance(200'000);
    const std::vector<CWrite> v = WriteUntil(pacer, 7 * 700);
    // The unit after the first was due 7 ms into the stall.
    EXPECT_EQ(pacer.GetMaxLagMicros(), 200'000 - kUnitMicros);
    size_t nCaughtUp = 0;
    int nHalf = 0;
    for (size_t i = 1; i < v.size(); ++i) {
        ASSERT_EQ(v[i].nSlots, 7) << i;
        const int64_t nGap = v[i].nAt - v[i - 1].nAt;
        ASSERT_GE(nGap, kHalfMicros) << i;
        ASSERT_LE(nGap, kUnitMicros) << i;
        nHalf += nGap < kLimitMicros;
        if (nCaughtUp == 0 && v[i].nAt == nStart + int64_t(i + 2) * kUnitMicros) {
            nCaughtUp = i;
        }
    }
    EXPECT_EQ(nHalf, 4) << "the 10 ms leeway, spent on the first writes";
    ASSERT_GT(nCaughtUp, 0u) << "never back on schedule";
    // 193 ms, 10.5 of them in the leeway, the rest at 0.64 ms a unit: 1.8 s.
    const int64_t nCatchUp = v[nCaughtUp].nAt - v[0].nAt;
    EXPECT_GT(nCatchUp, 1'750'000);
    EXPECT_LT(nCatchUp, 1'850'000);
    for (size_t i = nCaughtUp + 1; i < v.size(); ++i) {
        ASSERT_EQ(v[i].nAt - v[i - 1].nAt, kUnitMicros) << i;
    }
}

// A wake-up the machine made late is made up within the leeway: the next
// datagrams go at half the spacing and the schedule holds; 10 % alone would
// let a late wake-up every few datagrams pile up lag for ever.
TEST_F(CPacerTest, LateWakeUpsDoNotPileUpLag)
{
    CPacer pacer(m_time, Network(), m_clock);
    const int64_t nStart = m_clock.Micros();
    for (int k = 1; k <= 40; ++k) {
        const int64_t nWritten = m_nWritten;
        pacer.SleepUntilAllowed();
        if (k % 4 == 1) {
            m_clock.Advance(5000); // woken 5 ms late
        }
        const int64_t nAllowed = pacer.GetAllowed();
        if (nAllowed > 0) {
            m_nWritten += nAllowed;
            pacer.OnWritten(nAllowed);
        }
        ASSERT_LE(m_nWritten - nWritten, 7);
    }
    // Each late one made up by the wake-up after next: the last write on time.
    EXPECT_EQ(m_clock.Micros(), nStart + m_nWritten * 1000);
    EXPECT_EQ(m_nWritten, 40 * 7);
    EXPECT_EQ(pacer.GetMaxLagMicros(), 5000);
}

// A write the thread was preempted in counts from its end: the next one
// still keeps half the spacing.
TEST_F(CPacerTest, SlowWriteDoesNotBringTheNextCloser)
{
    CPacer pacer(m_time, Network(), m_clock);
    m_clock.Advance(100'000);
    ASSERT_EQ(pacer.GetAllowed(), 7);
    m_clock.Advance(5000); // the send took 5 ms
    pacer.OnWritten(7);
    const int64_t nEnded = m_clock.Micros();
    EXPECT_EQ(pacer.GetAllowed(), 0);
    pacer.SleepUntilAllowed();
    EXPECT_EQ(m_clock.Micros(), nEnded + kHalfMicros);
    EXPECT_EQ(pacer.GetAllowed(), 7);
}

// Behind by more than the bound, writes carry four units, half a unit
// apart, uncharged, until the lag is back within it; behind by more than
// twice the bound, what is owed past the bound leaves at once. One line.
TEST_F(CPacerTest, LagBeyondTheBoundGoesInBurstsThenAtOnce)
{
    mtk::CLogCapture log;
    CPacer pacer(m_time, Network(), m_clock);
    const int64_t nStart = m_clock.Micros();
    m_clock.Advance(1'500'000);
    std::vector<CWrite> v;
    while (v.empty() || v.back().nSlots == 28) {
        const std::vector<CWrite> vOne = WriteUntil(pacer, m_nWritten + 1);
        v.insert(v.end(), vOne.begin(), vOne.end());
    }
    ASSERT_GT(v.size(), 2u);
    for (size_t i = 1; i + 1 < v.size(); ++i) {
        ASSERT_EQ(v[i].nAt - v[i - 1].nAt, kHalfMicros) << i;
    }
    EXPECT_EQ(v.back().nSlots, 7) << "within the bound: a unit a write again";
    EXPECT_LE(v.back().nAt - (nStart + m_nWritten * 1000), 1'000'000);

    m_clock.Advance(3'000'000);
    const int64_t nAtOnce = pacer.GetAllowed();
    EXPECT_EQ(m_nWritten + nAtOnce, (m_clock.Micros() - nStart - 1'000'000) / 1000 / 7 * 7)
        << "the whole units due more than 1 s ago";
    m_nWritten += nAtOnce;
    pacer.OnWritten(nAtOnce);
    m_clock.Advance(kHalfMicros);
    EXPECT_GT(pacer.GetAllowed(), 0) << "not held back by what went at once";
    EXPECT_EQ(mtk::CLogCapture::CountStarting("1 mux: the output fell 1493 ms behind"), 1);
}

// Told to hurry (a live input's queue filling behind the lag), the pacer
// writes what is owed at once, uncharged; on time, hurrying changes nothing.
TEST_F(CPacerTest, HurryMakesUpAtOnce)
{
    CPacer pacer(m_time, Network(), m_clock);
    m_clock.Advance(kUnitMicros);
    EXPECT_EQ(pacer.GetAllowed(true), 7);
    EXPECT_FALSE(pacer.IsHurrying());
    pacer.OnWritten(7);
    m_clock.Advance(200'000);
    EXPECT_EQ(pacer.GetAllowed(true), 203 - 7) << "the whole units due by 207 ms";
    EXPECT_TRUE(pacer.IsHurrying());
    pacer.OnWritten(196);
    m_clock.Advance(kHalfMicros);
    EXPECT_EQ(pacer.GetAllowed(), 7) << "the unit due at 210 ms, not held back";
    EXPECT_FALSE(pacer.IsHurrying());
}

// A file makes up everything at once, up to the batch limit per write.
TEST_F(CPacerTest, FileCatchesUpAtOnce)
{
    CPacer::CConfig config;
    config.nGroupUnits = 10; // 10 ms
    config.nMaxBatchSlots = 4096;
    CPacer pacer(m_time, config, m_clock);
    m_clock.Advance(500'000);
    EXPECT_EQ(pacer.GetAllowed(), 500);
    pacer.OnWritten(500);
    m_clock.Advance(5'000'000);
    EXPECT_EQ(pacer.GetAllowed(), 4096);
    pacer.OnWritten(4096);
    EXPECT_EQ(pacer.GetAllowed(), 5500 - 4596);
}
