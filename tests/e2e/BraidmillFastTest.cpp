// The console program's output-time mode and its explicit form for any
// number of inputs, on streams that ffmpeg makes at test time.
#include "CSamplePairTest.h"
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTsReader.h"

#include <braidmill.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class BraidmillFastTest : public CSamplePairTest
{
};

} // namespace

TEST_F(BraidmillFastTest, TwoRunsGiveIdenticalFilesThatPassTheChecks)
{
    const std::string sA = m_sDir + "/a.ts", sB = m_sDir + "/b.ts";
    const ToolResult runA = Mux({"--fast", m_sMpeg2, m_sH264, sA});
    const ToolResult runB = Mux({"--fast", m_sMpeg2, m_sH264, sB});
    ASSERT_EQ(runA.nStatus, 0) << runA.sErr;
    ASSERT_EQ(runB.nStatus, 0) << runB.sErr;
    EXPECT_EQ(runA.sOut.substr(runA.sOut.rfind('\n', runA.sOut.size() - 2) + 1), "mux finish!\n");

    std::vector<uint8_t> vA, vB;
    ASSERT_TRUE(CStreamMaker::ReadFile(sA, vA));
    ASSERT_TRUE(CStreamMaker::ReadFile(sB, vB));
    ASSERT_FALSE(vA.empty());
    EXPECT_TRUE(vA == vB) << "output-time runs must be deterministic";

    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sA));
    EXPECT_TRUE(out.IsWholePackets());
    EXPECT_EQ(out.GetCcErrors(), 0);
    EXPECT_EQ(out.GetPsiErrors().nCrc, 0);
    ASSERT_EQ(out.GetPat().programs.size(), 2u);
    EXPECT_EQ(out.GetPat().programs.at(101), 1011);
    EXPECT_EQ(out.GetPat().programs.at(102), 1021);

    // Every packet of every input stream once and in order on its new PID.
    const std::string vInputs[] = {m_sMpeg2, m_sH264};
    for (int i = 0; i < 2; ++i) {
        tsr::CTsReader in;
        ASSERT_TRUE(in.LoadFile(vInputs[i]));
        const tsr::Pmt& inPmt = in.GetFirstPmts().begin()->second;
        const tsr::Pmt* pOutPmt = out.FindPmt(uint16_t(101 + i));
        ASSERT_NE(pOutPmt, nullptr);
        ASSERT_EQ(pOutPmt->streams.size(), inPmt.streams.size());
        for (size_t s = 0; s < inPmt.streams.size(); ++s) {
            const auto vIn = in.GetPackets(inPmt.streams[s].nPid);
            const auto vOut = out.GetPackets(pOutPmt->streams[s].nPid);
            ASSERT_EQ(vIn.size(), vOut.size()) << "input " << i << " stream " << s;
            for (size_t k = 0; k < vIn.size(); ++k) {
                ASSERT_EQ(tsr::CTsReader::Comparable(vIn[k].data()),
                          tsr::CTsReader::Comparable(vOut[k].data()))
                    << "input " << i << " stream " << s << " packet " << k;
            }
        }
    }

    // In output time the tables and PCRs sit exactly where the rate puts them.
    const double fRate = DefaultMuxRate({m_sMpeg2, m_sH264});
    ASSERT_GT(fRate, 1024.0 * 1024);
    for (uint16_t nPcrPid : out.GetPcrPids()) {
        const tsr::PcrAccuracy accuracy = out.CheckPcrAccuracy(nPcrPid, fRate);
        EXPECT_GT(accuracy.nChecked, 10u);
        EXPECT_LT(accuracy.fMaxAbsNs, 38.0) << "within one 27 MHz tick, PID " << nPcrPid;
    }
    for (uint16_t nPid : {uint16_t(0x0000), uint16_t(0x0011), uint16_t(0x0010)}) {
        const tsr::Repetition rep = out.GetRepetition(nPid, fRate);
        EXPECT_GT(rep.nCount, 10u);
        EXPECT_LE(rep.fMaxGapMs, 100.0) << "PID " << nPid;
    }
}

TEST_F(BraidmillFastTest, ExplicitFormNumbersAnyNumberOfInputsInOrder)
{
    const std::string sOut = m_sDir + "/three.ts";
    const ToolResult run = Mux({"--fast", "-o", sOut, m_sH264, m_sMpeg2, m_sH264});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    ASSERT_EQ(out.GetPat().programs.size(), 3u);
    EXPECT_EQ(out.GetPat().programs.at(101), 1011);
    EXPECT_EQ(out.GetPat().programs.at(102), 1021);
    EXPECT_EQ(out.GetPat().programs.at(103), 1031);
    ASSERT_NE(out.FindPmt(101), nullptr);
    ASSERT_NE(out.FindPmt(102), nullptr);
    // Input order: H.264 first and last, MPEG-2 video (stream_type 2) between.
    EXPECT_EQ(out.FindPmt(101)->streams[0].nStreamType, 0x1B);
    EXPECT_EQ(out.FindPmt(102)->streams[0].nStreamType, 0x02);
    EXPECT_EQ(out.FindPmt(103)->streams[0].nStreamType, 0x1B);
}

TEST_F(BraidmillFastTest, ExplicitFormWithoutInputsPrintsTheUsageLine)
{
    const ToolResult run = Mux({"-o", m_sDir + "/none.ts"});
    EXPECT_EQ(run.nStatus, 0);
    EXPECT_EQ(run.sOut, "usage:braidmill infile1 infile2 outfile\n");
}
