#include "mux/CTableCarousel.h"

#include "mux/CPsiBuilder.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

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

// The output as the mux core fills it: a due table packet first, else a
// null packet (-1 in vTable). Each table packet is tagged with its table
// and packet index, matched on the bytes less the continuity counter.
struct COutput
{
    std::vector<int> vTable;    // per slot
    std::vector<size_t> vIndex; // per slot: packet index within the table
    Bytes vBytes;               // every slot's packet, nulls included
};

void Drive(CTableCarousel& carousel, const std::vector<CPsiTable>& vTables, int64_t nFrom,
           int64_t nTo, COutput& out)
{
    std::map<Bytes, std::pair<int, size_t>> known;
    for (size_t t = 0; t < vTables.size(); ++t) {
        for (size_t i = 0; i < vTables[t].vPackets.size() / kTsPacketSize; ++i) {
            known[Bytes(vTables[t].vPackets.begin() + long(i * kTsPacketSize),
                        vTables[t].vPackets.begin() + long((i + 1) * kTsPacketSize))] = {int(t), i};
        }
    }
    uint8_t packet[kTsPacketSize];
    for (int64_t n = nFrom; n < nTo; ++n) {
        const bool bDue = carousel.GetNextDueSlot() <= n;
        ASSERT_EQ(carousel.TakeDue(n, packet), bDue) << "slot " << n;
        if (!bDue) {
            std::fill(packet, packet + kTsPacketSize, 0xFF);
            packet[0] = kSyncByte;
            packet[1] = 0x1F;
            packet[2] = 0xFF;
            packet[3] = 0x10;
            out.vTable.push_back(-1);
            out.vIndex.push_back(0);
        } else {
            Bytes key(packet, packet + kTsPacketSize);
            key[3] &= 0xF0;
            const auto it = known.find(key);
            ASSERT_NE(it, known.end()) << "slot " << n << ": a packet of no table";
            out.vTable.push_back(it->second.first);
            out.vIndex.push_back(it->second.second);
        }
        out.vBytes.insert(out.vBytes.end(), packet, packet + kTsPacketSize);
    }
}

tsr::CTsReader Read(const COutput& out)
{
    tsr::CTsReader reader;
    reader.LoadBuffer(out.vBytes.data(), out.vBytes.size());
    return reader;
}

// Slots at which each table starts; checks that a table's packets go out
// back to back, in order, from its first.
std::vector<std::vector<int64_t>> Starts(const COutput& out, const std::vector<CPsiTable>& vTables)
{
    std::vector<std::vector<int64_t>> vStarts(vTables.size());
    for (size_t n = 0; n < out.vTable.size(); ++n) {
        if (out.vTable[n] < 0 || out.vIndex[n] != 0) {
            continue;
        }
        const size_t nPackets = vTables[size_t(out.vTable[n])].vPackets.size() / kTsPacketSize;
        for (size_t i = 1; i < nPackets && n + i < out.vTable.size(); ++i) {
            EXPECT_EQ(out.vTable[n + i], out.vTable[n]) << "slot " << n + i;
            EXPECT_EQ(out.vIndex[n + i], i) << "slot " << n + i;
        }
        vStarts[size_t(out.vTable[n])].push_back(int64_t(n));
    }
    return vStarts;
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
    const int nSet = carousel.GetSetPacketCount();
    COutput out;
    const int64_t nSlots = 30 * load.nInterval;
    Drive(carousel, vTables, 0, nSlots, out);

    // The first set leads, whole and in order.
    size_t nSlot = 0;
    for (size_t t = 0; t < vTables.size(); ++t) {
        for (size_t i = 0; i < vTables[t].vPackets.size() / kTsPacketSize; ++i, ++nSlot) {
            ASSERT_EQ(out.vTable[nSlot], int(t)) << "slot " << nSlot;
        }
    }
    EXPECT_EQ(nSlot, size_t(nSet));

    const std::vector<std::vector<int64_t>> vStarts = Starts(out, vTables);
    for (size_t t = 0; t < vTables.size(); ++t) {
        const std::vector<int64_t>& v = vStarts[t];
        ASSERT_GE(v.size(), 29u) << "table " << t;
        for (size_t k = 1; k < v.size(); ++k) {
            EXPECT_LE(v[k] - v[k - 1], load.nInterval) << "table " << t << " start " << k;
            EXPECT_GE(2 * (v[k] - v[k - 1]), load.nInterval) << "table " << t << " start " << k;
        }
        EXPECT_GT(v.back() + load.nInterval, nSlots - 1) << "table " << t << " stopped";
    }

    // In steady state no burst of the whole set: the longest run of table
    // packets is a few tables long.
    size_t nLongest = 0, nMaxTable = 0;
    for (const CPsiTable& table : vTables) {
        nMaxTable = std::max(nMaxTable, table.vPackets.size() / kTsPacketSize);
    }
    for (size_t n = size_t(3 * load.nInterval), nRun = 0; n < out.vTable.size(); ++n) {
        nRun = out.vTable[n] >= 0 ? nRun + 1 : 0;
        nLongest = std::max(nLongest, nRun);
    }
    EXPECT_LE(nLongest, 2 * nMaxTable);

    const tsr::CTsReader reader = Read(out);
    EXPECT_EQ(reader.GetCcErrors(), 0);
    EXPECT_EQ(reader.GetPsiErrors().nIncomplete + reader.GetPsiErrors().nCrc, 0);
    EXPECT_EQ(carousel.GetPacketsSent(), int64_t(std::count_if(out.vTable.begin(), out.vTable.end(),
                                                               [](int t) { return t >= 0; })));
}

