// The console program with a scrambled input: what --ca pass carries and
// what the default leaves out.
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTestStream.h"
#include "support/CTsReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

// CA_system_ID and CA_PID of each CA descriptor of a raw loop.
std::vector<std::pair<int, int>> CaOf(const tsr::Bytes& v)
{
    std::vector<std::pair<int, int>> vCa;
    for (size_t i = 0; i + 6 <= v.size(); i += 2 + v[i + 1]) {
        if (v[i] == 0x09) {
            vCa.emplace_back((v[i + 2] << 8) | v[i + 3], ((v[i + 4] << 8) | v[i + 5]) & 0x1FFF);
        }
    }
    return vCa;
}

tsr::CTsReader Mux(const std::string& sDir, const std::string& sIn, const char* szCa)
{
    const std::string sOut = sDir + "/out-" + szCa + ".ts";
    const ToolResult run =
        CToolRun::Run({BM_CLI_PATH, "--fast", "--ca", szCa, "-o", sOut, sIn}, sDir, 60);
    EXPECT_EQ(run.nStatus, 0) << run.sOut << run.sErr;
    tsr::CTsReader out;
    EXPECT_TRUE(out.LoadFile(sOut));
    EXPECT_EQ(out.GetPsiErrors().nCrc + out.GetCcErrors(), 0);
    return out;
}

} // namespace

TEST(BraidmillCaTest, PassCarriesEcmAndEmmPidsRemappedAndTheDefaultLeavesThemOut)
{
    const std::string sDir = CStreamMaker::MakeWorkDir(), sIn = sDir + "/scrambled.ts";
    tsb::StreamSpec shape;
    shape.nPrograms = 2;
    shape.fSeconds = 2.0;
    shape.bScrambled = true;
    const tsb::CTestStream in(shape);
    ASSERT_TRUE(in.WriteFile(sIn));

    const tsr::CTsReader out = Mux(sDir, sIn, "pass");
    for (uint16_t nProgram : {101, 102}) {
        const tsr::Pmt* pPmt = out.FindPmt(nProgram);
        ASSERT_TRUE(pPmt != nullptr && pPmt->streams.size() == 2);
        const tsb::StreamProgram& inProgram = in.GetPrograms()[size_t(nProgram - 101)];
        const auto vProgramCa = CaOf(pPmt->programInfo), vVideoCa = CaOf(pPmt->streams[0].descriptors);
        ASSERT_TRUE(vProgramCa.size() == 1 && vVideoCa.size() == 1);
        EXPECT_TRUE(vProgramCa[0].first == 0x0B00 && vVideoCa[0].first == 0x0100);
        // Each ECM PID from the program's block, after its streams, with the
        // input's ECM packets in order.
        for (const auto& [nOutPid, nInPid] : {std::pair{vProgramCa[0].second, inProgram.nEcmPid},
                                              std::pair{vVideoCa[0].second, inProgram.nVideoEcmPid}}) {
            EXPECT_GT(nOutPid, pPmt->streams[1].nPid);
            EXPECT_LT(nOutPid, pPmt->nPmtPid + 10);
            const auto vOut = tsr::CTsReader::ComparableAll(out.GetPackets(uint16_t(nOutPid)));
            const auto vIn = tsr::CTsReader::ComparableAll(in.GetPacketsOf(nInPid));
            ASSERT_GT(vOut.size(), 5u);
            EXPECT_NE(std::search(vIn.begin(), vIn.end(), vOut.begin(), vOut.end()), vIn.end());
        }
        // Scrambled payload leaves as it came.
        const std::vector<tsr::Bytes> vVideo = out.GetPackets(pPmt->streams[0].nPid);
        ASSERT_GT(vVideo.size(), 100u);
        EXPECT_TRUE(std::all_of(vVideo.begin(), vVideo.end(), [](const tsr::Bytes& p) {
            return (p[3] & 0x10) == 0 || (p[3] & 0xC0) == 0x80;
        }));
    }
    ASSERT_TRUE(out.HasCat());
    const auto vCat = CaOf(out.GetCatDescriptors());
    ASSERT_EQ(vCat.size(), 1u);
    EXPECT_EQ(vCat[0].first, 0x0B00);
    EXPECT_TRUE(vCat[0].second >= 0x0020 && vCat[0].second < 1011) << vCat[0].second;
    EXPECT_GT(out.GetPackets(uint16_t(vCat[0].second)).size(), 5u) << "EMM packets";
    // The CAT goes with the PAT, about every 80 ms.
    EXPECT_LE(out.GetRepetition(0x0001, 1).nMaxGapPackets,
              out.GetRepetition(0x0000, 1).nMaxGapPackets + 2);
    for (const tsr::SdtService& service : out.GetSdt().services) {
        EXPECT_TRUE(service.bFreeCa) << "from the PMT's CA descriptors: the input has no SDT";
    }

    // The default: programs, streams and PCRs only.
    const tsr::CTsReader dropped = Mux(sDir, sIn, "drop");
    std::set<uint16_t> vPids{0x0000, 0x0010, 0x0011, 0x1FFF};
    for (const auto& [nProgram, pmt] : dropped.GetPmts()) {
        EXPECT_TRUE(CaOf(pmt.programInfo).empty() && CaOf(pmt.streams[0].descriptors).empty());
        vPids.insert({pmt.nPmtPid, pmt.nPcrPid, pmt.streams[0].nPid, pmt.streams[1].nPid});
    }
    for (const auto& [nPid, nCount] : dropped.GetPidCounts()) {
        EXPECT_EQ(vPids.count(nPid), 1u) << "PID " << nPid;
    }
    EXPECT_FALSE(dropped.HasCat());
    EXPECT_FALSE(dropped.GetSdt().services[0].bFreeCa);
}
