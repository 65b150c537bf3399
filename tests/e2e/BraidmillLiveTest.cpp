// The console program on live and streamed inputs and outputs: UDP on the
// loopback interface only, standard input and output, a FIFO, and --loop.
#include "CPacedSender.h"
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTsReader.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 6'000'000; // bit/s, room for both inputs and the tables
constexpr size_t kDatagram = 7 * 188;

// A UDP socket bound to 127.0.0.1 on a port the kernel picks.
int BindLoopback(int& nPort)
{
    const int nSocket = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof addr;
    if (nSocket < 0 || bind(nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(nSocket, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        return -1;
    }
    const int nBuffer = 8 << 20;
    setsockopt(nSocket, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof nBuffer);
    nPort = ntohs(addr.sin_port);
    return nSocket;
}

// A port that was free a moment ago, for the program to bind.
int FreePort()
{
    int nPort = 0;
    const int nSocket = BindLoopback(nPort);
    close(nSocket);
    return nPort;
}

// Every datagram that reaches a socket until told to stop.
class CReceiver
{
public:
    CReceiver() : m_nSocket(BindLoopback(m_nPort)) {}
    ~CReceiver()
    {
        Stop();
        close(m_nSocket);
    }
    int GetPort() const { return m_nPort; }
    void Start()
    {
        m_th = std::thread([this] {
            std::vector<uint8_t> vBuf(65536);
            while (!m_bStop) {
                pollfd fd = {m_nSocket, POLLIN, 0};
                if (poll(&fd, 1, 50) <= 0) {
                    continue;
                }
                const ssize_t n = recv(m_nSocket, vBuf.data(), vBuf.size(), 0);
                if (n > 0) {
                    m_vDatagrams.emplace_back(vBuf.begin(), vBuf.begin() + n);
                }
            }
        });
    }
    void Stop()
    {
        m_bStop = true;
        if (m_th.joinable()) {
            m_th.join();
        }
    }
    const std::vector<std::vector<uint8_t>>& GetDatagrams() const { return m_vDatagrams; }

private:
    int m_nPort = 0;
    int m_nSocket;
    std::atomic<bool> m_bStop{false};
    std::thread m_th;
    std::vector<std::vector<uint8_t>> m_vDatagrams; // receiver thread until stopped
};

std::string Quote(const std::string& s)
{
    return "'" + s + "'";
}

class BraidmillLiveTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!CStreamMaker::HaveFfmpeg()) {
            GTEST_SKIP() << "ffmpeg is needed";
        }
        m_sDir = CStreamMaker::MakeWorkDir();
        m_sMpeg2 = m_sDir + "/mpeg2.ts";
        m_sH264 = m_sDir + "/h264.ts";
        ASSERT_TRUE(CStreamMaker::MakeMpeg2(m_sMpeg2, 3.0));
        ASSERT_TRUE(CStreamMaker::MakeH264(m_sH264, 3.0));
    }

    ToolResult Mux(const std::vector<std::string>& vArgs, double fTimeout = 60)
    {
        std::vector<std::string> vAll{BM_CLI_PATH};
        vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
        return CToolRun::Run(vAll, m_sDir, fTimeout);
    }

    // The reference: the same inputs from files, in output time.
    std::vector<uint8_t> Reference()
    {
        const std::string sRef = m_sDir + "/ref.ts";
        const ToolResult run = Mux({"--fast", "--rate", std::to_string(kRate), m_sMpeg2, m_sH264, sRef});
        EXPECT_EQ(run.nStatus, 0) << run.sErr;
        std::vector<uint8_t> v;
        EXPECT_TRUE(CStreamMaker::ReadFile(sRef, v));
        return v;
    }

    // The stream packets of input i (program 101 + i) are in the output once,
    // in order, without a gap, from the first one on; returns how many are
    // missing at the end (the run ends when the first live input does).
    static size_t CheckStreams(const tsr::CTsReader& out, const std::string& sInput, int i)
    {
        tsr::CTsReader in;
        EXPECT_TRUE(in.LoadFile(sInput));
        const tsr::Pmt& inPmt = in.GetFirstPmts().begin()->second;
        const tsr::Pmt* pOutPmt = out.FindPmt(uint16_t(101 + i));
        if (pOutPmt == nullptr || pOutPmt->streams.size() != inPmt.streams.size()) {
            ADD_FAILURE() << "program " << 101 + i << " missing or changed";
            return SIZE_MAX;
        }
        // Packets with payload: the muxer adds PCR-only ones where a live
        // input's PCRs come late.
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
            const auto vOut = Payload(out.GetPackets(pOutPmt->streams[s].nPid));
            if (vOut.empty() || vOut.size() > vIn.size()) {
                ADD_FAILURE() << "input " << i << " stream " << s << ": " << vOut.size() << " of "
                              << vIn.size();
                return SIZE_MAX;
            }
            EXPECT_TRUE(std::equal(vOut.begin(), vOut.end(), vIn.begin()))
                << "input " << i << " stream " << s << " is not its input from the start";
            nMissing = std::max(nMissing, vIn.size() - vOut.size());
        }
        return nMissing;
    }

    std::string m_sDir, m_sMpeg2, m_sH264;
};

} // namespace