// 2 programs at 1 Mbit/s, 12 at 10 Mbit/s, 200 at 40 Mbit/s (tables take
// about a tenth of the output), and a set of 26 packets in 30 slots.
INSTANTIATE_TEST_SUITE_P(Loads, CTableCarouselLoadTest,
                         ::testing::Values(CLoad{2, 53}, CLoad{12, 532}, CLoad{200, 2128},
                                           CLoad{20, 30}));

TEST(CTableCarouselTest, TablesThatCannotKeepUpGoInTurnNoneSkippedNoneTwice)
{
    // 200 programs, over 200 packets a cycle, every 100 slots: always due.
    const std::vector<CPsiTable> vTables = Tables(200);
    CTableCarousel carousel(100);
    carousel.SetTables(vTables, 0);
    COutput out;
    // The caller stalls from slot 50 to 5000 (nothing taken), then goes on.
    Drive(carousel, vTables, 0, 50, out);
    EXPECT_LE(carousel.GetNextDueSlot(), 50);
    Drive(carousel, vTables, 5000, 7000, out);
    const std::vector<std::vector<int64_t>> vStarts = Starts(out, vTables);
    EXPECT_EQ(std::count(out.vTable.begin(), out.vTable.end(), -1), 0) << "always due";
    size_t nMin = SIZE_MAX, nMax = 0;
    for (const std::vector<int64_t>& v : vStarts) {
        nMin = std::min(nMin, v.size());
        nMax = std::max(nMax, v.size());
    }
    EXPECT_LE(nMax - nMin, 1u) << "in turn: no table skipped, none sent twice in a row";
    EXPECT_GE(nMin, size_t(2050 / carousel.GetSetPacketCount()));
    EXPECT_EQ(Read(out).GetCcErrors(), 0);
}

TEST(CTableCarouselTest, NewSetLeadsAtOnceAfterTheTableHalfSentAndCountersGoOn)
{
    const std::vector<CPsiTable> vOld = Tables(70); // SDT of several packets
    const std::vector<CPsiTable> vNew = Tables(3, 1);
    const size_t nSdt = vOld.size() - 2;
    int64_t nBeforeSdt = 0;
    for (size_t t = 0; t < nSdt; ++t) {
        nBeforeSdt += int64_t(vOld[t].vPackets.size() / kTsPacketSize);
    }
    const int64_t nSdtPackets = int64_t(vOld[nSdt].vPackets.size() / kTsPacketSize);
    ASSERT_GT(nSdtPackets, 2);
    std::vector<CPsiTable> vBoth = vOld;
    vBoth.insert(vBoth.end(), vNew.begin(), vNew.end());

    CTableCarousel carousel(1000);
    carousel.SetTables(vOld, 0);
    COutput out;
    const int64_t nSwitch = nBeforeSdt + 2; // two packets into the SDT
    Drive(carousel, vBoth, 0, nSwitch, out);
    carousel.SetTables(vNew, nSwitch);
    Drive(carousel, vBoth, nSwitch, 5000, out);

    const tsr::CTsReader reader = Read(out);
    EXPECT_EQ(reader.GetCcErrors(), 0);
    EXPECT_EQ(reader.GetPsiErrors().nIncomplete, 0) << "the half-sent SDT was finished";
    EXPECT_EQ(reader.GetPat().nVersion, 1);
    EXPECT_EQ(reader.GetPat().programs.size(), 3u);
    const int64_t nNewAt = nSwitch + nSdtPackets - 2;
    EXPECT_EQ(out.vTable[size_t(nNewAt)], int(vOld.size())) << "the new PAT right after the SDT";
    for (size_t n = size_t(nNewAt); n < out.vTable.size(); ++n) {
        ASSERT_TRUE(out.vTable[n] < 0 || out.vTable[n] >= int(vOld.size())) << "slot " << n;
    }
}
