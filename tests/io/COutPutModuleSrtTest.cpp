#include "braidmill.h"

#include "io/CIoTestKit.h"
#include "io/CSrtPeer.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace iokit;

// A latency well above a busy machine's scheduling stalls: the tests expect
// every packet.
constexpr const char* kKey = "passphrase=braidmill-test&latency=400";

// The stream numbers in a file, other PIDs left out; -1 for a packet
// without its sync byte or a cut one.
std::vector<int> Numbers(const std::string& sPath)
{
    tsb::Bytes v;
    std::vector<int> vNumbers;
    EXPECT_TRUE(ReadWhole(sPath, v));
    for (size_t i = 0; i + 188 <= v.size(); i += 188) {
        if (v[i] != 0x47 || v.size() % 188 != 0) {
            vNumbers.push_back(-1);
        } else if (((v[i + 1] & 0x1F) << 8 | v[i + 2]) == kEsPid) {
            vNumbers.push_back(StreamNumber(&v[i]));
        }
    }
    return vNumbers;
}

// A sink and srt-live-transmit writing what it receives to a file.
class COutPutModuleSrtTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!CSrtPeer::IsInstalled()) {
            GTEST_SKIP() << "srt-live-transmit is not installed (srt-tools)";
        }
        char szDir[] = "/tmp/bm_srt_XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_sDir = szDir;
    }
    void TearDown() override
    {
        m_peer.Stop(SIGKILL);
        if (!m_sDir.empty()) {
            std::filesystem::remove_all(m_sDir);
        }
    }

    std::string Url(const std::string& sQuery) const
    {
        return "srt://127.0.0.1:" + std::to_string(m_nPort) + "?" + sQuery;
    }

    // Packets [nFirst, nFirst + nCount) of the stream, 7 every 2 ms: about
    // 5 Mbit/s in the engine's batches. nFirst < 0: 7 null packets once.
    void Render(int nFirst, int nCount = 7)
    {
        tsb::Bytes batch =
            nFirst < 0 ? Join(std::vector<tsb::Packet>(7, tsb::CPacketBuilder::Null()), 0, 7)
                       : Join(m_stream, size_t(nFirst), size_t(nCount));
        for (size_t i = 0; i < batch.size(); i += 7 * 188) {
            const int nBatch = int(std::min<size_t>(7, (batch.size() - i) / 188));
            m_sink.RenderPackets(batch.data() + i, nBatch);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    CLogCapture m_log;
    std::string m_sDir;
    uint16_t m_nPort = CUdpTestSocket::FreePort();
    const std::vector<tsb::Packet> m_stream = ProgramPackets(40'000); // tables, then 0..; 11 s
    CSrtPeer m_peer;
    COutPutModuleSrt m_sink;
};

} // namespace

// Every byte, in order, through an encrypted link; the short last message
// goes at Destroy, which waits for it to be acknowledged and played out.
TEST_F(COutPutModuleSrtTest, CallerDeliversEveryByteToAListeningPeer)
{
    const std::string sOut = m_sDir + "/out.ts";
    ASSERT_TRUE(m_peer.Start("srt://:" + std::to_string(m_nPort) + "?mode=listener&" + kKey,
                             "file://con", sOut));
    ASSERT_TRUE(WaitUdpPortTaken(m_nPort));
    ASSERT_EQ(m_sink.Open(Url(kKey).c_str()), 0) << m_sink.GetError();
    EXPECT_TRUE(m_sink.IsConnected()) << "a caller waits at Open for a peer that is there";
    Render(0, 1403);
    m_sink.Destroy();
    EXPECT_TRUE(m_peer.WaitExit(5000)) << "the peer ends with its connection";
    tsb::Bytes got;
    ASSERT_TRUE(ReadWhole(sOut, got));
    EXPECT_EQ(got.size(), 1403u * 188);
    EXPECT_TRUE(got == Join(m_stream, 0, 1403));
    EXPECT_EQ(m_sink.GetMessagesSent(), 201);
    EXPECT_EQ(m_sink.GetPacketsWithoutPeer() + m_sink.GetMessagesDropped(), 0);
}

// The sink listens; its caller goes away and another comes: the sink runs
// on throughout and the second caller gets the stream from its arrival on.
TEST_F(COutPutModuleSrtTest, ListenerServesTheNextCallerAfterOneDrops)
{
    ASSERT_EQ(m_sink.Open(("srt://:" + std::to_string(m_nPort) + "?" + kKey).c_str()), 0)
        << m_sink.GetError();
    const std::string sOut1 = m_sDir + "/first.ts", sOut2 = m_sDir + "/second.ts";
    ASSERT_TRUE(m_peer.Start(Url(kKey), "file://con", sOut1));
    ASSERT_TRUE(WaitFor([this] { return Render(-1), m_sink.IsConnected(); }));
    int nNext = 0; // the next stream packet to render
    const auto RenderUntil = [&](auto f) {
        return WaitFor([&] { return Render(nNext), nNext += 7, f(); });
    };
    // What is on its way when the caller goes is lost with it.
    ASSERT_TRUE(RenderUntil([&] { return Numbers(sOut1).size() >= 350; }));
    m_peer.Stop(SIGINT);
    ASSERT_TRUE(RenderUntil([&] { return !m_sink.IsConnected(); }));
    EXPECT_TRUE(m_log.Has("SRT connection lost"));

    ASSERT_TRUE(m_peer.Start(Url(kKey), "file://con", sOut2));
    ASSERT_TRUE(RenderUntil([&] { return m_sink.IsConnected(); }));
    Render(nNext, 700);
    m_sink.Destroy();
    ASSERT_TRUE(m_peer.WaitExit(5000));

    const std::vector<int> vFirst = Numbers(sOut1), vSecond = Numbers(sOut2);
    ASSERT_GE(vFirst.size(), 350u);
    EXPECT_EQ(vFirst, Sequence(int(vFirst.size())));
    ASSERT_GE(vSecond.size(), 700u);
    const int nFrom = vSecond.front();
    EXPECT_EQ(vSecond.back(), nNext - 2 + 699) << "to the end";
    EXPECT_EQ(vSecond.size(), size_t(vSecond.back() - nFrom + 1)) << "without a gap";
    EXPECT_GT(m_sink.GetPacketsWithoutPeer(), 0);
    EXPECT_EQ(m_sink.GetConnections(), 2);
    EXPECT_TRUE(m_log.Has("connected after"));
}

TEST_F(COutPutModuleSrtTest, BadNamesAndTakenPortsAreRefusedAtOpen)
{
    EXPECT_EQ(m_sink.Open("srt://:5000?passphrase=short"), -1);
    EXPECT_NE(std::string(m_sink.GetError()).find("passphrase of 5 characters"), std::string::npos)
        << m_sink.GetError();
    EXPECT_EQ(m_sink.Open("srt://:5000?mode=push"), -1);
    EXPECT_NE(std::string(m_sink.GetError()).find("mode=push"), std::string::npos);
    CUdpTestSocket taken;
    EXPECT_EQ(m_sink.Open(("srt://:" + std::to_string(taken.Port())).c_str()), -1);
    EXPECT_NE(std::string(m_sink.GetError()).find("listen on 0.0.0.0:"), std::string::npos)
        << m_sink.GetError();
    Render(0); // unopened: nothing happens
    m_sink.Destroy();
}

// Nobody answers the call: the sink opens, discards and counts, never
// breaks or waits, and its name in the log hides the passphrase.
TEST_F(COutPutModuleSrtTest, AbsentPeerIsCountedNotWaitedFor)
{
    ASSERT_EQ(m_sink.Open(Url("passphrase=braidmill-test&latency=40").c_str()), 0);
    EXPECT_FALSE(m_sink.IsConnected());
    EXPECT_STREQ(m_sink.GetName(), Url("passphrase=***&latency=40").c_str());
    RunWithin([this] { Render(0, 100); }, "rendering without a peer", 5);
    EXPECT_EQ(m_sink.GetPacketsWithoutPeer(), 98) << "14 whole messages";
    EXPECT_FALSE(m_sink.IsBroken());
    RunWithin([this] { m_sink.Destroy(); }, "Destroy without a peer", 5);
    EXPECT_EQ(m_sink.GetPacketsWithoutPeer(), 100) << "the short last message too";
    EXPECT_TRUE(m_log.Has("passphrase=***"));
    EXPECT_FALSE(m_log.Has("braidmill-test"));
}
