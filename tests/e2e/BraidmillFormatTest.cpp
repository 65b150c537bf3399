// Inputs that are not plain 188-byte streams from their first byte: the
// program must mux them exactly as it muxes the plain stream, or refuse
// them saying what they hold.
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/Reframe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr double kRunTimeout = 60.0; // s

struct FormatCase
{
    const char* szName;
    int nStep;
    int nJunk;
};

class BraidmillFormatTest : public ::testing::TestWithParam<FormatCase>
{
protected:
    void SetUp() override
    {
        if (!CStreamMaker::HaveFfmpeg()) {
            GTEST_SKIP() << "ffmpeg/ffprobe not installed (scripts/setup.sh installs them)";
        }
        m_sDir = CStreamMaker::MakeWorkDir();
    }

    ToolResult Mux(const std::string& sFirst, const std::string& sSecond, const std::string& sOut)
    {
        return CToolRun::Run({BM_CLI_PATH, "--fast", sFirst, sSecond, sOut}, m_sDir, kRunTimeout);
    }

    std::string m_sDir;
};

} // namespace

TEST_P(BraidmillFormatTest, MuxesExactlyAsThePlainStream)
{
    const FormatCase& c = GetParam();
    const std::string sPlain = m_sDir + "/mpeg2.ts";
    const std::string sOther = m_sDir + "/h264.ts";
    const std::string sFramed = m_sDir + "/framed.ts";
    ASSERT_TRUE(CStreamMaker::MakeMpeg2(sPlain, 2));
    ASSERT_TRUE(CStreamMaker::MakeH264(sOther, 2));
    std::vector<uint8_t> vPlain;
    ASSERT_TRUE(CStreamMaker::ReadFile(sPlain, vPlain));
    ASSERT_TRUE(CStreamMaker::WriteFile(sFramed, tsb::Reframe(vPlain, c.nStep, c.nJunk)));

    const ToolResult plain = Mux(sPlain, sOther, m_sDir + "/plain-mux.ts");
    ASSERT_EQ(plain.nStatus, 0) << plain.sErr;
    const ToolResult framed = Mux(sFramed, sOther, m_sDir + "/framed-mux.ts");
    ASSERT_EQ(framed.nStatus, 0) << framed.sErr;
    const std::string sNote =
        sFramed + ": " + std::to_string(c.nStep) + "-byte packets, read as 188";
    EXPECT_EQ(framed.sErr.find(sNote) != std::string::npos, c.nStep != 188) << framed.sErr;

    std::vector<uint8_t> vPlainMux;
    std::vector<uint8_t> vFramedMux;
    ASSERT_TRUE(CStreamMaker::ReadFile(m_sDir + "/plain-mux.ts", vPlainMux));
    ASSERT_TRUE(CStreamMaker::ReadFile(m_sDir + "/framed-mux.ts", vFramedMux));
    ASSERT_GT(vPlainMux.size(), 0u);
    EXPECT_TRUE(vFramedMux == vPlainMux) << vFramedMux.size() << " vs " << vPlainMux.size();
}

INSTANTIATE_TEST_SUITE_P(Formats, BraidmillFormatTest,
                         ::testing::Values(FormatCase{"JunkPrefixed188", 188, 1000},
                                           FormatCase{"M2ts192", 192, 0},
                                           FormatCase{"Parity204AfterJunk", 204, 333}),
                         [](const ::testing::TestParamInfo<FormatCase>& param) {
                             return param.param.szName;
                         });

TEST(BraidmillFormatRefusalTest, InputWithoutPacketsIsRefusedSayingWhatItHolds)
{
    const std::string sDir = CStreamMaker::MakeWorkDir();
    const std::string sText = sDir + "/notes.txt";
    ASSERT_TRUE(CStreamMaker::WriteFile(sText, std::vector<uint8_t>(3000, 'a')));
    const ToolResult run =
        CToolRun::Run({BM_CLI_PATH, sText, sText, sDir + "/out.ts"}, sDir, kRunTimeout);
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.sErr.find(sText + ": not a transport stream: no transport-stream packets found "
                                    "in the first 3000 bytes (first bytes 0x61"),
              std::string::npos)
        << run.sErr;
}
