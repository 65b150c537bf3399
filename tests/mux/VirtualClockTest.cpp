// The engine's output-time mode end to end, through the exported classes:
// the multiplex of a perfect real-time run, deterministic, and fast.
#include "braidmill.h"

#include "support/CMuxTestKit.h"
#include "support/CTestStream.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string TempPath(const std::string& sName)
{
    return ::testing::TempDir() + "braidmill-vclock-" + std::to_string(getpid()) + "-" + sName;
}

std::vector<char> ReadAll(const std::string& sPath)
{
    std::ifstream file(sPath, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(file), {});
}

// Sources started first, then the engine in output-time mode, as a client does it.
bool MuxFiles(const std::vector<std::string>& vInputs, const std::string& sOutput, float fRate)
{
    std::vector<std::unique_ptr<CInputModuleIface>> vModules;
    std::vector<std::unique_ptr<CSourceFile>> vSources;
    for (const std::string& sPath : vInputs) {
        vModules.push_back(std::make_unique<CInputModuleIface>());
        vModules.back()->SetSourceAttribute(_SOURCE_ATTRIBUTE{0, 0, 0});
        vSources.push_back(std::make_unique<CSourceFile>());
        vSources.back()->InitBuffer(20480 * kTsPacketSize);
        vSources.back()->SetRecvModule(vModules.back().get());
        EXPECT_EQ(vSources.back()->OpenFile(sPath.c_str()), 0) << sPath;
        vSources.back()->StartRead();
    }
    COutPutModuleFile output;
    EXPECT_EQ(output.OpenFile(sOutput.c_str()), 0) << sOutput;
    CMuxIface mux;
    mux.SetOutputBitRate(fRate);
    mux.SetOutPutModule(&output);
    mux.SetVirtualClock(true);
    for (auto& pIn : vModules) {
        mux.AddInputModule(pIn.get());
    }
    mtk::ExpectReturnsWithin(
        [&mux] {
            mux.Run();
            mux.WaitFinish();
        },
        60s, "Run and WaitFinish");
    vSources.clear();
    vModules.clear();
    output.Destroy();
    return !mux.IsFailed();
}

class CVirtualClockTest : public ::testing::Test
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
        m_vFiles.push_back(TempPath(sName));
        return m_vFiles.back();
    }
    std::vector<std::string> m_vFiles;
};

} // namespace

