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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
            Mux({"--rate", kRateArg, "--input-timeout", sTimeout, "-o", sOut, sUrl1, sUrl2});
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
    // gap, from the first one on; returns how many are missing at the end.
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
                }
            }
            return v;
        };
        size_t nMissing = 0;
        for (size_t s = 0; s < inPmt.streams.size(); ++s) {
            const auto vIn = Payload(in.GetPackets(inPmt.streams[s].nPid));
            const auto vOut = Payload(m_out.GetPackets(pOutPmt->streams[s].nPid));
            if (vOut.empty() || vOut.size() > vIn.size() ||
                !std::equal(vOut.begin(), vOut.end(), vIn.begin())) {
                ADD_FAILURE() << "input " << i << " stream " << s << " is not its input's start";
                return SIZE_MAX;
            }
            nMissing = std::max(nMissing, vIn.size() - vOut.size());
        }
        return nMissing;
    }

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

TEST_F(BraidmillLiveTest, SilentNetworkInputFailsWithinItsWaitNamingIt)
{
    const std::string sUrl = FreeUdpUrl(), sOut = m_sDir + "/never.ts";
    const ToolResult run = Mux({m_sMpeg2, sUrl, sOut}, 30);
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.sErr.find(sUrl + ": no programs within 10 s"), std::string::npos) << run.sErr;
    struct stat st = {};
    EXPECT_NE(stat(sOut.c_str(), &st), 0) << "the output is never created";
}
