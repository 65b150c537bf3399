#include "braidmill.h"

#include "io/CIoTestKit.h"
#include "io/CSrtPeer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using namespace iokit;

// A latency well above a busy machine's scheduling stalls: the tests expect
// every packet.
constexpr const char* kKey = "passphrase=braidmill-test&latency=400";

// Packet n: sync byte, then n in the next four bytes (n < 2^24, so byte 1
// is 0); a filler packet has 0xFF there.
std::vector<uint8_t> Packets(int nFirst, int nCount, bool bFiller = false)
{
    std::vector<uint8_t> v(size_t(nCount) * 188, 0xFF);
    for (int i = 0; i < nCount; ++i) {
        uint8_t* p = v.data() + size_t(i) * 188;
        const uint32_t n = uint32_t(nFirst + i);
        p[0] = 0x47;
        if (!bFiller) {
            p[1] = uint8_t(n >> 24);
            p[2] = uint8_t(n >> 16);
            p[3] = uint8_t(n >> 8);
            p[4] = uint8_t(n);
        }
    }
    return v;
}

// The numbers of the numbered packets of a file, fillers left out; -1 for
// a packet without its sync byte.
std::vector<int> Numbers(const std::string& sPath)
{
    std::ifstream in(sPath, std::ios::binary);
    const std::vector<uint8_t> v{std::istreambuf_iterator<char>(in), {}};
    std::vector<int> vNumbers;
    for (size_t i = 0; i + 188 <= v.size(); i += 188) {
        if (v[i] != 0x47) {
            vNumbers.push_back(-1);
        } else if (v[i + 1] != 0xFF) {
            vNumbers.push_back((v[i + 2] << 16) | (v[i + 3] << 8) | v[i + 4]);
        }
    }
    if (v.size() % 188 != 0) {
        vNumbers.push_back(-1);
    }
    return vNumbers;
}