TEST_F(CVirtualClockTest, TwoRunsGiveIdenticalFilesThatPassEveryCheck)
{
    constexpr float kRate = 4.0f;
    constexpr double kBitsPerSecond = kRate * 1048576.0;
    tsb::StreamSpec specA;
    specA.fBitRate = 1'500'000;
    specA.fSeconds = 20.0;
    specA.nPidBase = 0x100;
    tsb::StreamSpec specB = specA;
    specB.nPidBase = 0x400;
    specB.bPcrOnVideo = true;
    specB.nFirstPcr = 600 * kPcrHz;
    const std::vector<tsb::CTestStream> vStreams = {tsb::CTestStream(specA),
                                                    tsb::CTestStream(specB)};
    const std::string sA = File("a.ts"), sB = File("b.ts");
    const std::string sOut1 = File("out1.ts"), sOut2 = File("out2.ts");
    ASSERT_TRUE(vStreams[0].WriteFile(sA));
    ASSERT_TRUE(vStreams[1].WriteFile(sB));

    ASSERT_TRUE(MuxFiles({sA, sB}, sOut1, kRate));
    ASSERT_TRUE(MuxFiles({sA, sB}, sOut2, kRate));
    const std::vector<char> vFirst = ReadAll(sOut1);
    ASSERT_FALSE(vFirst.empty());
    EXPECT_TRUE(vFirst == ReadAll(sOut2)) << "the two runs differ";

    tsr::CTsReader reader;
    std::string sError;
    ASSERT_TRUE(reader.LoadFile(sOut1, &sError)) << sError;
    EXPECT_TRUE(reader.IsWholePackets());
    for (const std::string& sMessage : reader.GetMessages()) {
        ADD_FAILURE() << sMessage;
    }
    const tsr::PsiErrors psiErrors = reader.GetPsiErrors();
    EXPECT_EQ(psiErrors.nCrc + psiErrors.nLength + psiErrors.nIncomplete, 0);
    EXPECT_EQ(reader.GetCcErrors(), 0);
    // The output runs as long as the inputs play, not less (nothing stuffed
    // over) and hardly more (nothing waits on the wall clock).
    const double fSeconds = double(reader.GetPacketCount()) * kTsPacketSize * 8 / kBitsPerSecond;
    EXPECT_NEAR(fSeconds, specA.fSeconds, 0.1);

    ASSERT_EQ(reader.GetPat().programs.size(), 2u);
    for (size_t i = 0; i < vStreams.size(); ++i) {
        const tsb::StreamProgram& in = vStreams[i].GetPrograms()[0];
        const uint16_t nNumber = uint16_t(101 + i);
        const uint16_t nPmtPid = uint16_t(1011 + 10 * i);
        SCOPED_TRACE("program " + std::to_string(nNumber));
        EXPECT_EQ(reader.GetPat().programs.at(nNumber), nPmtPid);
        const tsr::Pmt* pPmt = reader.FindPmt(nNumber);
        ASSERT_NE(pPmt, nullptr);
        const bool bPcrOnVideo = vStreams[i].GetSpec().bPcrOnVideo;
        const uint16_t nOutPcr = uint16_t(bPcrOnVideo ? nPmtPid + 2 : nPmtPid + 1);
        EXPECT_EQ(pPmt->nPcrPid, nOutPcr);
        std::vector<std::pair<uint16_t, uint16_t>> vMoves = {{in.nVideoPid, nPmtPid + 2},
                                                             {in.nAudioPid, nPmtPid + 3}};
        if (!bPcrOnVideo) {
            vMoves.emplace_back(in.nPcrPid, nPmtPid + 1);
        }
        for (const auto& move : vMoves) {
            EXPECT_TRUE(tsr::CTsReader::ComparableAll(vStreams[i].GetPacketsOf(move.first)) ==
                        tsr::CTsReader::ComparableAll(reader.GetPackets(move.second)))
                << "input PID " << move.first << " on output PID " << move.second;
        }
        const tsr::PcrAccuracy accuracy = reader.CheckPcrAccuracy(nOutPcr, kBitsPerSecond);
        EXPECT_GT(accuracy.nChecked, 900u);
        EXPECT_LT(accuracy.fMaxAbsNs, 40.0) << "one tick is 37 ns";
        // Released on the input's own clock: no PCR gap beyond the input's 20 ms
        // and the packets queued ahead of it.
        EXPECT_LT(accuracy.fMaxGapMs, 30.0);
    }

    // PSI every 80 ms of output. The set queues behind what the inputs
    // released before it, so a gap stretches by the growth of that backlog:
    // at most one PCR interval (20 ms) of both inputs at the output rate.
    const double fPacketMs = kTsPacketSize * 8 * 1000 / kBitsPerSecond;
    const double fBacklogMs = 20.0 * 2 * specA.fBitRate / kBitsPerSecond;
    for (uint16_t nPid : {uint16_t(kPidPat), uint16_t(kPidSdt), uint16_t(kPidNit),
                          uint16_t(1011), uint16_t(1021)}) {
        std::vector<size_t> vStarts;
        for (const tsr::Section& section : reader.GetSections()) {
            if (section.nPid == nPid && section.bCrcOk) {
                vStarts.push_back(section.nPacket);
            }
        }
        ASSERT_GE(vStarts.size(), 240u) << "PID " << nPid;
        std::vector<double> vGapsMs;
        for (size_t i = 1; i < vStarts.size(); ++i) {
            vGapsMs.push_back(double(vStarts[i] - vStarts[i - 1]) * kTsPacketSize * 8 * 1000 /
                              kBitsPerSecond);
        }
        std::sort(vGapsMs.begin(), vGapsMs.end());
        EXPECT_NEAR(vGapsMs[vGapsMs.size() / 2], 80.0, fPacketMs) << "PID " << nPid;
        EXPECT_LE(vGapsMs.back(), 80.0 + fBacklogMs + 2.0) << "PID " << nPid;
        EXPECT_GE(vGapsMs.front(), 80.0 - fBacklogMs - 2.0) << "PID " << nPid;
    }
}

TEST_F(CVirtualClockTest, ThreeInputsAreNumberedInInputOrder)
{
    std::vector<std::string> vInputs;
    std::vector<tsb::CTestStream> vStreams;
    for (int i = 0; i < 3; ++i) {
        tsb::StreamSpec shape;
        shape.fBitRate = 1'000'000;
        shape.fSeconds = 1.0;
        shape.nPidBase = uint16_t(0x100 + 0x200 * i);
        shape.nFirstPcr = int64_t(100 * i) * kPcrHz;
        vStreams.emplace_back(shape);
        vInputs.push_back(File("in" + std::to_string(i) + ".ts"));
        ASSERT_TRUE(vStreams.back().WriteFile(vInputs.back()));
    }
    const std::string sOut = File("three.ts");
    ASSERT_TRUE(MuxFiles(vInputs, sOut, 4.0f));

    tsr::CTsReader reader;
    ASSERT_TRUE(reader.LoadFile(sOut));
    ASSERT_EQ(reader.GetPat().programs.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const uint16_t nNumber = uint16_t(101 + i);
        const uint16_t nPmtPid = uint16_t(1011 + 10 * i);
        EXPECT_EQ(reader.GetPat().programs.at(nNumber), nPmtPid);
        // The input's video lands on its program's first stream PID.
        const uint16_t nVideo = vStreams[size_t(i)].GetPrograms()[0].nVideoPid;
        EXPECT_TRUE(tsr::CTsReader::ComparableAll(vStreams[size_t(i)].GetPacketsOf(nVideo)) ==
                    tsr::CTsReader::ComparableAll(reader.GetPackets(uint16_t(nPmtPid + 2))))
            << "input " << i + 1;
    }
    EXPECT_EQ(reader.GetCcErrors(), 0);
}