TEST_F(BraidmillLiveTest, UdpOutputDeliversTheFileRunInWholeDatagramsInOrder)
{
    const std::vector<uint8_t> vRef = Reference();
    ASSERT_FALSE(vRef.empty());
    CReceiver receiver;
    receiver.Start();
    const ToolResult run = Mux({"--rate", std::to_string(kRate), "-o",
                                "udp://127.0.0.1:" + std::to_string(receiver.GetPort()), m_sMpeg2,
                                m_sH264});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    receiver.Stop();
    const auto& vDatagrams = receiver.GetDatagrams();
    ASSERT_FALSE(vDatagrams.empty());
    std::vector<uint8_t> vGot;
    for (size_t i = 0; i < vDatagrams.size(); ++i) {
        // Only the last may be short: what was left at the end.
        if (i + 1 < vDatagrams.size()) {
            ASSERT_EQ(vDatagrams[i].size(), kDatagram) << "datagram " << i;
        }
        vGot.insert(vGot.end(), vDatagrams[i].begin(), vDatagrams[i].end());
    }
    EXPECT_EQ(vGot.size(), vRef.size());
    EXPECT_TRUE(vGot == vRef) << "the network carries the bytes of the file run";
}

TEST_F(BraidmillLiveTest, TwoLiveUdpInputsSentInRealTimeMuxIntoACheckedFile)
{
    CPacedSender mpeg2, h264;
    ASSERT_TRUE(mpeg2.Load(m_sMpeg2));
    ASSERT_TRUE(h264.Load(m_sH264));
    const int nPort1 = FreePort(), nPort2 = FreePort();
    const std::string sOut = m_sDir + "/live.ts";
    // One sender 50 ppm fast, one 50 ppm slow; both start once the program listens.
    ASSERT_TRUE(mpeg2.Start(nPort1, 1.0 - 50e-6, 1.0));
    ASSERT_TRUE(h264.Start(nPort2, 1.0 + 50e-6, 1.0));
    const ToolResult run =
        Mux({"--rate", std::to_string(kRate), "--input-timeout", "1", "-o", sOut,
             "udp://127.0.0.1:" + std::to_string(nPort1), "udp://127.0.0.1:" + std::to_string(nPort2)});
    mpeg2.Join();
    h264.Join();
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    EXPECT_EQ(run.sErr.find("ms late"), std::string::npos) << run.sErr;

    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_TRUE(out.IsWholePackets());
    EXPECT_EQ(out.GetCcErrors(), 0);
    EXPECT_EQ(out.GetPsiErrors().nCrc, 0);
    for (uint16_t nPid : out.GetPcrPids()) {
        EXPECT_LE(out.CheckPcrAccuracy(nPid, kRate).fMaxGapMs, 40.0) << "PID " << nPid;
    }
    // The input that ends first ends the run; the other may lose what was
    // still on its way (a few of the 100 ms it spends in the muxer).
    EXPECT_LE(CheckStreams(out, m_sMpeg2, 0), 30u);
    EXPECT_LE(CheckStreams(out, m_sH264, 1), 30u);
}

