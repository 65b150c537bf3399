// The console program on live and streamed inputs and outputs: UDP on the
// loopback interface only, standard input and output, a FIFO, and --loop.
#include "CPacedSender.h"
#include "CSamplePairTest.h"
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTsReader.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kRate = 6'000'000; // bit/s, room for both inputs and the tables
const std::string kRateArg = std::to_string(kRate);

// A UDP socket bound to 127.0.0.1 on a port the kernel picks; receives time
// out after 300 ms.
int BindLoopback(int& nPort)
{
    const int nSocket = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof addr;
    const int nBuffer = 8 << 20;
    const timeval timeout = {0, 300'000};
    setsockopt(nSocket, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof nBuffer);
    setsockopt(nSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    bind(nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(nSocket, reinterpret_cast<sockaddr*>(&addr), &nLen);
    nPort = ntohs(addr.sin_port);
    return nSocket;
}

std::string FreeUdpUrl()
{
    int nPort = 0;
    close(BindLoopback(nPort));
    return "udp://127.0.0.1:" + std::to_string(nPort);
}

int PortOf(const std::string& sUrl)
{
    return std::stoi(sUrl.substr(sUrl.rfind(':') + 1));
}

int64_t SteadyMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Quote(const std::string& s)
{
    return "'" + s + "'";
}

class BraidmillLiveTest : public CSamplePairTest
{
protected:
    // The same inputs from files, in output time.
    std::vector<uint8_t> Reference() { return FastReference(kRateArg); }

    // Both inputs sent over UDP in real time (the MPEG-2 one 50 ppm fast,
    // the H.264 one 50 ppm slow and silent for fPause s half-way), muxed to
    // sOut; checks what any live run must give.
    void MuxLive(const std::string& sOut, double fPause, const std::string& sTimeout)
    {
        CPacedSender mpeg2, h264;
        ASSERT_TRUE(mpeg2.Load(m_sMpeg2));
        ASSERT_TRUE(h264.Load(m_sH264));
        const std::string sUrl1 = FreeUdpUrl(), sUrl2 = FreeUdpUrl();
        const auto Port = [](const std::string& s) { return std::stoi(s.substr(s.rfind(':') + 1)); };
        // Both start once the program listens.
        ASSERT_TRUE(mpeg2.Start(Port(sUrl1), 1.0 - 50e-6, 1.0));
        ASSERT_TRUE(h264.Start(Port(sUrl2), 1.0 + 50e-6, 1.0, h264.GetPacketCount() / 2, fPause));
        const ToolResult run =
            Mux({"--rate", kRateArg, "--input-timeout", sTimeout, "--input-timeout-ends", "-o", sOut,
                 sUrl1, sUrl2});
        mpeg2.Join();
        h264.Join();
        ASSERT_EQ(run.nStatus, 0) << run.sErr;
        EXPECT_EQ(run.sErr.find("ms late"), std::string::npos) << run.sErr;
        ASSERT_TRUE(m_out.LoadFile(sOut));
        EXPECT_TRUE(m_out.IsWholePackets());
        EXPECT_EQ(m_out.GetCcErrors(), 0);
        EXPECT_EQ(m_out.GetPat().programs.size(), 2u);
        for (uint16_t nPid : m_out.GetPcrPids()) {
            EXPECT_LE(m_out.CheckPcrAccuracy(nPid, kRate).fMaxGapMs, 40.0) << "PID " << nPid;
        }
    }

    // The stream packets of input i (program 101 + i) with payload (the
    // muxer adds PCR-only ones) are in the output once, in order, without a
    // gap, from the first one on (a live input's from the first that came
    // once the output began); returns how many are missing at the end.
    size_t CheckStreams(const std::string& sInput, int i)
    {
        tsr::CTsReader in;
        EXPECT_TRUE(in.LoadFile(sInput));
        const tsr::Pmt& inPmt = in.GetFirstPmts().begin()->second;
        const tsr::Pmt* pOutPmt = m_out.FindPmt(uint16_t(101 + i));
        if (pOutPmt == nullptr || pOutPmt->streams.size() != inPmt.streams.size()) {
            ADD_FAILURE() << "program " << 101 + i << " missing or changed";
            return SIZE_MAX;
        }
        const auto Payload = [](const std::vector<tsr::Bytes>& vPackets) {
            std::vector<tsr::Bytes> v;
            for (const tsr::Bytes& p : vPackets) {
                if ((p[3] & 0x10) != 0) {
                    v.push_back(tsr::CTsReader::Comparable(p.data()));
                    if ((p[3] & 0x20) != 0 && p[4] > 0) {
                        v.back()[5] &= 0x7F; // a resume is signalled
                    }
                }
            }
            return v;
        };
        size_t nMissing = 0;
        for (size_t s = 0; s < inPmt.streams.size(); ++s) {
            const auto vIn = Payload(in.GetPackets(inPmt.streams[s].nPid));
            const auto vOut = Payload(m_out.GetPackets(pOutPmt->streams[s].nPid));
            const auto itFirst =
                vOut.empty() ? vIn.end() : std::find(vIn.begin(), vIn.end(), vOut.front());
            const size_t nSkipped = size_t(itFirst - vIn.begin());
            if (vOut.empty() || nSkipped > m_nMaxSkipped || vOut.size() > vIn.size() - nSkipped ||
                !std::equal(vOut.begin(), vOut.end(), itFirst)) {
                ADD_FAILURE() << "input " << i << " stream " << s << " is not a stretch of its input";
                return SIZE_MAX;
            }
            nMissing = std::max(nMissing, vIn.size() - nSkipped - vOut.size());
        }
        return nMissing;
    }

    size_t FirstPacketOf(uint16_t nPid) const
    {
        for (size_t i = 0; i < m_out.GetPacketCount(); ++i) {
            if (m_out.GetPid(i) == nPid) {
                return i;
            }
        }
        return SIZE_MAX;
    }

    size_t m_nMaxSkipped = 0; // packets of a stream the output may start after
    tsr::CTsReader m_out;
};

} // namespace

TEST_F(BraidmillLiveTest, UdpOutputDeliversTheFileRunInWholeDatagramsInOrder)
{
    const std::vector<uint8_t> vRef = Reference();
    int nPort = 0;
    const int nSocket = BindLoopback(nPort);
    std::vector<std::vector<uint8_t>> vDatagrams;
    std::atomic<bool> bDone{false};
    std::thread receiver([&] {
        std::vector<uint8_t> vBuf(65536);
        for (;;) {
            const ssize_t n = recv(nSocket, vBuf.data(), vBuf.size(), 0);
            if (n > 0) {
                vDatagrams.emplace_back(vBuf.begin(), vBuf.begin() + n);
            } else if (bDone) {
                break; // 300 ms without a datagram after the run
            }
        }
    });
    const ToolResult run =
        Mux({"--rate", kRateArg, "-o", "udp://127.0.0.1:" + std::to_string(nPort), m_sMpeg2, m_sH264});
    bDone = true;
    receiver.join();
    close(nSocket);
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    std::vector<uint8_t> vGot;
    for (size_t i = 0; i < vDatagrams.size(); ++i) {
        // Only the last may be short: what was left at the end.
        if (i + 1 < vDatagrams.size()) {
            ASSERT_EQ(vDatagrams[i].size(), 7u * 188) << "datagram " << i;
        }
        vGot.insert(vGot.end(), vDatagrams[i].begin(), vDatagrams[i].end());
    }
    EXPECT_TRUE(vGot == vRef) << "the network carries the bytes of the file run";
}

TEST_F(BraidmillLiveTest, TwoLiveUdpInputsOnOtherClocksMuxIntoACheckedFile)
{
    // What came before the output began is not kept: a second of it at most.
    m_nMaxSkipped = 600;
    MuxLive(m_sDir + "/live.ts", 0, "1");
    // The input that ends first ends the run; the other may lose a little
    // of what was on its way.
    EXPECT_LE(CheckStreams(m_sMpeg2, 0), 30u);
    EXPECT_LE(CheckStreams(m_sH264, 1), 30u);
}

// The silent sender's program stays announced with its PCRs going, the
// other input is not held, and what comes after the silence leaves on time.
TEST_F(BraidmillLiveTest, SilentSenderKeepsItsProgramAndResumesCleanly)
{
    // The H.264 sender ends 1.5 s after the other, within its 3 s timeout.
    m_nMaxSkipped = 600;
    MuxLive(m_sDir + "/pause.ts", 1.5, "3");
    EXPECT_EQ(CheckStreams(m_sMpeg2, 0), 0u);
    EXPECT_EQ(CheckStreams(m_sH264, 1), 0u);
}

TEST_F(BraidmillLiveTest, PipeFifoAndStandardOutputGiveTheFileRunsBytes)
{
    const std::vector<uint8_t> vRef = Reference();
    const std::string sCli = Quote(BM_CLI_PATH) + " --fast --rate " + kRateArg + " ";
    const std::string sIn = m_sDir + "/stdin.ts", sOut = m_sDir + "/stdout.ts";
    const std::string sFifo = m_sDir + "/in.fifo", sFromFifo = m_sDir + "/fifo.ts";
    ASSERT_EQ(CToolRun::Shell("cat " + Quote(m_sMpeg2) + " | " + sCli + "- " + Quote(m_sH264) +
                              " " + Quote(sIn) + " >/dev/null 2>&1"),
              0);
    // Standard output by other names too: nothing but the multiplex in it.
    const std::string sDevOut = m_sDir + "/devstdout.ts", sFdOut = m_sDir + "/fd1.ts";
    for (const auto& [sName, sPath] :
         {std::pair{std::string("-"), sOut}, std::pair{std::string("/dev/stdout"), sDevOut},
          std::pair{std::string("/proc/self/fd/1"), sFdOut}}) {
        ASSERT_EQ(CToolRun::Shell(sCli + Quote(m_sMpeg2) + " " + Quote(m_sH264) + " " + sName +
                                  " >" + Quote(sPath) + " 2>/dev/null"),
                  0);
    }
    // The FIFO's writer comes only after the program has opened it.
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    ASSERT_EQ(CToolRun::Shell("(sleep 0.3; cat " + Quote(m_sH264) + " >" + Quote(sFifo) + ") & " +
                              sCli + Quote(m_sMpeg2) + " " + Quote(sFifo) + " " + Quote(sFromFifo) +
                              " >/dev/null 2>&1"),
              0);
    ASSERT_FALSE(vRef.empty());
    ASSERT_EQ(vRef.size() % 188, 0u);
    for (size_t i = 0; i < vRef.size(); i += 188) {
        ASSERT_EQ(vRef[i], 0x47) << "byte " << i;
    }
    for (const std::string& sPath : {sIn, sOut, sDevOut, sFdOut, sFromFifo}) {
        std::vector<uint8_t> v;
        ASSERT_TRUE(CStreamMaker::ReadFile(sPath, v));
        EXPECT_TRUE(v == vRef) << sPath;
    }
}

TEST_F(BraidmillLiveTest, PipedInputWithoutRateRunsInRealTimeFromItsPcrs)
{
    const std::string sOut = m_sDir + "/piped.ts";
    ASSERT_EQ(CToolRun::Shell("cat " + Quote(m_sMpeg2) + " | " + Quote(BM_CLI_PATH) + " - " +
                              Quote(m_sH264) + " " + Quote(sOut) + " >/dev/null 2>&1"),
              0);
    ASSERT_TRUE(m_out.LoadFile(sOut));
    EXPECT_EQ(m_out.GetCcErrors(), 0);
    EXPECT_EQ(CheckStreams(m_sMpeg2, 0), 0u);
    EXPECT_EQ(CheckStreams(m_sH264, 1), 0u);
}

TEST_F(BraidmillLiveTest, LoopSignalsEachPassWithoutContinuityErrors)
{
    const std::string sOut = m_sDir + "/loop.ts";
    // 3 s inputs, 7 s of output: a third pass begins.
    const ToolResult run =
        Mux({"--fast", "--loop", "--duration", "7", "--rate", kRateArg, m_sMpeg2, m_sH264, sOut});
    // The duration ends the run while the looping readers wait for room:
    // what they held then is no loss.
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    ASSERT_TRUE(m_out.LoadFile(sOut));
    EXPECT_EQ(m_out.GetCcErrors(), 0);
    for (uint16_t nProgram : {uint16_t(101), uint16_t(102)}) {
        const tsr::Pmt* pPmt = m_out.FindPmt(nProgram);
        ASSERT_NE(pPmt, nullptr);
        // The PCR jumps back at each seam, signalled; each stream's first
        // packet of a pass carries the flag.
        const auto& vPcrs = m_out.GetPcrs(pPmt->nPcrPid);
        EXPECT_EQ(std::count_if(vPcrs.begin(), vPcrs.end(), [](auto& p) { return p.bDiscontinuity; }), 2)
            << "program " << nProgram;
        for (const tsr::PmtStream& es : pPmt->streams) {
            const auto vPackets = m_out.GetPackets(es.nPid);
            EXPECT_GE(std::count_if(vPackets.begin(), vPackets.end(),
                                    [](auto& p) { return (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80); }),
                      2)
                << "PID " << es.nPid;
        }
    }
}

TEST_F(BraidmillLiveTest, SilentNetworkInputIsNamedAndTheRunGoesOnWithoutIt)
{
    const std::string sUrl = FreeUdpUrl(), sOut = m_sDir + "/without.ts";
    const ToolResult run = Mux({"--start-wait", "1", "-t", "2", "--rate", kRateArg, "-o", sOut,
                                m_sMpeg2, sUrl},
                               30);
    EXPECT_EQ(run.nStatus, 0) << run.sErr;
    EXPECT_NE(run.sErr.find(sUrl + ": nothing received in 1 s; its programs join when they come"),
              std::string::npos)
        << run.sErr;
    ASSERT_TRUE(m_out.LoadFile(sOut));
    EXPECT_EQ(m_out.GetPat().programs.size(), 1u);
}

// Nothing to start with is an error, before the output is created.
TEST_F(BraidmillLiveTest, NoInputSendingIsAnErrorNamingEach)
{
    const std::string sUrl1 = FreeUdpUrl(), sUrl2 = FreeUdpUrl(), sOut = m_sDir + "/never.ts";
    const ToolResult run = Mux({"--start-wait", "1", "-o", sOut, sUrl1, sUrl2}, 30);
    EXPECT_EQ(run.nStatus, 1);
    for (const std::string& sUrl : {sUrl1, sUrl2}) {
        EXPECT_NE(run.sErr.find(sUrl + ": nothing received in 1 s"), std::string::npos) << run.sErr;
    }
    struct stat st = {};
    EXPECT_NE(stat(sOut.c_str(), &st), 0) << "the output is never created";
}

// Input 1 starts after the run has begun without it: program 101 is input
// 2's from the first tables on, and input 1's joins as program 102 with new
// tables once it sends.
TEST_F(BraidmillLiveTest, InputThatStartsLateJoinsWithItsProgram)
{
    CPacedSender late, early;
    ASSERT_TRUE(late.Load(m_sH264));
    ASSERT_TRUE(early.Load(m_sMpeg2));
    const std::string sUrl1 = FreeUdpUrl(), sUrl2 = FreeUdpUrl(), sOut = m_sDir + "/late.ts";
    ASSERT_TRUE(early.Start(PortOf(sUrl2), 1.0, 0.3));
    ASSERT_TRUE(late.Start(PortOf(sUrl1), 1.0, 2.5));
    const ToolResult run = Mux(
        {"--start-wait", "1", "-t", "4.5", "--rate", kRateArg, "-o", sOut, sUrl1, sUrl2}, 30);
    early.Join();
    late.Join();
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    ASSERT_TRUE(m_out.LoadFile(sOut));
    EXPECT_EQ(m_out.GetCcErrors(), 0);
    std::vector<size_t> vPats; // the packet of each PAT version's first section
    int nVersion = -1;
    for (const tsr::Section& section : m_out.GetSections()) {
        if (section.nPid == 0 && ((section.bytes[5] >> 1) & 0x1F) != nVersion) {
            nVersion = (section.bytes[5] >> 1) & 0x1F;
            vPats.push_back(section.nPacket);
        }
    }
    ASSERT_GE(vPats.size(), 2u);
    EXPECT_EQ(vPats[0], 0u);
    EXPECT_EQ(m_out.GetPat().programs.size(), 2u);
    m_nMaxSkipped = 1000;
    EXPECT_LE(CheckStreams(m_sMpeg2, 0), 30u) << "input 2 is program 101";
    EXPECT_LE(CheckStreams(m_sH264, 1), 30u) << "input 1 joined as program 102";
    const tsr::Pmt* pLate = m_out.FindPmt(102);
    ASSERT_NE(pLate, nullptr);
    const size_t nFirstLate = m_out.GetPidCounts().count(pLate->streams[0].nPid) != 0
                                  ? FirstPacketOf(pLate->streams[0].nPid)
                                  : SIZE_MAX;
    EXPECT_GT(nFirstLate, vPats[1]) << "after the tables that carry it";
}

// 20 Mbit/s of program packets, at the rate the program picks from it:
// nothing dropped, nothing late.
TEST_F(BraidmillLiveTest, TwentyMbitLiveInputLosesNothingAtTheDefaultRate)
{
    const std::string sIn = m_sDir + "/20m.ts", sOut = m_sDir + "/20m-out.ts";
    ASSERT_TRUE(CStreamMaker::MakeFullMpeg2(sIn, 3.0, 20'000'000));
    CPacedSender sender;
    ASSERT_TRUE(sender.Load(sIn));
    const std::string sUrl = FreeUdpUrl();
    ASSERT_TRUE(sender.Start(PortOf(sUrl), 1.0, 0.5));
    const ToolResult run = Mux({"--input-timeout", "1", "--input-timeout-ends", "--stats",
                                m_sDir + "/20m.json", "-o", sOut, sUrl},
                               30);
    sender.Join();
    // Packets late on a busy machine are a timing figure (status 3), not a loss.
    EXPECT_TRUE(run.nStatus == 0 || run.nStatus == 3) << run.sErr;
    std::vector<uint8_t> vStats;
    ASSERT_TRUE(CStreamMaker::ReadFile(m_sDir + "/20m.json", vStats));
    const std::string sStats(vStats.begin(), vStats.end());
    EXPECT_NE(sStats.find("\"dropped\": 0"), std::string::npos) << sStats;
    ASSERT_TRUE(m_out.LoadFile(sOut));
    m_nMaxSkipped = 20'000; // what came before the output began
    EXPECT_EQ(CheckStreams(sIn, 0), 0u);
}

// A FIFO whose writer stops for 2 s half-way (what it wrote before is muxed
// by then): in real time the output keeps its rate and the file input's
// program, and the FIFO's program resumes after the pause, whole.
TEST_F(BraidmillLiveTest, StalledFifoLeavesTheOtherProgramAndTheOutputRateAlone)
{
    const std::string sFifo = m_sDir + "/stall.fifo", sFull = m_sDir + "/12m.ts";
    ASSERT_TRUE(CStreamMaker::MakeFullMpeg2(sFull, 4.0, 12'000'000));
    std::vector<uint8_t> vFull;
    ASSERT_TRUE(CStreamMaker::ReadFile(sFull, vFull));
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    std::thread writer([&] {
        const int nFd = open(sFifo.c_str(), O_WRONLY); // once the program's reader is there
        const auto WriteAll = [&](size_t nFrom, size_t nTo) {
            while (nFd >= 0 && nFrom < nTo) {
                const ssize_t n = write(nFd, &vFull[nFrom], nTo - nFrom);
                if (n <= 0) {
                    return;
                }
                nFrom += size_t(n);
            }
        };
        const size_t nHalf = vFull.size() / 2 / 188 * 188;
        WriteAll(0, nHalf);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        WriteAll(nHalf, vFull.size());
        if (nFd >= 0) {
            close(nFd);
        }
    });
    int nPort = 0;
    const int nSocket = BindLoopback(nPort);
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> vDatagrams; // arrival micros, bytes
    std::atomic<bool> bDone{false};
    std::thread receiver([&] {
        std::vector<uint8_t> vBuf(65536);
        while (true) {
            const ssize_t n = recv(nSocket, vBuf.data(), vBuf.size(), 0);
            if (n > 0) {
                vDatagrams.emplace_back(SteadyMicros(), std::vector<uint8_t>(vBuf.begin(), vBuf.begin() + n));
            } else if (bDone) {
                break;
            }
        }
    });
    constexpr int kOutRate = 16'000'000;
    const ToolResult run = Mux({"--rate", std::to_string(kOutRate), "-o",
                                "udp://127.0.0.1:" + std::to_string(nPort), m_sMpeg2, sFifo},
                               30);
    writer.join();
    bDone = true;
    receiver.join();
    close(nSocket);
    // Packets late on a busy machine are a timing figure (status 3), not a loss.
    ASSERT_TRUE(run.nStatus == 0 || run.nStatus == 3) << run.sErr;
    ASSERT_GT(vDatagrams.size(), 100u);
    int64_t nMaxGap = 0;
    std::vector<uint8_t> vAll;
    std::vector<std::pair<int, int64_t>> vArrivals; // PID of each payload packet, its arrival
    for (size_t i = 0; i < vDatagrams.size(); ++i) {
        if (i > 0) {
            nMaxGap = std::max(nMaxGap, vDatagrams[i].first - vDatagrams[i - 1].first);
        }
        vAll.insert(vAll.end(), vDatagrams[i].second.begin(), vDatagrams[i].second.end());
        for (size_t k = 0; k + 188 <= vDatagrams[i].second.size(); k += 188) {
            const uint8_t* p = &vDatagrams[i].second[k];
            if ((p[3] & 0x10) != 0) { // its PCRs go on meanwhile, on packets of their own
                vArrivals.emplace_back(((p[1] & 0x1F) << 8) | p[2], vDatagrams[i].first);
            }
        }
    }
    EXPECT_LT(nMaxGap, 500'000) << "the output stopped for " << nMaxGap << " us";
    const double fSeconds = double(vDatagrams.back().first - vDatagrams.front().first) / 1e6;
    EXPECT_NEAR(double(vAll.size()) * 8 / fSeconds, kOutRate, kOutRate * 0.1);
    // The pause shows in the FIFO's video (program 102) and not in the
    // file's (program 101), which goes on meanwhile.
    int64_t nLast = -1, nGapFrom = 0, nGapTo = 0;
    for (const auto& [nPid, nAt] : vArrivals) {
        if (nPid == 1023) {
            if (nLast >= 0 && nAt - nLast > nGapTo - nGapFrom) {
                nGapFrom = nLast;
                nGapTo = nAt;
            }
            nLast = nAt;
        }
    }
    EXPECT_GT(nGapTo - nGapFrom, 1'000'000) << "the FIFO's pause";
    EXPECT_GT(std::count_if(vArrivals.begin(), vArrivals.end(),
                            [&](const auto& a) {
                                return a.first == 1013 && a.second > nGapFrom && a.second < nGapTo;
                            }),
              100)
        << "the file's program during it";
    m_out.LoadBuffer(vAll.data(), vAll.size());
    EXPECT_EQ(CheckStreams(m_sMpeg2, 0), 0u) << "the file's program is whole";
    EXPECT_EQ(CheckStreams(sFull, 1), 0u) << "the FIFO's program is whole, after its pause too";
}

// Silent for 2 s, then back: the first packet of each of its streams after
// the outage carries discontinuity_indicator, the audio's too.
TEST_F(BraidmillLiveTest, OutageIsSignalledOnVideoAndAudio)
{
    CPacedSender sender;
    ASSERT_TRUE(sender.Load(m_sMpeg2));
    const std::string sUrl = FreeUdpUrl(), sOut = m_sDir + "/outage.ts";
    ASSERT_TRUE(sender.Start(PortOf(sUrl), 1.0, 0.3, sender.GetPacketCount() / 2, 2.0));
    const ToolResult run =
        Mux({"--rate", kRateArg, "--input-timeout", "0.5", "-t", "5.5", "-o", sOut, sUrl}, 30);
    sender.Join();
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    EXPECT_NE(run.sOut.find("mux: input 1: nothing received for 500 ms"), std::string::npos);
    EXPECT_NE(run.sOut.find("mux: input 1: receiving again after"), std::string::npos);
    ASSERT_TRUE(m_out.LoadFile(sOut));
    EXPECT_EQ(m_out.GetCcErrors(), 0);
    const tsr::Pmt* pPmt = m_out.FindPmt(101);
    ASSERT_NE(pPmt, nullptr);
    ASSERT_EQ(pPmt->streams.size(), 2u);
    for (const tsr::PmtStream& es : pPmt->streams) {
        const std::vector<tsr::Bytes> vPackets = m_out.GetPackets(es.nPid);
        const auto nFlagged = std::count_if(vPackets.begin(), vPackets.end(), [](const tsr::Bytes& p) {
            return (p[3] & 0x20) != 0 && p[4] > 0 && (p[5] & 0x80) != 0;
        });
        EXPECT_EQ(nFlagged, 1) << "PID " << es.nPid;
    }
}
