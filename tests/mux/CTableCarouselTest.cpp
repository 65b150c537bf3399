#include "mux/CTableCarousel.h"

#include "mux/CPsiBuilder.h"

#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace {

std::vector<CPsiTable> Tables(int nPrograms, int nVersion = 0)
{
    std::vector<_PROGRAM_INFO> programs;
    for (int k = 0; k < nPrograms; ++k) {
        programs.push_back({0x100 + 2 * k, 0x20, {{0x100 + 2 * k, 0x1B}, {0x101 + 2 * k, 0x0F}}});
    }
    std::vector<int> map(kPidCount, -1);
    CPsiBuilder builder;
    builder.AddInput(1, programs, map.data());
    std::vector<CPsiTable> vTables;
    EXPECT_TRUE(builder.BuildTables(vTables, nVersion));
    return vTables;
}

// The output as the mux core fills it, slot by slot: a due table packet
// first, else something else (PID -1 here). Tables of the builder have a PID
// each; a packet starts its table when it is the table's first, counter aside.
struct COutput
{
    std::vector<int> vPid;     // per slot
    std::vector<bool> vStart;  // per slot
    std::vector<uint8_t> vPsi; // the table packets
};

void Drive(CTableCarousel& carousel, const std::vector<CPsiTable>& vTables, int64_t nFrom,
           int64_t nTo, COutput& out)
{
    uint8_t packet[kTsPacketSize];
    for (int64_t n = nFrom; n < nTo; ++n) {
        const bool bDue = carousel.GetNextDueSlot() <= n;
        ASSERT_EQ(carousel.TakeDue(n, packet), bDue) << "slot " << n;
        const int nPid = bDue ? ((packet[1] & 0x1F) << 8) | packet[2] : -1;
        bool bStart = false;
        if (bDue) {
            out.vPsi.insert(out.vPsi.end(), packet, packet + kTsPacketSize);
            packet[3] &= 0xF0;
            for (const CPsiTable& table : vTables) {
                bStart |= table.nPid == nPid &&
                          std::equal(packet, packet + kTsPacketSize, table.vPackets.begin());
            }
        }
        out.vPid.push_back(nPid);
        out.vStart.push_back(bStart);
    }
}

tsr::CTsReader Read(const COutput& out)
{
    tsr::CTsReader reader;
    reader.LoadBuffer(out.vPsi.data(), out.vPsi.size());
    EXPECT_EQ(reader.GetCcErrors(), 0);
    EXPECT_EQ(reader.GetPsiErrors().nIncomplete + reader.GetPsiErrors().nCrc, 0);
    return reader;
}

std::map<int, std::vector<int64_t>> StartsByPid(const COutput& out)
{
    std::map<int, std::vector<int64_t>> starts;
    for (size_t n = 0; n < out.vPid.size(); ++n) {
        if (out.vStart[n]) {
            starts[out.vPid[n]].push_back(int64_t(n));
        }
    }
    return starts;
}

struct CLoad
{
    int nPrograms;
    int64_t nInterval; // slots
};

class CTableCarouselLoadTest : public ::testing::TestWithParam<CLoad>
{
};

} // namespace

TEST_P(CTableCarouselLoadTest, EveryTableRepeatsWithinTheIntervalSpreadOverIt)
{
    const CLoad load = GetParam();
    const std::vector<CPsiTable> vTables = Tables(load.nPrograms);
    CTableCarousel carousel(load.nInterval);
    carousel.SetTables(vTables, 0);
    COutput out;
    Drive(carousel, vTables, 0, 30 * load.nInterval, out);
    Read(out);
    EXPECT_EQ(carousel.GetPacketsSent(), int64_t(out.vPsi.size() / kTsPacketSize));

    std::vector<int> vFirstSet; // the first packets of the output
    size_t nMaxTable = 0;
    for (const CPsiTable& table : vTables) {
        vFirstSet.insert(vFirstSet.end(), table.vPackets.size() / kTsPacketSize, table.nPid);
        nMaxTable = std::max(nMaxTable, table.vPackets.size() / kTsPacketSize);
    }
    ASSERT_EQ(int(vFirstSet.size()), carousel.GetSetPacketCount());
    EXPECT_EQ(std::vector<int>(out.vPid.begin(), out.vPid.begin() + long(vFirstSet.size())),
              vFirstSet);

    const std::map<int, std::vector<int64_t>> starts = StartsByPid(out);
    EXPECT_EQ(starts.size(), vTables.size());
    for (const auto& entry : starts) {
        const std::vector<int64_t>& v = entry.second;
        EXPECT_GE(v.size(), 29u) << "PID " << entry.first;
        for (size_t k = 1; k < v.size(); ++k) {
            EXPECT_LE(v[k] - v[k - 1], load.nInterval) << "PID " << entry.first << " start " << k;
            EXPECT_GE(2 * (v[k] - v[k - 1]), load.nInterval) << "PID " << entry.first;
        }
    }
    // In steady state no burst of the whole set: the longest run of table
    // packets is about one table.
    size_t nLongest = 0;
    for (size_t n = size_t(3 * load.nInterval), nRun = 0; n < out.vPid.size(); ++n) {
        nRun = out.vPid[n] >= 0 ? nRun + 1 : 0;
        nLongest = std::max(nLongest, nRun);
    }
    EXPECT_LE(nLongest, 2 * nMaxTable);
}

