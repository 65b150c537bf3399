#include "braidmill.h"

#include "io/CIoTestKit.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace {

using namespace iokit;
using Bytes = std::vector<uint8_t>;

// An RTP header with nCsrcs CSRCs, an extension of nExtWords words, nPad
// bytes of padding after the payload.
Bytes Rtp(uint16_t nSeq, const Bytes& payload, int nCsrcs = 0, int nExtWords = -1, int nPad = 0)
{
    Bytes d = {uint8_t(0x80 | (nPad ? 0x20 : 0) | (nExtWords >= 0 ? 0x10 : 0) | nCsrcs), 33,
               uint8_t(nSeq >> 8), uint8_t(nSeq), 0, 0, 0, 0, 1, 2, 3, 4};
    d.insert(d.end(), size_t(4 * nCsrcs), 0xCC);
    if (nExtWords >= 0) {
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

// A source on a free loopback port feeding an input module; a test socket
// sends to it.
class CSourceUdpTest : public ::testing::Test
{
protected:
    void SetUp() override { m_input.SetSourceAttribute({1, 0, 0}); }
    void TearDown() override { delete m_pSource; }

    void Start(const char* szScheme)
    {
        const std::string sUrl = std::string(szScheme) + "://127.0.0.1:" + std::to_string(m_nPort);
        ASSERT_EQ(m_pSource->Open(sUrl.c_str()), 0) << m_pSource->GetError();
        m_pSource->SetRecvModule(&m_input);
        m_pSource->StartRead();
    }

    void Send(const Bytes& datagram) { ASSERT_TRUE(m_sender.SendTo(m_nPort, datagram)); }

    void DeleteSource()
    {
        CSourceUdp* pSource = m_pSource;
        m_pSource = nullptr;
        RunWithin([pSource] { delete pSource; }, "deleting the source", 5);
    }

    CLogCapture m_log;
    CInputModuleIface m_input; // outlives the source: declared before it
    CSourceUdp* m_pSource = new CSourceUdp;
    CUdpTestSocket m_sender;
    uint16_t m_nPort = CUdpTestSocket::FreePort();
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
    EXPECT_EQ(Take(m_input, 300), Sequence(300));
    EXPECT_EQ(m_pSource->GetBadDatagrams(), 2);
    EXPECT_EQ(m_pSource->GetPackets(), 302);
    EXPECT_TRUE(m_log.Has("datagram of 100 bytes dropped (not whole TS packets)"));
    EXPECT_FALSE(m_log.Has("no sync byte")) << "one log line per episode of bad datagrams";
}

// Headers of every shape are stripped; a jump in the sequence numbers is
// counted (across the 16-bit wrap), a repeated datagram dropped.
TEST_F(CSourceUdpTest, RtpHeadersAreStrippedAndSequenceGapsCounted)
{
    Start("rtp");
    const auto packets = ProgramPackets(70);
    uint16_t nSeq = 65'530;
    Send(Rtp(nSeq++, Join(packets, 0, 2)));
    for (size_t i = 2, nShape = 0; i < packets.size(); i += 7, ++nShape, ++nSeq) {
        const Bytes payload = Join(packets, i, 7);
        nSeq += nShape == 4 ? 3 : 0; // three datagrams lost on the way
        const int vCsrcs[] = {0, 2, 0, 1};
        const int vExt[] = {-1, -1, 2, 0};
        const int vPad[] = {0, 0, 0, 4};
        const size_t k = nShape % 4;
        Send(Rtp(nSeq, payload, vCsrcs[k], vExt[k], vPad[k]));
        if (nShape == 6) {
            Send(Rtp(nSeq, payload)); // a repeat
        }
    }
    EXPECT_EQ(Take(m_input, 70), Sequence(70));
    EXPECT_EQ(m_pSource->GetSequenceGaps(), 3);
    EXPECT_EQ(m_pSource->GetBadDatagrams(), 0);
    EXPECT_EQ(m_pSource->GetPackets(), 72);
    EXPECT_TRUE(m_log.Has("RTP sequence gap: 3 datagrams missing"));
}

TEST_F(CSourceUdpTest, StopWithoutTrafficReturnsPromptlyAndEndsTheStream)
{
    Start("udp");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    DeleteSource();
    EXPECT_TRUE(m_input.IsStreamEnd());
    EXPECT_TRUE(m_log.Has("source thread stopped: udp://127.0.0.1:"));
}

TEST_F(CSourceUdpTest, SilenceLongerThanTheTimeoutEndsTheStream)
{
    m_pSource->SetTimeoutMs(200);
    Start("udp");
    RunWithin([this] {
        while (!m_input.IsStreamEnd()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }, "waiting for the timeout");
    EXPECT_TRUE(m_log.Has("no datagram for 200 ms, input ended"));
}

TEST_F(CSourceUdpTest, TakenPortIsRefusedAndUnopenedSourceEndsItsStream)
{
    const std::string sTaken = "udp://127.0.0.1:" + std::to_string(m_sender.Port());
    EXPECT_EQ(m_pSource->Open(sTaken.c_str()), -1);
    EXPECT_NE(std::string(m_pSource->GetError()).find("bind to 127.0.0.1"), std::string::npos)
        << m_pSource->GetError();
    m_pSource->SetRecvModule(&m_input);
    m_pSource->StartRead();
    DeleteSource();
    EXPECT_TRUE(m_input.IsStreamEnd());
}

// Datagrams sent to the group on the loopback interface arrive only at a
// source that joined it: any-source, and source-specific from 127.0.0.1.
// Whether the kernel lists a membership of the loopback interface in group
// szGroup (source-specific from szSource when given): /proc/net/igmp holds
// the groups per interface, /proc/net/mcfilter their source filters.
bool LoopbackMember(const char* szGroup, const char* szSource)
{
    in_addr group{};
    in_addr source{};
    inet_pton(AF_INET, szGroup, &group);
    char szHex[16];
    std::snprintf(szHex, sizeof szHex, "%08X", group.s_addr); // as the kernel prints it
    std::ifstream igmp("/proc/net/igmp");
    std::string sLine;
    bool bOnLo = false;
    bool bJoined = false;
    while (std::getline(igmp, sLine)) {
        char szDevice[16] = {};
        if (!sLine.empty() && sLine[0] != '\t') {
            bOnLo = std::sscanf(sLine.c_str(), "%*d %15s", szDevice) == 1 &&
                    std::string(szDevice) == "lo";
        } else if (bOnLo && sLine.find(szHex) != std::string::npos) {
            bJoined = true;
        }
    }
    if (!bJoined || szSource == nullptr) {
        return bJoined;
    }
    inet_pton(AF_INET, szSource, &source);
    char szFilter[64];
    std::snprintf(szFilter, sizeof szFilter, "0x%08x 0x%08x", ntohl(group.s_addr),
                  ntohl(source.s_addr));
    std::ifstream filters("/proc/net/mcfilter");
    while (std::getline(filters, sLine)) {
        char szDevice[16] = {};
        char szGroupHex[16] = {};
        char szSourceHex[16] = {};
        if (std::sscanf(sLine.c_str(), "%*d %15s %15s %15s", szDevice, szGroupHex, szSourceHex) ==
                3 &&
            std::string(szDevice) == "lo" &&
            std::string(szGroupHex) + " " + szSourceHex == szFilter) {
            return true;
        }
    }
    return false;
}

// Joined on the loopback interface, any-source and source-specific, for as
// long as the source is open; nothing is sent to the groups.
TEST_F(CSourceUdpTest, JoinsMulticastGroupsOnTheLoopbackInterface)
{
    const std::string sPort = std::to_string(m_nPort);
    const struct
    {
        std::string sUrl;
        const char* szGroup;
        const char* szSource;
    } vCases[] = {
        {"udp://@239.255.77.1:" + sPort + "?localaddr=127.0.0.1", "239.255.77.1", nullptr},
        {"rtp://127.0.0.1@232.255.77.1:" + sPort + "?localaddr=127.0.0.1", "232.255.77.1",
         "127.0.0.1"}};
    for (const auto& test : vCases) {
        {
            CSourceUdp source;
            if (source.Open(test.sUrl.c_str()) != 0) {
                GTEST_SKIP() << "no multicast on loopback here: " << source.GetError();
            }
            EXPECT_TRUE(LoopbackMember(test.szGroup, test.szSource)) << test.sUrl;
        }
        EXPECT_FALSE(LoopbackMember(test.szGroup, nullptr)) << test.sUrl << " left joined";
    }
}
