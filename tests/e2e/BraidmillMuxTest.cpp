// The console program on real streams made by ffmpeg, its output checked by
// the project's own reader, by ffprobe and by decoding.
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTsReader.h"
#include "ts/SourceRate.h"
#include "ts/TsConstants.h"

#include <braidmill.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

constexpr double kRunTimeout = 60.0;    // s; a run lasts about as long as its inputs
constexpr double kPcrToleranceNs = 500; // PCR accuracy that analysers accept
constexpr double kPcrMaxGapMs = 100;    // the longest PCR interval a stream may have
// Tables are due every 80 ms of output; a loaded machine can delay the mux
// thread's insertion by a few output steps. Analysers flag PAT/PMT gaps over
// 500 ms.
constexpr double kPsiMaxGapMs = 250;
constexpr uint16_t kFirstPmtPid = 1011;
constexpr uint16_t kPmtPidStep = 10;
constexpr uint16_t kFirstProgram = 101;

// What the program's rate line must show: each input's estimate, from the
// file's start or, where that gives none, from a longer stretch.
float ExpectedRate(const std::vector<std::string>& vInputs)
{
    double fSum = 0;
    for (const std::string& sPath : vInputs) {
        BraidmillRateScan scan;
        ScanSourceRate(sPath.c_str(), scan);
        EXPECT_EQ(scan.result, BraidmillRateScan::EResult::kOk) << sPath;
        fSum += double(scan.nBitRate) / 1024 / 1024;
    }
    return float(fSum + 1);
}

// ffprobe's view: program number -> stream PIDs.
std::map<int, std::vector<int>> ProbePrograms(const std::string& sPath, const std::string& sDir)
{
    std::string sList = sDir + "/probe.txt";
    int nRc = CToolRun::Shell("ffprobe -v error -show_entries "
                              "program=program_num:program_stream=id,codec_type "
                              "-of flat '" +
                              sPath + "' > '" + sList + "'");
    EXPECT_EQ(nRc, 0);
    std::map<int, std::vector<int>> programs;
    std::map<std::string, int> numbers; // "programs.program.N" -> program number
    std::ifstream in(sList);
    std::string sLine;
    while (std::getline(in, sLine)) {
        size_t nEq = sLine.find('=');
        if (nEq == std::string::npos) {
            continue;
        }
        std::string sKey = sLine.substr(0, nEq);
        std::string sValue = sLine.substr(nEq + 1);
        if (sValue.size() >= 2 && sValue.front() == '"') {
            sValue = sValue.substr(1, sValue.size() - 2);
        }
        size_t nStreams = sKey.find(".streams.");
        if (sKey.size() > 12 && sKey.compare(sKey.size() - 12, 12, ".program_num") == 0) {
            numbers[sKey.substr(0, sKey.size() - 12)] = std::stoi(sValue);
            programs[std::stoi(sValue)];
        } else if (nStreams != std::string::npos && sKey.size() > 3 &&
                   sKey.compare(sKey.size() - 3, 3, ".id") == 0) {
            programs[numbers[sKey.substr(0, nStreams)]].push_back(std::stoi(sValue, nullptr, 16));
        }
    }
    return programs;
}

class BraidmillMuxTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!CStreamMaker::HaveFfmpeg()) {
            GTEST_SKIP() << "ffmpeg/ffprobe not installed (scripts/setup.sh installs them)";
        }
        m_sDir = CStreamMaker::MakeWorkDir();
        m_sOut = m_sDir + "/mux.ts";
    }

    std::string Path(const char* szName) const { return m_sDir + "/" + szName; }

    ToolResult Mux(const std::vector<std::string>& vInputs,
                   const std::vector<std::string>& vExtra = {})
    {
        std::vector<std::string> vArgs{BM_CLI_PATH};
        vArgs.insert(vArgs.end(), vInputs.begin(), vInputs.end());
        vArgs.push_back(m_sOut);
        vArgs.insert(vArgs.end(), vExtra.begin(), vExtra.end());
        return CToolRun::Run(vArgs, m_sDir, kRunTimeout);
    }

    // Everything a good multiplex of these inputs must be.
    void CheckMultiplex(const std::vector<std::string>& vInputs, const ToolResult& run)
    {
        ASSERT_FALSE(run.bTimedOut);
        ASSERT_EQ(run.nStatus, 0) << run.sErr;
        float fRate = ExpectedRate(vInputs);
        char szRateLine[64];
        std::snprintf(szRateLine, sizeof szRateLine, "mux_rate=%.2f\n", fRate);
        EXPECT_NE(run.sOut.find(szRateLine), std::string::npos) << run.sOut;
        const std::string sFinish = "mux finish!\n";
        ASSERT_GE(run.sOut.size(), sFinish.size());
        EXPECT_EQ(run.sOut.substr(run.sOut.size() - sFinish.size()), sFinish);
        // Content of many Mbit/s gets more headroom than the one unit.
        const double fBitRate = CToolRun::OutputRateOf(run);
        EXPECT_GE(fBitRate, double(fRate) * 1024 * 1024);

        tsr::CTsReader out;
        std::string sError;
        ASSERT_TRUE(out.LoadFile(m_sOut, &sError)) << sError;
        EXPECT_TRUE(out.IsWholePackets());
        EXPECT_GT(out.GetPacketCount(), 0u);
        EXPECT_EQ(out.GetCcErrors(), 0);
        EXPECT_EQ(out.GetPsiErrors().nCrc, 0);
        EXPECT_EQ(out.GetPsiErrors().nLength, 0);
        for (const std::string& sMessage : out.GetMessages()) {
            ADD_FAILURE() << sMessage;
        }
        ASSERT_TRUE(out.HasPat());
        EXPECT_EQ(out.GetPat().nTsId, 1);

        uint16_t nProgram = kFirstProgram;
        uint16_t nPmtPid = kFirstPmtPid;
        std::vector<uint16_t> vPsiPids{kPidPat, kPidSdt, kPidNit};
        std::map<int, std::vector<int>> expectedProbe;
        for (const std::string& sInput : vInputs) {
            tsr::CTsReader in;
            ASSERT_TRUE(in.LoadFile(sInput, &sError)) << sError;
            for (const auto& [nInProgram, nInPmtPid] : in.GetPat().programs) {
                SCOPED_TRACE(sInput + " program " + std::to_string(nInProgram));
                const tsr::Pmt* pIn = in.FindPmt(nInProgram);
                ASSERT_NE(pIn, nullptr);
                ASSERT_EQ(out.GetPat().programs.count(nProgram), 1u);
                EXPECT_EQ(out.GetPat().programs.at(nProgram), nPmtPid);
                const tsr::Pmt* pOut = out.FindPmt(nProgram);
                ASSERT_NE(pOut, nullptr);
                EXPECT_EQ(pOut->nPmtPid, nPmtPid);
                ASSERT_EQ(pOut->streams.size(), pIn->streams.size());

                // The PCR travels on its stream's new PID when it shares one,
                // otherwise on PMT PID + 1.
                uint16_t nExpectedPcrPid = uint16_t(nPmtPid + 1);
                std::map<uint16_t, uint16_t> pidMap{{pIn->nPcrPid, nExpectedPcrPid}};
                for (size_t i = 0; i < pIn->streams.size(); ++i) {
                    uint16_t nOutPid = uint16_t(nPmtPid + 2 + i);
                    EXPECT_EQ(pOut->streams[i].nPid, nOutPid);
                    EXPECT_EQ(pOut->streams[i].nStreamType, pIn->streams[i].nStreamType);
                    pidMap[pIn->streams[i].nPid] = nOutPid;
                    if (pIn->streams[i].nPid == pIn->nPcrPid) {
                        nExpectedPcrPid = nOutPid;
                    }
                    expectedProbe[nProgram].push_back(nOutPid);
                }
                EXPECT_EQ(pOut->nPcrPid, nExpectedPcrPid);

                // Every packet of every input PID once, in order, unchanged
                // but for its PID and PCR.
                for (const auto& [nInPid, nOutPid] : pidMap) {
                    std::vector<tsr::Bytes> vIn = in.GetPackets(nInPid);
                    std::vector<tsr::Bytes> vOut = out.GetPackets(nOutPid);
                    EXPECT_FALSE(vIn.empty());
                    ASSERT_EQ(vOut.size(), vIn.size()) << "PID " << nInPid << " -> " << nOutPid;
                    for (size_t i = 0; i < vIn.size(); ++i) {
                        ASSERT_EQ(tsr::CTsReader::Comparable(vOut[i].data()),
                                  tsr::CTsReader::Comparable(vIn[i].data()))
                            << "PID " << nInPid << " packet " << i;
                    }
                }

                tsr::PcrAccuracy acc = out.CheckPcrAccuracy(nExpectedPcrPid, fBitRate);
                EXPECT_GT(acc.nChecked, 10u);
                EXPECT_LE(acc.fMaxAbsNs, kPcrToleranceNs);
                EXPECT_LE(acc.fMaxGapMs, kPcrMaxGapMs);

                vPsiPids.push_back(nPmtPid);
                ++nProgram;
                nPmtPid = uint16_t(nPmtPid + kPmtPidStep);
            }
        }
        EXPECT_EQ(out.GetPat().programs.size(), size_t(nProgram - kFirstProgram));
        EXPECT_EQ(out.GetPmts().size(), size_t(nProgram - kFirstProgram));

        ASSERT_TRUE(out.HasSdt());
        ASSERT_EQ(out.GetSdt().services.size(), size_t(nProgram - kFirstProgram));
        for (size_t i = 0; i < out.GetSdt().services.size(); ++i) {
            EXPECT_EQ(out.GetSdt().services[i].nServiceId, kFirstProgram + i);
        }
        EXPECT_TRUE(out.HasNit());

        for (uint16_t nPid : vPsiPids) {
            tsr::Repetition rep = out.GetRepetition(nPid, fBitRate);
            EXPECT_GT(rep.nCount, 1u) << "PID " << nPid;
            EXPECT_LE(double(rep.nFirstPacket) * 188 * 8 * 1000 / fBitRate, kPsiMaxGapMs)
                << "PID " << nPid;
            EXPECT_LE(rep.fMaxGapMs, kPsiMaxGapMs) << "PID " << nPid;
        }

        EXPECT_EQ(ProbePrograms(m_sOut, m_sDir), expectedProbe);
        std::string sDecodeErr = m_sDir + "/decode.txt";
        EXPECT_EQ(CToolRun::Shell("ffmpeg -nostdin -v error -i '" + m_sOut +
                                  "' -map 0 -f null - 2> '" + sDecodeErr + "'"),
                  0);
        std::ifstream decode(sDecodeErr);
        std::stringstream ss;
        ss << decode.rdbuf();
        EXPECT_EQ(ss.str(), "") << "decoding the multiplex";
    }

    std::string m_sDir;
    std::string m_sOut;
};

