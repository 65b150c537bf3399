#include "braidmill.h"

#include "io/CIoTestKit.h"
#include "io/CSrtPeer.h"

#include <gtest/gtest.h>

namespace {

using namespace iokit;
using Bytes = std::vector<uint8_t>;

// A latency well above a busy machine's scheduling stalls: the tests expect
// every packet.
constexpr const char* kKey = "passphrase=braidmill-test&latency=400";

// A source feeding an input module; srt-live-transmit forwards to it what
// a test socket sends to the peer's UDP port.
class CSourceSrtTest : public ::testing::Test
{
protected:
    void SetUp() override { m_input.SetSourceAttribute({1, 0, 0}); }
    void TearDown() override
    {
        m_peer.Stop(SIGKILL);
        delete m_pSource;
    }

    void Start(const std::string& sUrl)
    {
        ASSERT_EQ(m_pSource->Open(sUrl.c_str()), 0) << m_pSource->GetError();
        m_pSource->SetRecvModule(&m_input);
        m_pSource->StartRead();
    }

    std::string SrtPort() const { return std::to_string(m_nSrtPort); }

    // The peer reads UDP from m_nUdpPort and sends it on over SRT.
    void StartPeer(const std::string& sSrt)
    {
        if (!CSrtPeer::IsInstalled()) {
            GTEST_SKIP() << "srt-live-transmit is not installed (srt-tools)";
        }
        ASSERT_TRUE(m_peer.Start("udp://:" + std::to_string(m_nUdpPort), sSrt, "/dev/null", 20));
        ASSERT_TRUE(WaitUdpPortTaken(m_nUdpPort));
    }

    // Packets [nFirst, nFirst + nCount) of v, 7 per datagram, one per ms.
    void SendPaced(const std::vector<tsb::Packet>& v, size_t nFirst, size_t nCount)
    {
        for (size_t i = nFirst; i < nFirst + nCount; i += 7) {
            ASSERT_TRUE(
                m_sender.SendTo(m_nUdpPort, Join(v, i, std::min<size_t>(7, nFirst + nCount - i))));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    CLogCapture m_log;
    CInputModuleIface m_input; // outlives the source: declared before it
    CSourceSrt* m_pSource = new CSourceSrt;
    CSrtPeer m_peer;
    CUdpTestSocket m_sender;
    uint16_t m_nSrtPort = CUdpTestSocket::FreePort();
    uint16_t m_nUdpPort = CUdpTestSocket::FreePort();
};

} // namespace

// Every packet in order through an encrypted link; a message that is not
// whole TS packets is dropped whole and counted.
TEST_F(CSourceSrtTest, ListenerTakesEveryPacketFromACallingPeer)
{
    Start("srt://:" + SrtPort() + "?" + kKey);
    StartPeer("srt://127.0.0.1:" + SrtPort() + "?" + kKey);
    ASSERT_TRUE(WaitFor([this] { return m_pSource->IsConnected(); }));
    const auto packets = ProgramPackets(700);
    SendPaced(packets, 0, 352);
    Bytes notWhole = Join(packets, 2, 1);
    notWhole.resize(100);
    ASSERT_TRUE(m_sender.SendTo(m_nUdpPort, notWhole));
    SendPaced(packets, 352, 350);
    EXPECT_EQ(Take(m_input, 700), Sequence(700));
    EXPECT_EQ(m_pSource->GetPackets(), 702);
    EXPECT_EQ(m_pSource->GetBadMessages(), 1);
    EXPECT_EQ(m_pSource->GetMessages(), 102);
    EXPECT_EQ(m_pSource->GetLinkDrops(), 0);
    EXPECT_TRUE(m_log.Has("SRT message of 100 bytes dropped (not whole TS packets)"));
}

// The listening peer goes away and comes back: the source calls again and
// the stream goes on where the new connection starts.
TEST_F(CSourceSrtTest, CallerResumesWhenItsPeerReturns)
{
    const std::string sPeer = "srt://:" + SrtPort() + "?mode=listener&" + kKey;
    StartPeer(sPeer);
    ASSERT_TRUE(WaitUdpPortTaken(m_nSrtPort));
    Start("srt://127.0.0.1:" + SrtPort() + "?" + kKey);
    ASSERT_TRUE(WaitFor([this] { return m_pSource->IsConnected(); }));
    const auto packets = ProgramPackets(700);
    SendPaced(packets, 0, 352);
    EXPECT_EQ(Take(m_input, 350), Sequence(350));

    m_peer.Stop(SIGINT);
    ASSERT_TRUE(WaitFor([this] { return !m_pSource->IsConnected(); }));
    EXPECT_FALSE(m_input.IsStreamEnd()) << "a feed that is down, not one that ended";
    StartPeer(sPeer);
    ASSERT_TRUE(WaitFor([this] { return m_pSource->IsConnected(); }));
    EXPECT_EQ(m_pSource->GetConnections(), 2);
    SendPaced(packets, 352, 350);
    const std::vector<int> vAll = Sequence(700);
    EXPECT_EQ(Take(m_input, 350), std::vector<int>(vAll.begin() + 350, vAll.end()));
    EXPECT_TRUE(m_log.Has("SRT connection lost"));
}

// Our own sink and source meet; no listener on either side.
TEST_F(CSourceSrtTest, RendezvousWithOurOwnSink)
{
    const uint16_t nSinkPort = CUdpTestSocket::FreePort();
    Start("srt://127.0.0.1:" + std::to_string(nSinkPort) +
          "?mode=rendezvous&localport=" + SrtPort() + "&" + kKey);
    COutPutModuleSrt sink;
    ASSERT_EQ(sink.Open(("srt://127.0.0.1:" + SrtPort() +
                         "?mode=rendezvous&localport=" + std::to_string(nSinkPort) + "&" + kKey)
                            .c_str()),
              0)
        << sink.GetError();
    ASSERT_TRUE(WaitFor([&] { return sink.IsConnected() && m_pSource->IsConnected(); }));
    const Bytes stream = Join(ProgramPackets(300), 0, 302);
    for (size_t i = 0; i < 302; i += 7) {
        const int nBatch = int(std::min<size_t>(7, 302 - i));
        sink.RenderPackets(const_cast<uint8_t*>(stream.data()) + i * 188, nBatch);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sink.Destroy(); // the last packet goes in a short message
    EXPECT_EQ(Take(m_input, 300), Sequence(300));
}

// Waiting for a caller, or calling a peer that is not there: a stop ends
// the wait within its polling step, and the stream ends.
TEST_F(CSourceSrtTest, StopWhileWaitingForAPeerReturnsPromptly)
{
    for (const std::string& sUrl : {"srt://:" + SrtPort(), "srt://127.0.0.1:" + SrtPort()}) {
        CInputModuleIface input;
        auto* pSource = new CSourceSrt;
        ASSERT_EQ(pSource->Open(sUrl.c_str()), 0) << pSource->GetError();
        pSource->SetRecvModule(&input);
        pSource->StartRead();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_FALSE(pSource->IsConnected());
        RunWithin([pSource] { delete pSource; }, "deleting the source", 5);
        EXPECT_TRUE(input.IsStreamEnd()) << sUrl;
    }
    EXPECT_TRUE(m_log.Has("source thread stopped: srt://"));
}

TEST_F(CSourceSrtTest, SilenceLongerThanTheTimeoutEndsTheStream)
{
    m_pSource->SetTimeoutMs(200);
    Start("srt://:" + SrtPort());
    ASSERT_TRUE(WaitFor([this] { return m_input.IsStreamEnd(); }));
    EXPECT_TRUE(m_log.Has("nothing received for 200 ms, input ended"));
}
