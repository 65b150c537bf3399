// The library end to end, through its exported classes only: two TS files,
// their sources and input modules, a file sink and the engine.
#include "braidmill.h"

#include "support/CMuxTestKit.h"
#include "support/CTestStream.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using mtk::ExpectReturnsWithin;

constexpr float kOutRate = 4.0f; // units of 1,048,576 bit/s
constexpr double kOutBitsPerSecond = kOutRate * 1048576.0;

std::string TempPath(const std::string& sName)
{
    return ::testing::TempDir() + "braidmill-" + std::to_string(getpid()) + "-" + sName;
}

// The client's part, as the console program does it: sources started
// first, then the engine configured, run and waited for.
class CMultiplex
{
public:
    CMultiplex(const std::vector<std::string>& vInputs, const std::string& sOutput)
    {
        for (const std::string& sPath : vInputs) {
            m_vInputs.push_back(std::make_unique<CInputModuleIface>());
            m_vInputs.back()->SetSourceAttribute(_SOURCE_ATTRIBUTE{0, 0, 0});
            m_vSources.push_back(std::make_unique<CSourceFile>());
            CSourceFile& source = *m_vSources.back();
            source.InitBuffer(20480 * kTsPacketSize);
            source.SetRecvModule(m_vInputs.back().get());
            EXPECT_EQ(source.OpenFile(sPath.c_str()), 0) << sPath;
            source.StartRead();
        }
        EXPECT_EQ(m_output.OpenFile(sOutput.c_str()), 0) << sOutput;
        m_mux.SetOutputBitRate(kOutRate);
        m_mux.SetOutPutModule(&m_output);
        for (auto& pIn : m_vInputs) {
            m_mux.AddInputModule(pIn.get());
        }
    }
    ~CMultiplex()
    {
        // The client's order: sources, input modules, sink, engine.
        m_vSources.clear();
        m_vInputs.clear();
    }
    void RunToTheEnd()
    {
        ExpectReturnsWithin([this] { m_mux.Run(); }, 30s, "Run");
        ExpectReturnsWithin([this] { m_mux.WaitFinish(); }, 60s, "WaitFinish");
        m_output.Destroy();
    }
    CMuxIface& Mux() { return m_mux; }

private:
    CMuxIface m_mux;
    COutPutModuleFile m_output;
    std::vector<std::unique_ptr<CInputModuleIface>> m_vInputs;
    std::vector<std::unique_ptr<CSourceFile>> m_vSources;
};

struct CEndToEnd
{
    const char* szName;
    int nProgramsPerInput;
    double fInputRate; // bit/s of each input
    bool bPcrOnVideoB; // the second input carries its PCRs in its video packets
};

class CMuxIfaceEndToEndTest : public ::testing::TestWithParam<CEndToEnd>
{
protected:
    void TearDown() override
    {
        for (const std::string& sPath : m_vFiles) {
            std::remove(sPath.c_str());
        }
    }
    std::string File(const std::string& sName)
    {
        m_vFiles.push_back(TempPath(std::string(GetParam().szName) + "-" + sName));
        return m_vFiles.back();
    }

    std::vector<std::string> m_vFiles;
};

} // namespace

