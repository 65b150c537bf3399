#include "mux/CPacer.h"

#include "support/CMuxTestKit.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// 1,000 slots a second: a slot is 1 ms, a 7-packet datagram 7 ms.
constexpr int64_t kRate = 1000 * kTsPacketSize * 8;
constexpr int64_t kUnitMicros = 7000;
constexpr int64_t kLimitMicros = kUnitMicros * 100 / 110; // a unit at 10 % above the rate

CPacer::CConfig Network(int nGroupUnits = 1)
{
    CPacer::CConfig config;
    config.nUnitSlots = 7;
    config.nGroupUnits = nGroupUnits;
    config.nCatchUpPercent = 10;
    config.nMaxBatchSlots = 4096;
    config.nMaxLagMicros = 1'000'000;
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

    // Runs the driver's loop until nSlots are written; every write.
    std::vector<CWrite> WriteUntil(CPacer& pacer, int64_t nSlots)
    {
        std::vector<CWrite> v;
        while (m_nWritten < nSlots) {
            const int64_t nAllowed = pacer.GetAllowed(m_nWritten);
            if (nAllowed == 0) {
                pacer.SleepUntilAllowed(m_nWritten);
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

TEST_F(CPacerTest, OnTimeEachDatagramLeavesWhenItsLastPacketIsDue)
{
    CPacer pacer(m_time, Network(), m_clock);
    const int64_t nStart = m_clock.Micros();
    EXPECT_EQ(pacer.GetAllowed(0), 0);
    m_clock.Set(nStart + kUnitMicros - 1);
    EXPECT_EQ(pacer.GetAllowed(0), 0);
    const std::vector<CWrite> v = WriteUntil(pacer, 70);
    ASSERT_EQ(v.size(), 10u);
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(v[i].nAt, nStart + int64_t(i + 1) * kUnitMicros) << i;
        EXPECT_EQ(v[i].nSlots, 7);
    }
    EXPECT_EQ(pacer.GetMaxLagMicros(), 0);
}

// A group of units goes centred on their due times: a pair half a unit
// before the second is due.
TEST_F(CPacerTest, GroupLeavesCentredOnItsUnits)
{
    CPacer pacer(m_time, Network(2), m_clock);
    const int64_t nStart = m_clock.Micros();
    m_clock.Set(nStart + 2 * kUnitMicros - kUnitMicros / 2 - 1);
    EXPECT_EQ(pacer.GetAllowed(0), 0);
    m_clock.Advance(1);
    EXPECT_EQ(pacer.GetAllowed(0), 14);
}

// After a 200 ms stall the units owed leave one per write, each at least a
// unit's time / 1.1 after the last (far above half the spacing), until the
// output is back on its schedule about 2 s later; then at the spacing again.
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
    for (size_t i = 1; i < v.size(); ++i) {
        ASSERT_EQ(v[i].nSlots, 7) << i;
        const int64_t nGap = v[i].nAt - v[i - 1].nAt;
        ASSERT_GE(nGap, kLimitMicros) << i;
        ASSERT_LE(nGap, kUnitMicros) << i;
        if (nCaughtUp == 0 && v[i].nAt == nStart + int64_t(i + 2) * kUnitMicros) {
            nCaughtUp = i;
        }
    }
    ASSERT_GT(nCaughtUp, 0u) << "never back on schedule";
    // 193 ms at 0.64 ms gained per unit: about 300 units, 1.93 s.
    const int64_t nCatchUp = v[nCaughtUp].nAt - v[0].nAt;
    EXPECT_GT(nCatchUp, 1'900'000);
    EXPECT_LT(nCatchUp, 2'000'000);
    for (size_t i = nCaughtUp + 1; i < v.size(); ++i) {
        ASSERT_EQ(v[i].nAt - v[i - 1].nAt, kUnitMicros) << i;
    }
}

// A write the thread was preempted in counts from its end: the next one
// still keeps its distance.
TEST_F(CPacerTest, SlowWriteDoesNotBringTheNextCloser)
{
    CPacer pacer(m_time, Network(), m_clock);
    m_clock.Advance(100'000);
    ASSERT_EQ(pacer.GetAllowed(0), 7);
    m_clock.Advance(5000); // the send took 5 ms
    pacer.OnWritten(7);
    const int64_t nEnded = m_clock.Micros();
    EXPECT_EQ(pacer.GetAllowed(7), 0);
    pacer.SleepUntilAllowed(7);
    EXPECT_EQ(m_clock.Micros(), nEnded + kLimitMicros);
    EXPECT_EQ(pacer.GetAllowed(7), 7);
}

// Behind by more than the bound, the excess leaves at once (the output must
// keep its rate), the rest at the catch-up rate; one line says so.
TEST_F(CPacerTest, LagBeyondTheBoundGoesAtOnce)
{
    mtk::CLogCapture log;
    CPacer pacer(m_time, Network(), m_clock);
    m_clock.Advance(3'000'000);
    const int64_t nAtOnce = pacer.GetAllowed(0);
    // Units due more than 1 s ago: 2,000 slots, whole units.
    EXPECT_EQ(nAtOnce, 1995);
    m_nWritten = nAtOnce;
    pacer.OnWritten(nAtOnce);
    EXPECT_EQ(pacer.GetAllowed(m_nWritten), 0) << "the rest is paced";
    WriteUntil(pacer, m_nWritten + 70);
    EXPECT_EQ(pacer.GetMaxLagMicros(), 3'000'000 - kUnitMicros);
    EXPECT_EQ(mtk::CLogCapture::CountStarting("1 mux: the output fell 2993 ms behind"), 1);
}

// A file makes up everything at once, up to the batch limit per write.
TEST_F(CPacerTest, FileCatchesUpAtOnce)
{
    CPacer::CConfig config;
    config.nGroupUnits = 10; // 10 ms
    config.nMaxBatchSlots = 4096;
    CPacer pacer(m_time, config, m_clock);
    m_clock.Advance(500'000);
    EXPECT_EQ(pacer.GetAllowed(0), 500);
    m_clock.Advance(5'000'000);
    EXPECT_EQ(pacer.GetAllowed(500), 4096);
    pacer.OnWritten(4096);
    EXPECT_EQ(pacer.GetAllowed(4596), 5500 - 4596);
}