// 2 programs at 1 Mbit/s, 12 at 10 Mbit/s, 200 at 40 Mbit/s (tables take
// about a tenth of the output), and a set of 26 packets in 30 slots.
INSTANTIATE_TEST_SUITE_P(Loads, CTableCarouselLoadTest,
                         ::testing::Values(CLoad{2, 53}, CLoad{12, 532}, CLoad{200, 2128},
                                           CLoad{20, 30}));

TEST(CTableCarouselTest, TablesThatCannotKeepUpGoInTurnNoneSkippedNoneTwice)
{
    // Over 200 packets a cycle, every 100 slots: always due. The caller
    // also stalls from slot 50 to 5000, then goes on.
    const std::vector<CPsiTable> vTables = Tables(200);
    CTableCarousel carousel(100);
    carousel.SetTables(vTables, 0);
    COutput out;
    Drive(carousel, vTables, 0, 50, out);
    Drive(carousel, vTables, 5000, 7000, out);
    Read(out);
    EXPECT_EQ(std::count(out.vPid.begin(), out.vPid.end(), -1), 0) << "always due";
    size_t nMin = SIZE_MAX, nMax = 0;
    for (const auto& entry : StartsByPid(out)) {
        nMin = std::min(nMin, entry.second.size());
        nMax = std::max(nMax, entry.second.size());
    }
    EXPECT_LE(nMax - nMin, 1u) << "in turn: no table skipped, none twice in a row";
    EXPECT_GE(nMin, size_t(2050 / carousel.GetSetPacketCount()));
}

TEST(CTableCarouselTest, NewSetLeadsRightAfterTheTableHalfSentAndCountersGoOn)
{
    const std::vector<CPsiTable> vOld = Tables(70); // its SDT runs over 14 packets
    const std::vector<CPsiTable> vNew = Tables(3, 1);
    int64_t nBeforeSdt = 0;
    for (size_t t = 0; t + 2 < vOld.size(); ++t) {
        nBeforeSdt += int64_t(vOld[t].vPackets.size() / kTsPacketSize);
    }
    const int64_t nSdtPackets = int64_t(vOld[vOld.size() - 2].vPackets.size() / kTsPacketSize);
    CTableCarousel carousel(1000);
    carousel.SetTables(vOld, 0);
    COutput out;
    const int64_t nSwitch = nBeforeSdt + 2; // two packets into the SDT
    Drive(carousel, vOld, 0, nSwitch, out);
    carousel.SetTables(vNew, nSwitch);
    Drive(carousel, vNew, nSwitch, 5000, out);

    const tsr::CTsReader reader = Read(out); // the SDT whole, counters unbroken
    EXPECT_EQ(reader.GetPat().nVersion, 1);
    EXPECT_EQ(reader.GetPat().programs.size(), 3u);
    const size_t nNewAt = size_t(nSwitch + nSdtPackets - 2);
    EXPECT_EQ(out.vPid[nNewAt], kPidPat);
    EXPECT_TRUE(out.vStart[nNewAt]);
    for (size_t n = nNewAt; n < out.vPid.size(); ++n) {
        ASSERT_LT(out.vPid[n], 1041) << "slot " << n << ": a program no longer in the set";
    }
}

// An SDT that repeats far less often than PAT and PMTs (its own interval, at
// the 5 % share rule's limit) keeps a place of its own among them: it never
// makes them late, and its packets are spread over its share of the cycle.
TEST(CTableCarouselTest, SlowTableKeepsItsPlaceAndItsIntervalAtTheLimit)
{
    const std::vector<CPsiTable> vTables = Tables(200);
    const int64_t nBase = 2128;
    const int64_t nSdt = 12 * nBase + nBase / 2; // taken down to 12 cycles
    CTableCarousel carousel(nBase);
    carousel.SetInterval(0x42, nSdt);
    carousel.SetTables(vTables, 0);
    COutput out;
    Drive(carousel, vTables, 0, 5 * nSdt, out);
    Read(out);
    const std::map<int, std::vector<int64_t>> starts = StartsByPid(out);
    for (const auto& entry : starts) {
        const std::vector<int64_t>& v = entry.second;
        const int64_t nLimit = entry.first == kPidSdt ? 12 * nBase : nBase;
        ASSERT_GE(v.size(), 4u) << "PID " << entry.first;
        for (size_t k = 1; k < v.size(); ++k) {
            EXPECT_LE(v[k] - v[k - 1], nLimit) << "PID " << entry.first << " start " << k;
        }
    }
    EXPECT_LE(starts.at(kPidSdt).size(), 7u) << "its own interval, not the base one";
    // Once the first round after the burst has settled no two SDT packets
    // come back to back.
    int64_t nLast = -10;
    for (int64_t n = 2 * nSdt; n < int64_t(out.vPid.size()); ++n) {
        if (out.vPid[size_t(n)] == kPidSdt) {
            EXPECT_GT(n - nLast, 1) << "slot " << n;
            nLast = n;
        }
    }
}