TEST_F(BraidmillLiveTest, StandardInputAndOutputGiveTheFileRunsBytes)
{
    const std::vector<uint8_t> vRef = Reference();
    const std::string sRate = " --fast --rate " + std::to_string(kRate) + " ";
    const std::string sIn = m_sDir + "/stdin.ts", sOut = m_sDir + "/stdout.ts";
    ASSERT_EQ(CToolRun::Shell("cat " + Quote(m_sMpeg2) + " | " + Quote(BM_CLI_PATH) + sRate + "- " +
                              Quote(m_sH264) + " " + Quote(sIn) + " >/dev/null 2>&1"),
              0);
    ASSERT_EQ(CToolRun::Shell(Quote(BM_CLI_PATH) + sRate + Quote(m_sMpeg2) + " " + Quote(m_sH264) +
                              " - >" + Quote(sOut) + " 2>/dev/null"),
              0);
    std::vector<uint8_t> vIn, vOut;
    ASSERT_TRUE(CStreamMaker::ReadFile(sIn, vIn));
    ASSERT_TRUE(CStreamMaker::ReadFile(sOut, vOut));
    EXPECT_TRUE(vIn == vRef) << "a pipe gives what the file gives";
    EXPECT_TRUE(vOut == vRef) << "standard output carries the multiplex and nothing else";
}

TEST_F(BraidmillLiveTest, PipedInputWithoutRateRunsInRealTimeFromItsPcrs)
{
    const std::string sOut = m_sDir + "/piped.ts";
    ASSERT_EQ(CToolRun::Shell("cat " + Quote(m_sMpeg2) + " | " + Quote(BM_CLI_PATH) + " - " +
                              Quote(m_sH264) + " " + Quote(sOut) + " >/dev/null 2>&1"),
              0);
    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_EQ(out.GetCcErrors(), 0);
    EXPECT_EQ(CheckStreams(out, m_sMpeg2, 0), 0u);
    EXPECT_EQ(CheckStreams(out, m_sH264, 1), 0u);
}

TEST_F(BraidmillLiveTest, FifoInputGivesTheFileRunsBytes)
{
    const std::vector<uint8_t> vRef = Reference();
    const std::string sFifo = m_sDir + "/in.fifo", sOut = m_sDir + "/fifo.ts";
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    // The writer comes after the program has opened the FIFO, and only then.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CToolRun::Shell("cat " + Quote(m_sH264) + " > " + Quote(sFifo));
    });
    const ToolResult run =
        Mux({"--fast", "--rate", std::to_string(kRate), m_sMpeg2, sFifo, sOut}, 30);
    writer.join();
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    std::vector<uint8_t> vOut;
    ASSERT_TRUE(CStreamMaker::ReadFile(sOut, vOut));
    EXPECT_TRUE(vOut == vRef);
}

