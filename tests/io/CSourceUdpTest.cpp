#include "braidmill.h"

#include "io/CUdpTestSocket.h"
#include "log/CLogger.h"
#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using tsb::CPacketBuilder;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kPmtPid = 0x0100;
constexpr uint16_t kEsPid = 0x0101;
constexpr auto kTimeout = std::chrono::seconds(10);

std::mutex g_mtxLog;
std::vector<std::string> g_vLog;

void CaptureLog(int, std::string sMessage)
{
    std::lock_guard<std::mutex> guard(g_mtxLog);
    g_vLog.push_back(std::move(sMessage));
}

bool HasLog(const std::string& sPart)
{
    std::lock_guard<std::mutex> guard(g_mtxLog);
    for (const std::string& sLine : g_vLog) {
        if (sLine.find(sPart) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// PAT, PMT, then stream packets numbered 0.. in their payload, a PCR every 40.
std::vector<tsb::Packet> ProgramPackets(int nCount)
{
    std::vector<tsb::Packet> v =
        CPacketBuilder::Packetize(0x0000, CPacketBuilder::PatSection(1, {{1, kPmtPid}}));
    for (const auto& p : CPacketBuilder::Packetize(
             kPmtPid, CPacketBuilder::PmtSection(1, kEsPid, {{0x02, kEsPid, {}}}))) {
        v.push_back(p);
    }
    for (int n = 0; n < nCount; ++n) {
        tsb::Header h;
        h.nPid = kEsPid;
        h.nCc = uint8_t(n & 0x0F);
        const Bytes payload = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        v.push_back(n % 40 == 0 ? CPacketBuilder::Pcr(h, int64_t(n) * 300'000, false, payload)
                                : CPacketBuilder::Payload(h, payload));
    }
    return v;
}

int IndexOf(const unsigned char* p)
{
    const int nStart = ((p[3] >> 4) & 0x3) == 3 ? 5 + p[4] : 4;
    return (p[nStart] << 24) | (p[nStart + 1] << 16) | (p[nStart + 2] << 8) | p[nStart + 3];
}

// Packets [nFirst, nFirst + nCount) of v back to back.
Bytes Join(const std::vector<tsb::Packet>& v, size_t nFirst, size_t nCount)
{
    Bytes out;
    for (size_t i = nFirst; i < nFirst + nCount && i < v.size(); ++i) {
        out.insert(out.end(), v[i].begin(), v[i].end());
    }
    return out;
}

// An RTP header with nCsrcs CSRCs, an extension of nExtWords words when
// bExt, and nPad bytes of padding after the payload.
Bytes Rtp(uint16_t nSeq, const Bytes& payload, int nCsrcs = 0, bool bExt = false,
          int nExtWords = 0, int nPad = 0)
{
    Bytes d = {uint8_t(0x80 | (nPad ? 0x20 : 0) | (bExt ? 0x10 : 0) | nCsrcs), 33,
               uint8_t(nSeq >> 8), uint8_t(nSeq), 0, 0, 0, 0, 1, 2, 3, 4};
    d.insert(d.end(), size_t(4 * nCsrcs), 0xCC);
    if (bExt) {
        d.insert(d.end(), {0xBE, 0xDE, 0, uint8_t(nExtWords)});
        d.insert(d.end(), size_t(4 * nExtWords), 0xEE);
    }
    d.insert(d.end(), payload.begin(), payload.end());
    if (nPad) {
        d.insert(d.end(), size_t(nPad - 1), 0);
        d.push_back(uint8_t(nPad));
    }
    return d;
}

class CSourceUdpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> guard(g_mtxLog);
            g_vLog.clear();
        }
        m_pfPrevLog = LogOutput;
        LogOutput = CaptureLog;
        m_pInput = new CInputModuleIface;
        m_pInput->SetSourceAttribute({1, 0, 0});
        m_pSource = new CSourceUdp;
        m_nPort = CUdpTestSocket::FreePort();
    }

    void TearDown() override
    {
        delete m_pSource;
        delete m_pInput;
        LogOutput = m_pfPrevLog;
    }

    void Start(const char* szScheme)
    {
        const std::string sUrl = std::string(szScheme) + "://127.0.0.1:" + std::to_string(m_nPort);
        ASSERT_EQ(m_pSource->Open(sUrl.c_str()), 0) << m_pSource->GetError();
        m_pSource->SetRecvModule(m_pInput);
        m_pSource->StartRead();
    }

    void Send(const Bytes& datagram) { ASSERT_TRUE(m_sender.SendTo(m_nPort, datagram)); }

    // The indices of the first nCount stream packets out of the input.
    std::vector<int> Take(int nCount)
    {
        std::vector<int> vIndex;
        const auto tEnd = Clock::now() + kTimeout;
        while (!m_pInput->IsReady()) {
            if (Clock::now() > tEnd) {
                ADD_FAILURE() << "input never became ready";
                return vIndex;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_pInput->GetPidMapList()[kEsPid] = kEsPid;
        while (int(vIndex.size()) < nCount && Clock::now() < tEnd) {
            long long llPts = 0;
            long long llDts = 0;
            int nPcrPid = 0;
            unsigned char* p = m_pInput->GetOnePacket(llPts, llDts, nPcrPid);
            if (p == nullptr) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            vIndex.push_back(IndexOf(p));
            m_pInput->ReleaseBuffer(p);
        }
        return vIndex;
    }

    static std::vector<int> Sequence(int nCount)
    {
        std::vector<int> v(size_t(nCount), 0);
        for (int n = 0; n < nCount; ++n) {
            v[n] = n;
        }
        return v;
    }

    // Deletes the source on another thread; false when that hangs.
    bool DeleteSourceWithin(std::chrono::seconds timeout)
    {
        CSourceUdp* pSource = m_pSource;
        m_pSource = nullptr;
        auto done = std::async(std::launch::async, [pSource] { delete pSource; });
        if (done.wait_for(timeout) != std::future_status::ready) {
            ADD_FAILURE() << "deleting the source hung";
            std::_Exit(1); // the thread still uses the fixture
        }
        return true;
    }

    LogOutputFn m_pfPrevLog = nullptr;
    CInputModuleIface* m_pInput = nullptr;
    CSourceUdp* m_pSource = nullptr;
    CUdpTestSocket m_sender;
    uint16_t m_nPort = 0;
};

} // namespace

TEST_F(CSourceUdpTest, WholeDatagramsArriveInOrderAndBrokenOnesAreDropped)
{
    Start("udp");
    const auto packets = ProgramPackets(300);
    Bytes notWhole = Join(packets, 2, 1);
    notWhole.resize(100);
    Bytes noSync = Join(packets, 2, 2);
    noSync[188] = 0x00;
    Send(Join(packets, 0, 2));
    for (size_t i = 2; i < packets.size(); i += 7) {
        if (i == 100) {
            Send(notWhole);
            Send(noSync);
        }
        Send(Join(packets, i, 7));
    }
    EXPECT_EQ(Take(300), Sequence(300));
    EXPECT_EQ(m_pSource->GetBadDatagrams(), 2);
    EXPECT_EQ(m_pSource->GetPackets(), 302);
    EXPECT_TRUE(HasLog("datagram of 100 bytes dropped (not whole TS packets)"));
    EXPECT_FALSE(HasLog("no sync byte")) << "one log line per episode of bad datagrams";
    EXPECT_GT(m_pSource->GetReceiveBufferBytes(), 0);
}

// Headers of every shape are stripped; a jump in the sequence numbers is
// counted (across the 16-bit wrap), a repeated datagram dropped.
TEST_F(CSourceUdpTest, RtpHeadersAreStrippedAndSequenceGapsCounted)
{
    Start("rtp");
    const auto packets = ProgramPackets(70);
    uint16_t nSeq = 65'530;
    Send(Rtp(nSeq++, Join(packets, 0, 2)));
    int nShape = 0;
    for (size_t i = 2; i < packets.size(); i += 7, ++nShape) {
        const Bytes payload = Join(packets, i, 7);
        if (nShape == 4) {
            nSeq += 3; // three datagrams lost on the way
        }
        switch (nShape % 4) {
        case 0: Send(Rtp(nSeq, payload)); break;
        case 1: Send(Rtp(nSeq, payload, 2)); break;
        case 2: Send(Rtp(nSeq, payload, 0, true, 2)); break;
        default: Send(Rtp(nSeq, payload, 1, true, 0, 4)); break;
        }
        if (nShape == 6) {
            Send(Rtp(nSeq, payload)); // a repeat
        }
        ++nSeq;
    }
    EXPECT_EQ(Take(70), Sequence(70));
    EXPECT_EQ(m_pSource->GetSequenceGaps(), 3);
    EXPECT_EQ(m_pSource->GetBadDatagrams(), 0);
    EXPECT_EQ(m_pSource->GetPackets(), 72);
    EXPECT_TRUE(HasLog("RTP sequence gap: 3 datagrams missing"));
}

TEST_F(CSourceUdpTest, StopWithoutTrafficReturnsPromptlyAndEndsTheStream)
{
    Start("udp");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    DeleteSourceWithin(std::chrono::seconds(5));
    EXPECT_TRUE(m_pInput->IsStreamEnd());
    EXPECT_TRUE(HasLog("source thread stopped: udp://127.0.0.1:"));
}

TEST_F(CSourceUdpTest, SilenceLongerThanTheTimeoutEndsTheStream)
{
    m_pSource->SetTimeoutMs(200);
    Start("udp");
    const auto tEnd = Clock::now() + kTimeout;
    while (!m_pInput->IsStreamEnd() && Clock::now() < tEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(m_pInput->IsStreamEnd());
    EXPECT_TRUE(HasLog("no datagram for 200 ms, input ended"));
}

TEST_F(CSourceUdpTest, OpenRefusesTakenPortAndBadUrlWithReason)
{
    const std::string sTaken = "udp://127.0.0.1:" + std::to_string(m_sender.Port());
    EXPECT_EQ(m_pSource->Open(sTaken.c_str()), -1);
    EXPECT_NE(std::string(m_pSource->GetError()).find("bind to 127.0.0.1"), std::string::npos)
        << m_pSource->GetError();
    EXPECT_EQ(m_pSource->Open("udp://127.0.0.1:5000?pkts=7"), -1);
    EXPECT_NE(std::string(m_pSource->GetError()).find("outputs only"), std::string::npos);
    // Started without an open socket: the stream ends at once.
    m_pSource->SetRecvModule(m_pInput);
    m_pSource->StartRead();
    DeleteSourceWithin(std::chrono::seconds(5));
    EXPECT_TRUE(m_pInput->IsStreamEnd());
}

// Joins only, on the loopback interface; nothing is sent to the group.
TEST_F(CSourceUdpTest, JoinsMulticastGroupsOnTheLoopbackInterface)
{
    const std::string sPort = std::to_string(m_nPort);
    const std::string vUrls[] = {
        "udp://@239.255.77.1:" + sPort + "?localaddr=127.0.0.1",
        "rtp://127.0.0.1@232.255.77.1:" + sPort + "?localaddr=127.0.0.1"};
    for (const std::string& sUrl : vUrls) {
        CSourceUdp source;
        if (source.Open(sUrl.c_str()) != 0) {
            GTEST_SKIP() << "no multicast on loopback here: " << source.GetError();
        }
        EXPECT_STREQ(source.GetError(), "");
    }
}