bool IsRun(const std::vector<int>& v, int nFirst, int nLast)
{
    if (v.empty() || v.front() != nFirst || v.back() != nLast) {
        return false;
    }
    for (size_t i = 1; i < v.size(); ++i) {
        if (v[i] != v[i - 1] + 1) {
            return false;
        }
    }
    return true;
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

    // nCount numbered packets from nFirst, 7 every 2 ms: about 5 Mbit/s, the
    // engine's batches.
    void RenderPaced(int nFirst, int nCount)
    {
        for (int n = nFirst; n < nFirst + nCount; n += 7) {
            const int nBatch = std::min(7, nFirst + nCount - n);
            m_sink.RenderPackets(Packets(n, nBatch).data(), nBatch);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Fillers at the same pace until f() holds, for at most 10 s.
    template <class F> bool RenderFillersUntil(F f)
    {
        return WaitFor([&] {
            m_sink.RenderPackets(Packets(0, 7, true).data(), 7);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return f();
        });
    }

    CLogCapture m_log;
    std::string m_sDir;
    uint16_t m_nPort = CUdpTestSocket::FreePort();
    CSrtPeer m_peer;
    COutPutModuleSrt m_sink;
};

} // namespace

// Every packet, in order, through an encrypted link; the short last message
// goes at Destroy, which waits for it to be acknowledged.
TEST_F(COutPutModuleSrtTest, CallerDeliversEveryPacketToAListeningPeer)
{
    const std::string sOut = m_sDir + "/out.ts";
    ASSERT_TRUE(m_peer.Start("srt://:" + std::to_string(m_nPort) + "?mode=listener&" + kKey,
                             "file://con", sOut));
    ASSERT_TRUE(WaitUdpPortTaken(m_nPort));
    ASSERT_EQ(m_sink.Open(Url(kKey).c_str()), 0) << m_sink.GetError();
    EXPECT_TRUE(m_sink.IsConnected()) << "a caller waits at Open for a peer that is there";
    RenderPaced(0, 1403);
    m_sink.Destroy();
    EXPECT_TRUE(m_peer.WaitExit(5000)) << "the peer ends with its connection";
    EXPECT_TRUE(IsRun(Numbers(sOut), 0, 1402)) << Numbers(sOut).size() << " packets arrived";
    EXPECT_EQ(m_sink.GetMessagesSent(), 201);
    EXPECT_EQ(m_sink.GetPacketsWithoutPeer(), 0);
    EXPECT_EQ(m_sink.GetMessagesDropped(), 0);
    EXPECT_EQ(m_sink.GetConnections(), 1);
}

// The sink listens; its caller goes away and another comes: the sink runs
// on throughout and the second caller gets the stream from its arrival on.
TEST_F(COutPutModuleSrtTest, ListenerServesTheNextCallerAfterOneDrops)
{
    ASSERT_EQ(m_sink.Open(("srt://:" + std::to_string(m_nPort) + "?" + kKey).c_str()), 0)
        << m_sink.GetError();
    const std::string sOut1 = m_sDir + "/first.ts", sOut2 = m_sDir + "/second.ts";
    ASSERT_TRUE(m_peer.Start(Url(kKey), "file://con", sOut1));
    ASSERT_TRUE(RenderFillersUntil([this] { return m_sink.IsConnected(); }));
    RenderPaced(0, 700);
    // What is on its way when the caller goes is lost with it.
    ASSERT_TRUE(RenderFillersUntil([&] { return Numbers(sOut1).size() >= 350; }));
    m_peer.Stop(SIGINT);
    int nNext = 700;
    ASSERT_TRUE(WaitFor([&] {
        RenderPaced(nNext, 7);
        nNext += 7;
        return !m_sink.IsConnected();
    }));
    EXPECT_TRUE(m_log.Has("SRT connection lost"));

    ASSERT_TRUE(m_peer.Start(Url(kKey), "file://con", sOut2));
    ASSERT_TRUE(WaitFor([&] {
        RenderPaced(nNext, 7);
        nNext += 7;
        return m_sink.IsConnected();
    }));
    RenderPaced(nNext, 700);
    nNext += 700;
    m_sink.Destroy();
    ASSERT_TRUE(m_peer.WaitExit(5000));

    const std::vector<int> vFirst = Numbers(sOut1), vSecond = Numbers(sOut2);
    ASSERT_GE(vFirst.size(), 350u);
    EXPECT_TRUE(IsRun(vFirst, 0, vFirst.back()));
    ASSERT_GE(vSecond.size(), 700u);
    EXPECT_TRUE(IsRun(vSecond, vSecond.front(), nNext - 1)) << "from its arrival to the end";
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
    m_sink.RenderPackets(Packets(0, 7).data(), 7); // unopened: nothing happens
    m_sink.Destroy();
}

// Nobody answers the call: the sink opens, discards and counts, never
// breaks or waits, and its name in the log hides the passphrase.
TEST_F(COutPutModuleSrtTest, AbsentPeerIsCountedNotWaitedFor)
{
    ASSERT_EQ(m_sink.Open(Url("passphrase=braidmill-test&latency=40").c_str()), 0);
    EXPECT_FALSE(m_sink.IsConnected());
    EXPECT_STREQ(m_sink.GetName(), Url("passphrase=***&latency=40").c_str());
    RunWithin([this] { RenderPaced(0, 100); }, "rendering without a peer", 5);
    EXPECT_EQ(m_sink.GetPacketsWithoutPeer(), 98) << "14 whole messages";
    EXPECT_FALSE(m_sink.IsBroken());
    RunWithin([this] { m_sink.Destroy(); }, "Destroy without a peer", 5);
    EXPECT_EQ(m_sink.GetPacketsWithoutPeer(), 100) << "the short last message too";
    EXPECT_TRUE(m_log.Has("passphrase=***"));
    EXPECT_FALSE(m_log.Has("braidmill-test"));
}