TEST_F(BraidmillLiveTest, LoopSignalsEachPassWithoutContinuityErrors)
{
    const std::string sOut = m_sDir + "/loop.ts";
    // 3 s inputs, 7 s of output: a third pass begins.
    const ToolResult run = Mux({"--fast", "--loop", "--duration", "7", "--rate",
                                std::to_string(kRate), m_sMpeg2, m_sH264, sOut});
    // A looping reader always waits for room when the duration ends the run:
    // the packet each one held then is counted as dropped, and only that.
    if (run.nStatus == 3) {
        EXPECT_TRUE(run.sErr.find("braidmill: 1 input packet(s) dropped") != std::string::npos ||
                    run.sErr.find("braidmill: 2 input packet(s) dropped") != std::string::npos)
            << run.sErr;
        EXPECT_EQ(run.sErr.find("ms late"), std::string::npos) << run.sErr;
    } else {
        ASSERT_EQ(run.nStatus, 0) << run.sErr;
    }
    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_EQ(out.GetCcErrors(), 0);
    for (uint16_t nProgram : {uint16_t(101), uint16_t(102)}) {
        const tsr::Pmt* pPmt = out.FindPmt(nProgram);
        ASSERT_NE(pPmt, nullptr);
        // The PCR jumps back at each seam, as a signalled discontinuity.
        int nSignalled = 0;
        for (const tsr::PcrSample& pcr : out.GetPcrs(pPmt->nPcrPid)) {
            nSignalled += pcr.bDiscontinuity ? 1 : 0;
        }
        EXPECT_EQ(nSignalled, 2) << "program " << nProgram;
        // Each stream's first packet of a pass carries the flag.
        for (const tsr::PmtStream& es : pPmt->streams) {
            int nFlagged = 0;
            for (const tsr::Bytes& p : out.GetPackets(es.nPid)) {
                nFlagged += (p[3] & 0x20) != 0 && p[4] > 0 && (p[5] & 0x80) != 0 ? 1 : 0;
            }
            EXPECT_GE(nFlagged, 2) << "PID " << es.nPid;
        }
    }
}

TEST_F(BraidmillLiveTest, SilentNetworkInputFailsWithinItsWaitNamingIt)
{
    const std::string sUrl = "udp://127.0.0.1:" + std::to_string(FreePort());
    const ToolResult run = Mux({m_sMpeg2, sUrl, m_sDir + "/never.ts"}, 30);
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.sErr.find(sUrl + ": no programs within 10 s"), std::string::npos) << run.sErr;
    struct stat st = {};
    EXPECT_NE(stat((m_sDir + "/never.ts").c_str(), &st), 0) << "the output is never created";
}

// A sender that falls silent for 1.5 s and goes on where it stopped: its
// program stays announced with its PCRs going, the other input is not held,
// and what comes after the silence leaves on time, nothing lost.
TEST_F(BraidmillLiveTest, SilentSenderKeepsItsProgramAndResumesCleanly)
{
    CPacedSender mpeg2, h264;
    ASSERT_TRUE(mpeg2.Load(m_sMpeg2));
    ASSERT_TRUE(h264.Load(m_sH264));
    const int nPort1 = FreePort(), nPort2 = FreePort();
    const std::string sOut = m_sDir + "/pause.ts";
    ASSERT_TRUE(mpeg2.Start(nPort1, 1.0, 1.0));
    ASSERT_TRUE(h264.Start(nPort2, 1.0, 1.0, h264.GetPacketCount() / 2, 1.5));
    const ToolResult run =
        Mux({"--rate", std::to_string(kRate), "--input-timeout", "3", "-o", sOut,
             "udp://127.0.0.1:" + std::to_string(nPort1), "udp://127.0.0.1:" + std::to_string(nPort2)});
    mpeg2.Join();
    h264.Join();
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    EXPECT_EQ(run.sErr.find("ms late"), std::string::npos) << run.sErr;

    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_EQ(out.GetCcErrors(), 0);
    ASSERT_EQ(out.GetPat().programs.size(), 2u);
    for (uint16_t nPid : out.GetPcrPids()) {
        EXPECT_LE(out.CheckPcrAccuracy(nPid, kRate).fMaxGapMs, 40.0) << "PID " << nPid;
    }
    // The first sender ends first; the second sends 1.5 s longer and the
    // run ends 3 s after the first: everything of both is there.
    EXPECT_EQ(CheckStreams(out, m_sMpeg2, 0), 0u);
    EXPECT_EQ(CheckStreams(out, m_sH264, 1), 0u);
}
