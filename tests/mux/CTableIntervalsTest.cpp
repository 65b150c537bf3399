#include "mux/CTableIntervals.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

CPsiTable Table(uint8_t nTableId, int nPackets)
{
    CPsiTable table;
    table.nTableId = nTableId;
    table.vPackets.assign(size_t(nPackets) * kTsPacketSize, 0xFF);
    return table;
}

// PAT of 1, 10 PMTs, an SDT of 8 and a NIT of 1 packet: 20 packets.
std::vector<CPsiTable> Set()
{
    std::vector<CPsiTable> v{Table(kTableIdPat, 1)};
    for (int k = 0; k < 10; ++k) {
        v.push_back(Table(kTableIdPmt, 1));
    }
    v.push_back(Table(kTableIdSdt, 8));
    v.push_back(Table(kTableIdNit, 1));
    return v;
}

} // namespace

TEST(CTableIntervalsTest, SdtAndNitStretchOnlyPastTheShareAndNoFurtherThanTheirLimits)
{
    const std::vector<CPsiTable> vTables = Set();
    CTableIntervals intervals;
    intervals.Choose(vTables, 0);
    const long long llAll = intervals.BitRate(vTables); // everything at 80 ms
    EXPECT_NEAR(double(llAll), 20.0 * 1504 * 1000 / 76, 4.0) << "every kind rounded up";
    EXPECT_EQ(intervals.GetSdtMs(), 80);

    // The share edge: at exactly 5 % all stay; a bit/s less and they stretch.
    const int64_t nEdge = llAll * 100 / kTableSharePercent;
    intervals.Choose(vTables, nEdge + 20);
    EXPECT_EQ(intervals.GetSdtMs(), 80);
    EXPECT_EQ(intervals.GetNitMs(), 80);
    intervals.Choose(vTables, nEdge - 20);
    EXPECT_GT(intervals.GetSdtMs(), 80);
    EXPECT_LE(intervals.BitRate(vTables), (nEdge - 20) * kTableSharePercent / 100);
    EXPECT_EQ(intervals.GetMs(kTableIdPmt), 80);

    // Far past it: the SDT at its limit, the NIT at its own, PAT/PMT as ever.
    intervals.Choose(vTables, 1'000'000);
    EXPECT_EQ(intervals.GetSdtMs(), kSdtMaxIntervalMs);
    EXPECT_EQ(intervals.GetNitMs(), kNitMaxIntervalMs);
    EXPECT_EQ(intervals.GetCycleMs(kTableIdSdt) % 76, 0) << "a whole number of PAT cycles";
    EXPECT_LE(intervals.GetCycleMs(kTableIdSdt), kSdtMaxIntervalMs);
}

TEST(CTableIntervalsTest, IntervalsSetByHandStayWhateverTheLoad)
{
    CTableIntervals intervals;
    intervals.SetSdtMs(2000);
    intervals.SetNitMs(25);
    intervals.Choose(Set(), 100'000'000);
    EXPECT_EQ(intervals.GetSdtMs(), 2000) << "light load: still as set";
    intervals.Choose(Set(), 1'000'000);
    EXPECT_EQ(intervals.GetSdtMs(), 2000);
    EXPECT_EQ(intervals.GetNitMs(), 25);
    EXPECT_EQ(intervals.GetCycleMs(kTableIdNit), 23) << "below 80 ms: its own cycle";
}