// A clean run says nothing on standard error but the exact output rate.
void ExpectOnlyTheRateOnStderr(const ToolResult& run)
{
    EXPECT_TRUE(std::regex_match(run.sErr, std::regex("braidmill: output rate [0-9.]+ bit/s\n")))
        << run.sErr;
}

} // namespace

TEST_F(BraidmillMuxTest, MuxesTwoInputsWithPcrOnTheVideoPid)
{
    std::vector<std::string> vInputs{Path("mpeg2.ts"), Path("h264.ts")};
    ASSERT_TRUE(CStreamMaker::MakeMpeg2(vInputs[0], 3));
    ASSERT_TRUE(CStreamMaker::MakeH264(vInputs[1], 3));
    // An existing output is replaced.
    ASSERT_TRUE(CStreamMaker::WriteFile(m_sOut, std::vector<uint8_t>(1000, 0x47)));
    ToolResult run = Mux(vInputs);
    ExpectOnlyTheRateOnStderr(run);
    CheckMultiplex(vInputs, run);
}

TEST_F(BraidmillMuxTest, MuxesAnInputWithPcrOnItsOwnPid)
{
    std::vector<std::string> vInputs{Path("pcrpid.ts"), Path("h264.ts")};
    ASSERT_TRUE(CStreamMaker::MakeMpeg2(Path("mpeg2.ts"), 3));
    ASSERT_TRUE(CStreamMaker::MovePcrToOwnPid(Path("mpeg2.ts"), vInputs[0], 0x1FF));
    ASSERT_TRUE(CStreamMaker::MakeH264(vInputs[1], 3));
    tsr::CTsReader in;
    ASSERT_TRUE(in.LoadFile(vInputs[0]));
    ASSERT_EQ(in.GetPmts().begin()->second.nPcrPid, 0x1FF);
    ASSERT_FALSE(in.GetPcrs(0x1FF).empty());
    ToolResult run = Mux(vInputs);
    ExpectOnlyTheRateOnStderr(run);
    CheckMultiplex(vInputs, run);
}

