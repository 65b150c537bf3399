// The console program with SRT, srt-live-transmit as its peer on the
// loopback interface.
#include "CSamplePairTest.h"
#include "CStreamMaker.h"
#include "io/CIoTestKit.h"
#include "io/CSrtPeer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kRate = "6000000"; // bit/s, room for both inputs and the tables
const std::string kKey = "passphrase=braidmill-e2e&latency=400"; // above scheduling stalls

class BraidmillSrtTest : public CSamplePairTest
{
};

} // namespace

// The program calls a listening peer with a passphrase: every byte of the
// run arrives, the same bytes as the file run.
TEST_F(BraidmillSrtTest, SrtOutputCarriesTheFileRunsBytes)
{
    if (!iokit::CSrtPeer::IsInstalled()) {
        GTEST_SKIP() << "srt-live-transmit is not installed (srt-tools)";
    }
    const std::string sRef = m_sDir + "/ref.ts", sGot = m_sDir + "/srt.ts";
    ASSERT_EQ(Mux({"--fast", "--rate", kRate, m_sMpeg2, m_sH264, sRef}).nStatus, 0);
    const uint16_t nPort = iokit::CUdpTestSocket::FreePort();
    iokit::CSrtPeer peer;
    ASSERT_TRUE(peer.Start("srt://:" + std::to_string(nPort) + "?mode=listener&" + kKey,
                           "file://con", sGot, 30));
    ASSERT_TRUE(iokit::WaitUdpPortTaken(nPort));
    const ToolResult run =
        Mux({"--rate", kRate, "-o", "srt://127.0.0.1:" + std::to_string(nPort) + "?" + kKey,
             m_sMpeg2, m_sH264});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    EXPECT_TRUE(peer.WaitExit(5000)) << "the peer ends with the program's connection";
    std::vector<uint8_t> vRef, vGot;
    ASSERT_TRUE(CStreamMaker::ReadFile(sRef, vRef));
    ASSERT_TRUE(CStreamMaker::ReadFile(sGot, vGot));
    EXPECT_EQ(vGot.size(), vRef.size());
    EXPECT_TRUE(vGot == vRef);
}

TEST_F(BraidmillSrtTest, BadSrtNameIsRefusedNamingTheValueNotTheSecret)
{
    const ToolResult run =
        Mux({m_sMpeg2, "srt://:5000?mode=caller&passphrase=tooshort", m_sDir + "/never.ts"});
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.sErr.find("srt://:5000?mode=caller&passphrase=***: passphrase of 8 characters "
                            "is not 10 to 79 characters"),
              std::string::npos)
        << run.sErr;
    EXPECT_EQ(run.sErr.find("tooshort"), std::string::npos);
}
