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

struct CCa
{
    uint16_t nSystemId;
    uint16_t nPid;
};

// The CA descriptors of a raw descriptor loop.
std::vector<CCa> CaOf(const tsr::Bytes& vLoop)
{
    std::vector<CCa> vCa;
    for (size_t i = 0; i + 2 <= vLoop.size(); i += 2 + vLoop[i + 1]) {
        if (vLoop[i] == 0x09 && vLoop[i + 1] >= 4 && i + 6 <= vLoop.size()) {
            vCa.push_back({uint16_t((vLoop[i + 2] << 8) | vLoop[i + 3]),
                           uint16_t(((vLoop[i + 4] << 8) | vLoop[i + 5]) & 0x1FFF)});
        }
    }
    return vCa;
}

class BraidmillCaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_sDir = CStreamMaker::MakeWorkDir();
        m_sIn = m_sDir + "/scrambled.ts";
        m_shape.nPrograms = 2;
        m_shape.fSeconds = 2.0;
        m_shape.bScrambled = true;
        ASSERT_TRUE(tsb::CTestStream(m_shape).WriteFile(m_sIn));
    }

    // Runs the program on the scrambled input; the output, read.
    void Mux(const std::vector<std::string>& vOptions, tsr::CTsReader& out)
    {
        const std::string sOut = m_sDir + "/out.ts";
        std::vector<std::string> vArgs{BM_CLI_PATH, "--fast"};
        vArgs.insert(vArgs.end(), vOptions.begin(), vOptions.end());
        vArgs.insert(vArgs.end(), {"-o", sOut, m_sIn});
        const ToolResult run = CToolRun::Run(vArgs, m_sDir, 60);
        ASSERT_EQ(run.nStatus, 0) << run.sOut << run.sErr;
        ASSERT_TRUE(out.LoadFile(sOut));
        EXPECT_EQ(out.GetPsiErrors().nCrc, 0);
        EXPECT_EQ(out.GetCcErrors(), 0);
    }

    std::string m_sDir, m_sIn;
    tsb::StreamSpec m_shape;
};

} // namespace

TEST_F(BraidmillCaTest, PassKeepsCaDescriptorsCarriesEcmAndEmmPidsAndBuildsACat)
{
    tsr::CTsReader out;
    ASSERT_NO_FATAL_FAILURE(Mux({"--ca", "pass"}, out));
    const tsb::CTestStream in(m_shape);
    const std::map<uint16_t, size_t> counts = out.GetPidCounts();
    for (uint16_t nProgram : {101, 102}) {
        SCOPED_TRACE(nProgram);
        const tsr::Pmt* pPmt = out.FindPmt(nProgram);
        ASSERT_NE(pPmt, nullptr);
        const tsb::StreamProgram& inProgram = in.GetPrograms()[size_t(nProgram - 101)];
        const std::vector<CCa> vProgramCa = CaOf(pPmt->programInfo);
        ASSERT_EQ(pPmt->streams.size(), 2u);
        const std::vector<CCa> vVideoCa = CaOf(pPmt->streams[0].descriptors);
        ASSERT_EQ(vProgramCa.size(), 1u);
        ASSERT_EQ(vVideoCa.size(), 1u);
        EXPECT_EQ(vProgramCa[0].nSystemId, 0x0B00);
        EXPECT_EQ(vVideoCa[0].nSystemId, 0x0100);
        // The ECM PIDs: from the program's block, apart from its streams,
        // carrying the input's ECM sections.
        for (const auto& [nOutPid, nInPid] : {std::pair{vProgramCa[0].nPid, inProgram.nEcmPid},
                                              std::pair{vVideoCa[0].nPid, inProgram.nVideoEcmPid}}) {
            EXPECT_GT(nOutPid, pPmt->nPmtPid);
            EXPECT_LT(nOutPid, pPmt->nPmtPid + 10);
            EXPECT_NE(nOutPid, pPmt->streams[0].nPid);
            EXPECT_NE(nOutPid, pPmt->streams[1].nPid);
            const std::vector<tsr::Bytes> vOut = tsr::CTsReader::ComparableAll(out.GetPackets(nOutPid));
            const std::vector<tsr::Bytes> vIn = tsr::CTsReader::ComparableAll(in.GetPacketsOf(nInPid));
            ASSERT_GT(vOut.size(), 5u) << "PID " << nOutPid;
            EXPECT_TRUE(std::search(vIn.begin(), vIn.end(), vOut.begin(), vOut.end()) != vIn.end())
                << "the input's ECM packets, in order";
        }
        // Scrambled payload leaves as it came.
        ASSERT_GT(out.GetPackets(pPmt->streams[0].nPid).size(), 100u);
        for (const tsr::Bytes& packet : out.GetPackets(pPmt->streams[0].nPid)) {
            if ((packet[3] & 0x10) != 0) {
                ASSERT_EQ(packet[3] & 0xC0, 0x80);
            }
        }
    }
    ASSERT_TRUE(out.HasCat());
    const std::vector<CCa> vCat = CaOf(out.GetCatDescriptors());
    ASSERT_EQ(vCat.size(), 1u);
    EXPECT_EQ(vCat[0].nSystemId, 0x0B00);
    EXPECT_GE(vCat[0].nPid, 0x0020);
    EXPECT_LT(vCat[0].nPid, 1011);
    EXPECT_GT(counts.count(vCat[0].nPid) ? counts.at(vCat[0].nPid) : 0u, 5u) << "EMM packets";
    EXPECT_LE(out.GetRepetition(0x0001, 0).nMaxGapPackets,
              out.GetRepetition(0x0000, 0).nMaxGapPackets + 2)
        << "the CAT repeats with the PAT";
    for (const tsr::SdtService& service : out.GetSdt().services) {
        EXPECT_TRUE(service.bFreeCa) << service.nServiceId;
    }
}

TEST_F(BraidmillCaTest, ByDefaultCaDescriptorsEcmAndEmmPidsAndTheCatAreLeftOut)
{
    tsr::CTsReader out;
    ASSERT_NO_FATAL_FAILURE(Mux({}, out));
    std::set<uint16_t> vExpected{0x0000, 0x0010, 0x0011, 0x1FFF};
    for (const auto& [nProgram, pmt] : out.GetPmts()) {
        EXPECT_TRUE(CaOf(pmt.programInfo).empty());
        vExpected.insert({pmt.nPmtPid, pmt.nPcrPid});
        for (const tsr::PmtStream& stream : pmt.streams) {
            EXPECT_TRUE(CaOf(stream.descriptors).empty());
            vExpected.insert(stream.nPid);
        }
    }
    EXPECT_EQ(out.GetPmts().size(), 2u);
    for (const auto& [nPid, nCount] : out.GetPidCounts()) {
        EXPECT_EQ(vExpected.count(nPid), 1u) << "PID " << nPid << ": " << nCount << " packets";
    }
    EXPECT_FALSE(out.HasCat());
    for (const tsr::SdtService& service : out.GetSdt().services) {
        EXPECT_FALSE(service.bFreeCa) << service.nServiceId;
    }
}