TEST_P(CMuxIfaceEndToEndTest, MultiplexesTwoFilesIntoOneConstantRateStream)
{
    const CEndToEnd& param = GetParam();
    tsb::StreamSpec specA;
    specA.fBitRate = param.fInputRate;
    specA.fSeconds = 1.5;
    specA.nPrograms = param.nProgramsPerInput;
    specA.nPidBase = 0x100;
    tsb::StreamSpec specB = specA;
    specB.nPidBase = 0x400;
    specB.bPcrOnVideo = param.bPcrOnVideoB;
    specB.nFirstPcr = 600 * kPcrHz;
    const std::vector<tsb::CTestStream> vStreams = {tsb::CTestStream(specA),
                                                    tsb::CTestStream(specB)};
    const std::string sA = File("a.ts"), sB = File("b.ts"), sOut = File("out.ts");
    ASSERT_TRUE(vStreams[0].WriteFile(sA));
    ASSERT_TRUE(vStreams[1].WriteFile(sB));

    _MUX_STATS stats{};
    {
        CMultiplex multiplex({sA, sB}, sOut);
        multiplex.RunToTheEnd();
        EXPECT_FALSE(multiplex.Mux().IsFailed());
        EXPECT_EQ(multiplex.Mux().GetOmittedProgramCount(), 0);
        EXPECT_TRUE(multiplex.Mux().GetStats(stats));
    }

    tsr::CTsReader reader;
    std::string sError;
    ASSERT_TRUE(reader.LoadFile(sOut, &sError)) << sError;
    EXPECT_TRUE(reader.IsWholePackets());
    for (const std::string& sMessage : reader.GetMessages()) {
        ADD_FAILURE() << sMessage;
    }
    const tsr::PsiErrors psiErrors = reader.GetPsiErrors();
    EXPECT_EQ(psiErrors.nCrc + psiErrors.nLength + psiErrors.nIncomplete, 0);
    EXPECT_EQ(reader.GetCcErrors(), 0);

    // Numbering: programs from 101, PMT PIDs from 1011 in steps of 10, PCR
    // on PMT + 1 unless it rides on the video, streams from PMT + 2.
    ASSERT_TRUE(reader.HasPat());
    const int nPrograms = 2 * param.nProgramsPerInput;
    ASSERT_EQ(reader.GetPat().programs.size(), size_t(nPrograms));
    ASSERT_TRUE(reader.HasSdt());
    EXPECT_EQ(reader.GetSdt().services.size(), size_t(nPrograms));
    EXPECT_TRUE(reader.HasNit());
    int nIndex = 0;
    for (const tsb::CTestStream& stream : vStreams) {
        for (const tsb::StreamProgram& in : stream.GetPrograms()) {
            const uint16_t nNumber = uint16_t(101 + nIndex);
            const uint16_t nPmtPid = uint16_t(1011 + 10 * nIndex);
            ++nIndex;
            SCOPED_TRACE("program " + std::to_string(nNumber));
            EXPECT_EQ(reader.GetPat().programs.at(nNumber), nPmtPid);
            const tsr::Pmt* pPmt = reader.FindPmt(nNumber);
            ASSERT_NE(pPmt, nullptr);
            ASSERT_EQ(pPmt->streams.size(), 2u);
            EXPECT_EQ(pPmt->streams[0].nStreamType, 0x02);
            EXPECT_EQ(pPmt->streams[0].nPid, nPmtPid + 2);
            EXPECT_EQ(pPmt->streams[1].nStreamType, 0x04);
            EXPECT_EQ(pPmt->streams[1].nPid, nPmtPid + 3);
            const bool bPcrOnVideo = stream.GetSpec().bPcrOnVideo;
            const uint16_t nOutPcr = uint16_t(bPcrOnVideo ? nPmtPid + 2 : nPmtPid + 1);
            EXPECT_EQ(pPmt->nPcrPid, nOutPcr);

            // Every packet of every stream, once and in order, on its new PID.
            std::vector<std::pair<uint16_t, uint16_t>> vMoves = {{in.nVideoPid, nPmtPid + 2},
                                                                 {in.nAudioPid, nPmtPid + 3}};
            if (!bPcrOnVideo) {
                vMoves.emplace_back(in.nPcrPid, nPmtPid + 1);
            }
            for (const auto& move : vMoves) {
                EXPECT_TRUE(tsr::CTsReader::ComparableAll(stream.GetPacketsOf(move.first)) ==
                            tsr::CTsReader::ComparableAll(reader.GetPackets(move.second)))
                    << "input PID " << move.first << " on output PID " << move.second;
            }

            // Restamped PCRs sit at their packets' positions in the output.
            const tsr::PcrAccuracy accuracy = reader.CheckPcrAccuracy(nOutPcr, kOutBitsPerSecond);
            EXPECT_GT(accuracy.nChecked, 40u);
            EXPECT_LT(accuracy.fMaxAbsNs, 40.0) << "one tick is 37 ns";
        }
    }
    EXPECT_EQ(reader.GetPcrPids().size(), size_t(nPrograms));

    // PAT and PMTs every 80 ms of output; SDT and NIT too while the tables
    // take a small share of it (two programs), else as rarely as the engine
    // says (twelve).
    const bool bSlowSi = param.nProgramsPerInput > 1;
    EXPECT_EQ(stats.nSdtIntervalMs > 80, bSlowSi);
    EXPECT_EQ(stats.nNitIntervalMs > 80, bSlowSi);
    for (uint16_t nPid :
         {uint16_t(kPidPat), uint16_t(kPidSdt), uint16_t(kPidNit), uint16_t(1011)}) {
        if (bSlowSi && (nPid == kPidSdt || nPid == kPidNit)) {
            const int nLimitMs = nPid == kPidSdt ? stats.nSdtIntervalMs : stats.nNitIntervalMs;
            EXPECT_LE(reader.GetRepetition(nPid, kOutBitsPerSecond).fMaxGapMs, nLimitMs);
            continue;
        }
        std::vector<size_t> vStarts;
        for (const tsr::Section& section : reader.GetSections()) {
            if (section.nPid == nPid && section.bCrcOk &&
                (section.bytes[0] != 0x42 || section.bytes[6] == 0)) {
                vStarts.push_back(section.nPacket);
            }
        }
        ASSERT_GE(vStarts.size(), 10u) << "PID " << nPid;
        std::vector<double> vGapsMs;
        for (size_t i = 1; i < vStarts.size(); ++i) {
            vGapsMs.push_back(double(vStarts[i] - vStarts[i - 1]) * kTsPacketSize * 8 * 1000 /
                              kOutBitsPerSecond);
        }
        std::sort(vGapsMs.begin(), vGapsMs.end());
        EXPECT_GE(vGapsMs[vGapsMs.size() / 2], 75.0) << "PID " << nPid;
        EXPECT_LE(vGapsMs[vGapsMs.size() / 2], 95.0) << "PID " << nPid;
        EXPECT_LE(vGapsMs.back(), 250.0) << "PID " << nPid;
        EXPECT_GE(vGapsMs.front(), 25.0) << "PID " << nPid; // DVB's least, at the start
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, CMuxIfaceEndToEndTest,
                         ::testing::Values(CEndToEnd{"OwnPcrPids", 1, 1'500'000, false},
                                           CEndToEnd{"PcrOnVideo", 1, 1'500'000, true},
                                           CEndToEnd{"TwelvePrograms", 6, 1'800'000, false}),
                         [](const ::testing::TestParamInfo<CEndToEnd>& test) {
                             return test.param.szName;
                         });

TEST(CMuxIfaceTest, InputWithoutPatFailsTheRunCleanly)
{
    tsb::StreamSpec shape;
    shape.fSeconds = 0.3;
    tsb::StreamSpec noPat = shape;
    noPat.bWithPat = false;
    const std::string sGood = TempPath("good.ts"), sBad = TempPath("nopat.ts"),
                      sOut = TempPath("failed-out.ts");
    ASSERT_TRUE(tsb::CTestStream(shape).WriteFile(sGood));
    ASSERT_TRUE(tsb::CTestStream(noPat).WriteFile(sBad));
    {
        CMultiplex multiplex({sGood, sBad}, sOut);
        multiplex.RunToTheEnd();
        EXPECT_TRUE(multiplex.Mux().IsFailed());
    }
    tsr::CTsReader reader;
    ASSERT_TRUE(reader.LoadFile(sOut));
    EXPECT_EQ(reader.GetPacketCount(), 0u) << "nothing was multiplexed";
    for (const std::string& sPath : {sGood, sBad, sOut}) {
        std::remove(sPath.c_str());
    }
}

TEST(CMuxIfaceTest, EngineCreatedAndDeletedWithoutRunStartsNothing)
{
    CMuxIface mux;
    EXPECT_FALSE(mux.IsFailed());
    EXPECT_EQ(mux.GetOmittedProgramCount(), 0);
    mux.WaitFinish(); // before Run: returns at once
}

TEST(CMuxIfaceTest, TableIntervalsOutsideDvbsLimitsAreRefusedWithALine)
{
    mtk::CLogCapture capture;
    CMuxIface mux;
    mux.SetSdtInterval(2000);
    mux.SetNitInterval(25);
    mux.SetSdtInterval(0); // back to the load's choice
    EXPECT_EQ(mtk::CLogCapture::CountStarting("2 mux:"), 0);
    mux.SetSdtInterval(24);
    mux.SetSdtInterval(2001);
    mux.SetNitInterval(10001);
    EXPECT_EQ(mtk::CLogCapture::Count("2 mux: SDT interval of 2001 ms refused: it must be 25 to "
                                      "2000 ms"),
              1);
    EXPECT_EQ(mtk::CLogCapture::CountStarting("2 mux: NIT interval of 10001 ms refused"), 1);
    EXPECT_EQ(mtk::CLogCapture::CountStarting("2 mux:"), 3);
}

TEST(CMuxIfaceTest, RealtimePriorityOutsideItsRangeIsRefused)
{
    CMuxIface mux;
    EXPECT_FALSE(mux.SetRealtimePriority(-1));
    EXPECT_FALSE(mux.SetRealtimePriority(100));
    EXPECT_TRUE(mux.SetRealtimePriority(99));
    EXPECT_TRUE(mux.SetRealtimePriority(0)); // back to normal priority
}
