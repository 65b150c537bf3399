// Timing of the multiplex on ffmpeg-made streams: the delay through the
// muxer is the same for every packet of a program, PCRs come often enough,
// tables lead, and the same inputs give the same bytes in real time, after
// a stall of the process, and in output time.
#include "CSamplePairTest.h"
#include "CStreamMaker.h"
#include "CTimingCheck.h"
#include "CToolRun.h"
#include "support/CPacketBuilder.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <braidmill.h>

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

using tsb::CPacketBuilder;

namespace {

class BraidmillTimingTest : public CSamplePairTest
{
protected:
    // The spread of the lead change of every stream of input nInput (its
    // one program) in the output, ms; the largest over its streams.
    static double ProgramSpreadMs(const std::string& sInput, const tsr::CTsReader& out,
                                  uint16_t nProgram)
    {
        tsr::CTsReader in;
        EXPECT_TRUE(in.LoadFile(sInput));
        EXPECT_FALSE(in.GetFirstPmts().empty());
        const tsr::Pmt* pOut = out.FindPmt(nProgram);
        EXPECT_NE(pOut, nullptr);
        if (in.GetFirstPmts().empty() || pOut == nullptr) {
            return 1e9;
        }
        const tsr::Pmt& inPmt = in.GetFirstPmts().begin()->second;
        double fMax = 0;
        for (size_t s = 0; s < inPmt.streams.size() && s < pOut->streams.size(); ++s) {
            size_t nMatched = 0;
            const double fSpread = CTimingCheck::SpreadMs(
                CTimingCheck::PesLead(in, inPmt.streams[s].nPid, inPmt.nPcrPid),
                CTimingCheck::PesLead(out, pOut->streams[s].nPid, pOut->nPcrPid), nMatched);
            EXPECT_GT(nMatched, 5u) << "program " << nProgram << " stream " << s;
            fMax = std::max(fMax, fSpread);
            RecordProperty("spread_" + std::to_string(nProgram) + "_" + std::to_string(s),
                           std::to_string(fSpread));
        }
        return fMax;
    }
};

} // namespace

TEST_F(BraidmillTimingTest, EveryPacketOfAProgramKeepsOneDelay)
{
    const double fDefault = DefaultMuxRate({m_sMpeg2, m_sH264});
    struct Case
    {
        std::vector<std::string> vRate;
        double fBoundMs;
    };
    const long long llMore = std::llround(fDefault * 1.25);
    for (const Case& c : {Case{{}, 8.0}, Case{{"--rate", std::to_string(llMore)}, 2.0}}) {
        const std::string sOut = m_sDir + "/out" + std::to_string(c.vRate.size()) + ".ts";
        std::vector<std::string> vArgs = c.vRate;
        vArgs.insert(vArgs.end(), {"--fast", m_sMpeg2, m_sH264, sOut});
        const ToolResult run = Mux(vArgs);
        ASSERT_EQ(run.nStatus, 0) << run.sErr;

        tsr::CTsReader out;
        ASSERT_TRUE(out.LoadFile(sOut));
        EXPECT_LE(ProgramSpreadMs(m_sMpeg2, out, 101), c.fBoundMs);
        EXPECT_LE(ProgramSpreadMs(m_sH264, out, 102), c.fBoundMs);
        EXPECT_LE(CTimingCheck::MaxPcrGapMs(out), 40.0);
        size_t nFirstPat = 0;
        while (nFirstPat < out.GetPacketCount() && out.GetPid(nFirstPat) != 0) {
            ++nFirstPat;
        }
        EXPECT_LT(nFirstPat, 5u) << "the tables lead the output";
        EXPECT_EQ(out.GetCcErrors(), 0);
    }
}

TEST_F(BraidmillTimingTest, RealTimeGivesTheBytesOfOutputTimeEvenAcrossAStall)
{
    const std::string sFast = m_sDir + "/fast.ts", sReal = m_sDir + "/real.ts";
    const ToolResult fast = Mux({"--fast", m_sMpeg2, m_sH264, sFast});
    ASSERT_EQ(fast.nStatus, 0) << fast.sErr;
    // The process is stopped for a second mid-run; it catches up afterwards.
    const std::string sCmd = std::string("'") + BM_CLI_PATH + "' '" + m_sMpeg2 + "' '" + m_sH264 +
                             "' '" + sReal + "' >/dev/null 2>&1 & p=$!; sleep 1; kill -STOP $p; " +
                             "sleep 1; kill -CONT $p; wait $p";
    ASSERT_EQ(CToolRun::Shell(sCmd), 0);
    std::vector<uint8_t> vFast, vReal;
    ASSERT_TRUE(CStreamMaker::ReadFile(sFast, vFast));
    ASSERT_TRUE(CStreamMaker::ReadFile(sReal, vReal));
    ASSERT_FALSE(vFast.empty());
    EXPECT_EQ(vFast.size(), vReal.size());
    EXPECT_TRUE(vFast == vReal);
}

TEST_F(BraidmillTimingTest, InputWhosePcrsStopHalfWayLeavesTheOtherAlone)
{
    const std::string sNoPcr = m_sDir + "/nopcr.ts", sOut = m_sDir + "/out.ts";
    tsr::CTsReader in;
    ASSERT_TRUE(in.LoadFile(m_sMpeg2));
    ASSERT_FALSE(in.GetFirstPmts().empty());
    const uint16_t nPcrPid = in.GetFirstPmts().begin()->second.nPcrPid;
    std::vector<uint8_t> vIn;
    ASSERT_TRUE(CStreamMaker::ReadFile(m_sMpeg2, vIn));
    ASSERT_TRUE(CStreamMaker::StripPcrs(m_sMpeg2, sNoPcr, nPcrPid, vIn.size() / 2));
    const long long llRate = std::llround(DefaultMuxRate({m_sMpeg2, m_sH264}));
    const ToolResult run = Mux({"--fast", "--rate", std::to_string(llRate), sNoPcr, m_sH264, sOut});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;

    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_LE(ProgramSpreadMs(m_sH264, out, 102), 8.0);
    const double fRate = double(llRate);
    EXPECT_LE(out.GetRepetition(0x0000, fRate).fMaxGapMs, 100.0);
    EXPECT_LE(out.GetRepetition(1011, fRate).fMaxGapMs, 100.0);
    EXPECT_LE(out.GetRepetition(1021, fRate).fMaxGapMs, 100.0);
    // Its content is all there, paced rather than flooded.
    EXPECT_EQ(out.GetPackets(1014).size(),
              in.GetPackets(in.GetFirstPmts().begin()->second.streams[1].nPid).size());
}

TEST_F(BraidmillTimingTest, ARateBelowTheContentIsReportedAndFailsTheRun)
{
    const long long llLow = std::llround(DefaultMuxRate({m_sMpeg2, m_sH264}) * 0.25);
    const std::string sOut = m_sDir + "/low.ts";
    const ToolResult run =
        Mux({"--fast", "--rate", std::to_string(llLow), m_sMpeg2, m_sH264, sOut});
    EXPECT_EQ(run.nStatus, 3) << run.sErr;
    EXPECT_NE(run.sOut.find("content exceeds the output rate"), std::string::npos) << run.sOut;
    EXPECT_TRUE(std::regex_search(run.sErr, std::regex("program 101 \\(input 1\\): late [0-9]+: "
                                                       "packets may reach its decoders after "
                                                       "their time; largest delay")))
        << run.sErr;
}
