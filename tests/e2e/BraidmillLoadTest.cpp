// The multiplex under real load: many programs on one input, many copies
// of one VBR input, a program whose PMT names no PCR_PID. What a receiver
// and an analyser look at: nothing late or dropped, tables and PCRs in
// time, few PCR-only packets, every PCR where its program's PMT says.
#include "CSamplePairTest.h"
#include "CStreamMaker.h"
#include "CTimingCheck.h"
#include "CToolRun.h"
#include "support/CHeadEndStream.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

class BraidmillLoadTest : public CSamplePairTest
{
protected:
    // PCR-only packets the muxer added, from the -v line.
    static long long AddedPcrs(const ToolResult& run)
    {
        std::smatch m;
        return std::regex_search(run.sErr, m, std::regex("([0-9]+) PCR-only packets added"))
                   ? std::stoll(m[1])
                   : -1;
    }
};

} // namespace

// 200 programs on one 12 Mbit/s input, each with its PCR on every video
// packet every 35 ms, and the H.264 sample.
TEST_F(BraidmillLoadTest, TwoHundredProgramsKeepTablesPcrsAndContentOnTime)
{
    tsb::HeadEndShape shape;
    shape.fSeconds = 3.0;
    const std::string sIn = m_sDir + "/many.ts", sOut = m_sDir + "/many-out.ts";
    ASSERT_TRUE(tsb::CHeadEndStream(shape).WriteFile(sIn));
    const ToolResult run = Mux({"--fast", "-v", "-o", sOut, sIn, m_sH264});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    EXPECT_EQ(run.sErr.find("late"), std::string::npos) << run.sErr;
    EXPECT_EQ(run.sErr.find("dropped"), std::string::npos) << run.sErr;
    EXPECT_NE(run.sErr.find("the tables need"), std::string::npos) << run.sErr;
    const double fRate = CToolRun::OutputRateOf(run);
    ASSERT_GT(fRate, 0) << run.sErr;

    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    ASSERT_EQ(out.GetPat().programs.size(), 201u);
    for (const auto& [nNumber, nPmtPid] : out.GetPat().programs) {
        EXPECT_LE(out.GetRepetition(nPmtPid, fRate).fMaxGapMs, 80.0) << "program " << nNumber;
    }
    EXPECT_LE(out.GetRepetition(kPidPat, fRate).fMaxGapMs, 80.0);
    EXPECT_LE(out.GetRepetition(kPidSdt, fRate).fMaxGapMs, 1000.0) << "stretched, in DVB's 2 s";
    EXPECT_LE(CTimingCheck::MaxPcrGapMs(out), 40.0);
    // What the rate arithmetic took for the tables is what they took (the
    // first set comes on top: about 3 %).
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.sErr, m, std::regex("the tables need ([0-9]+) bit/s")));
    std::map<uint16_t, size_t> counts = out.GetPidCounts();
    size_t nTables = counts[kPidPat] + counts[kPidSdt] + counts[kPidNit];
    for (const auto& [nNumber, nPmtPid] : out.GetPat().programs) {
        nTables += counts[nPmtPid];
    }
    const double fSeconds = double(out.GetPacketCount()) * 1504 / fRate;
    EXPECT_NEAR(double(nTables) * 1504 / fSeconds, std::stod(m[1]), 0.05 * std::stod(m[1]));
    const long long llAdded = AddedPcrs(run);
    ASSERT_GE(llAdded, 0) << run.sErr;
    EXPECT_LE(double(llAdded), 0.01 * double(out.GetPacketCount()));
    EXPECT_EQ(out.GetCcErrors(), 0);
}

// Sixteen copies of one VBR input burst together: their delay through the
// muxer is a figure, far inside the decoding margin, not an error.
TEST_F(BraidmillLoadTest, SixteenCopiesOfAVbrInputAreOnTimeWithTheirLargestDelaySaid)
{
    const std::string sVbr = m_sDir + "/vbr.ts", sOut = m_sDir + "/sixteen.ts";
    ASSERT_TRUE(CStreamMaker::MakeH264Vbr(sVbr, 3.0));
    std::vector<std::string> vArgs{"--fast", "-v", "-o", sOut};
    vArgs.insert(vArgs.end(), 16, sVbr);
    const ToolResult run = Mux(vArgs);
    EXPECT_EQ(run.nStatus, 0) << run.sErr;
    const std::regex line("program 1[01][0-9] \\(input [0-9]+\\): largest delay [0-9.]+ ms, "
                          "decoding margin [0-9.]+ ms");
    const auto itBegin = std::sregex_iterator(run.sErr.begin(), run.sErr.end(), line);
    EXPECT_EQ(std::distance(itBegin, std::sregex_iterator()), 16) << run.sErr;
    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_LE(CTimingCheck::MaxPcrGapMs(out), 40.0);
}

// A PMT that names no PCR_PID while the video carries PCRs: the output PMT
// names the video's PID, and the PCRs on it are restamped in time.
TEST_F(BraidmillLoadTest, ProgramWithoutPcrPidGetsItsVideoAsPcrPidWithPcrsInTime)
{
    const std::string sNone = m_sDir + "/nopcrpid.ts", sOut = m_sDir + "/out.ts";
    ASSERT_TRUE(CStreamMaker::NamePcrPid(m_sH264, sNone, kPidNull));
    const ToolResult run = Mux({"--fast", m_sMpeg2, sNone, sOut});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    EXPECT_NE(run.sOut.find("program 102 (input 2): its PMT names no PCR_PID"), std::string::npos)
        << run.sOut;

    tsr::CTsReader in;
    ASSERT_TRUE(in.LoadFile(m_sH264));
    const uint16_t nInVideo = in.GetFirstPmts().begin()->second.nPcrPid;
    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    const tsr::Pmt* pPmt = out.FindPmt(102);
    ASSERT_NE(pPmt, nullptr);
    uint16_t nOutVideo = kPidNull;
    const tsr::Pmt& inPmt = in.GetFirstPmts().begin()->second;
    for (size_t s = 0; s < inPmt.streams.size(); ++s) {
        if (inPmt.streams[s].nPid == nInVideo) {
            nOutVideo = pPmt->streams[s].nPid;
        }
    }
    ASSERT_NE(nOutVideo, kPidNull);
    EXPECT_EQ(pPmt->nPcrPid, nOutVideo) << "the PMT that followed the first";
    EXPECT_EQ(out.GetFirstPmts().at(102).nPcrPid, kPidNull) << "what the first one said";
    const tsr::PcrAccuracy accuracy = out.CheckPcrAccuracy(nOutVideo, CToolRun::OutputRateOf(run));
    EXPECT_GT(accuracy.nChecked, 50u);
    EXPECT_LT(accuracy.fMaxAbsNs, 40.0) << "within a tick of its slot's time";
    EXPECT_LE(accuracy.fMaxGapMs, 40.0);
}

// Thirteen programs from one encoder and the H.264 sample: every PCR gap of
// all fourteen inside 40.0 ms.
TEST_F(BraidmillLoadTest, ThirteenProgramsAndTheSampleKeepEveryPcrGapInside40Ms)
{
    const std::string sMany = m_sDir + "/thirteen.ts", sOut = m_sDir + "/out.ts";
    ASSERT_TRUE(CStreamMaker::MakePrograms(sMany, 3.0, 13));
    const ToolResult run = Mux({"--fast", sMany, m_sH264, sOut});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_EQ(out.GetPcrPids().size(), 14u);
    EXPECT_LE(CTimingCheck::MaxPcrGapMs(out), 40.0);
}