TEST_F(BraidmillMuxTest, NumbersThreeProgramsOfOneInputBeforeTheNext)
{
    std::vector<std::string> vInputs{Path("three.ts"), Path("h264.ts")};
    ASSERT_TRUE(CStreamMaker::MakeThreePrograms(vInputs[0], 3));
    ASSERT_TRUE(CStreamMaker::MakeH264(vInputs[1], 3));
    ToolResult run = Mux(vInputs);
    ExpectOnlyTheRateOnStderr(run);
    CheckMultiplex(vInputs, run);
}

// Each file is rated from all of its first 3,850,240 bytes, however early
// an estimate over fewer of them would seem settled: a variable-rate input
// longer than that, beside a constant-rate one.
TEST_F(BraidmillMuxTest, RatesEachFileFromItsFirstBytes)
{
    const std::vector<std::string> vInputs{Path("ac3.ts"), Path("h264vbr.ts")};
    ASSERT_TRUE(CStreamMaker::MakeDvbAc3(vInputs[0], 3));
    ASSERT_TRUE(CStreamMaker::MakeH264Vbr(vInputs[1], 40));
    const ToolResult run = CToolRun::Run(
        {BM_CLI_PATH, "--fast", "-v", "--duration", "0.5", vInputs[0], vInputs[1], Path("out.ts")},
        m_sDir, kRunTimeout);
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    double fSum = 0;
    for (const std::string& sPath : vInputs) {
        std::vector<uint8_t> v;
        ASSERT_TRUE(CStreamMaker::ReadFile(sPath, v));
        const size_t nWindow = std::min(v.size(), size_t(kRateWindowBytes));
        const int nRate = EstimateTsBitRate(v.data(), int(nWindow));
        ASSERT_GT(nRate, 0) << sPath;
        if (sPath == vInputs[1]) {
            ASSERT_GT(v.size(), nWindow) << "the variable-rate input must outlast the window";
        }
        EXPECT_NE(run.sErr.find(sPath + ": " + std::to_string(nRate) + " bit/s\n"),
                  std::string::npos)
            << run.sErr;
        fSum += double(nRate) / 1024 / 1024;
    }
    char szLine[32];
    std::snprintf(szLine, sizeof szLine, "mux_rate=%.2f\n", double(float(fSum + 1)));
    const size_t nAt = run.sOut.find("mux_rate=");
    ASSERT_NE(nAt, std::string::npos) << run.sOut;
    EXPECT_EQ(run.sOut.substr(nAt, std::strlen(szLine)), szLine);
}

// Above about 30 Mbit/s the library's estimate covers too little PCR time and
// gives none; the program then measures a longer stretch and says so.
TEST_F(BraidmillMuxTest, EstimatesAFastInputFromALongerStretch)
{
    std::vector<std::string> vInputs{Path("fast.ts"), Path("mpeg2.ts")};
    ASSERT_TRUE(CStreamMaker::MakeMpeg2(vInputs[0], 2, 40'000'000));
    ASSERT_TRUE(CStreamMaker::MakeMpeg2(vInputs[1], 2));
    ASSERT_EQ(GetSourceRate(vInputs[0].c_str()), -1);
    BraidmillRateScan scan;
    ScanSourceRate(vInputs[0].c_str(), scan);
    ASSERT_EQ(scan.result, BraidmillRateScan::EResult::kOk);
    EXPECT_FALSE(scan.bFromStart);
    EXPECT_NEAR(scan.nBitRate, 40'000'000, 40'000);
    ToolResult run = Mux(vInputs);
    EXPECT_NE(run.sErr.find(vInputs[0]), std::string::npos) << run.sErr;
    EXPECT_NE(run.sErr.find("estimated"), std::string::npos) << run.sErr;
    CheckMultiplex(vInputs, run);
}
