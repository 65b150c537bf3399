// The console program and its inputs' tables: service names carried over
// from the inputs' SDTs, and a program whose PMT never comes.
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTsReader.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// The body of the service descriptor of a service in the file's last SDT.
std::string ServiceOf(const tsr::CTsReader& reader, uint16_t nId)
{
    for (const tsr::SdtService& svc : reader.GetSdt().services) {
        if (svc.nServiceId == nId && svc.descriptors.size() >= 2 && svc.descriptors[0] == 0x48) {
            return std::string(svc.descriptors.begin() + 2, svc.descriptors.end());
        }
    }
    return {};
}

std::string Body(char nType, const std::string& sProvider, const std::string& sName)
{
    return std::string(1, nType) + char(sProvider.size()) + sProvider + char(sName.size()) + sName;
}

class BraidmillTablesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!CStreamMaker::HaveFfmpeg()) {
            GTEST_SKIP() << "ffmpeg is needed";
        }
        m_sDir = CStreamMaker::MakeWorkDir();
        m_sMpeg2 = m_sDir + "/mpeg2.ts";
        ASSERT_TRUE(CStreamMaker::MakeMpeg2(m_sMpeg2, 2.0));
    }

    ToolResult Mux(const std::vector<std::string>& vArgs)
    {
        std::vector<std::string> vAll{BM_CLI_PATH, "--fast"};
        vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
        return CToolRun::Run(vAll, m_sDir, 60);
    }

    std::string m_sDir, m_sMpeg2;
};

} // namespace

TEST_F(BraidmillTablesTest, ServiceNamesComeFromTheInputsWhenAsked)
{
    const std::string sNamed = m_sDir + "/named.ts";
    ASSERT_EQ(CToolRun::Shell("ffmpeg -v error -y -f lavfi -i testsrc=duration=2:size=320x240:rate=25 "
                              "-f lavfi -i sine=frequency=440:duration=2 -c:v mpeg2video -b:v 400k "
                              "-c:a mp2 -metadata service_name=Alpha -metadata service_provider=Prov "
                              "-mpegts_service_type advanced_codec_digital_hdtv -muxrate 1500000 '" +
                              sNamed + "'"),
              0);
    const std::string sOut = m_sDir + "/out.ts", sNumbered = m_sDir + "/numbered.ts";
    const ToolResult run = Mux({"--service-names", "input", sNamed, m_sMpeg2, sOut});
    ASSERT_EQ(run.nStatus, 0) << run.sOut << run.sErr;
    const ToolResult runNumbered = Mux({sNamed, m_sMpeg2, sNumbered});
    ASSERT_EQ(runNumbered.nStatus, 0) << runNumbered.sOut << runNumbered.sErr;

    tsr::CTsReader out, numbered;
    ASSERT_TRUE(out.LoadFile(sOut));
    ASSERT_TRUE(numbered.LoadFile(sNumbered));
    EXPECT_EQ(out.GetPsiErrors().nCrc, 0);
    EXPECT_EQ(ServiceOf(out, 101), Body(0x19, "Prov", "Alpha"));
    EXPECT_EQ(ServiceOf(out, 102), Body(0x01, "FFmpeg", "Service01")) << "ffmpeg's own names";
    EXPECT_EQ(ServiceOf(numbered, 101), Body(0x01, "libbraidmill", "service 101"));

    // A player sees the names too.
    const std::string sProbe = m_sDir + "/probe.txt";
    ASSERT_EQ(CToolRun::Shell("ffprobe -v error -show_entries program=program_id:program_tags "
                              "-of default=nw=1 '" +
                              sOut + "' > '" + sProbe + "'"),
              0);
    std::vector<uint8_t> vText;
    ASSERT_TRUE(CStreamMaker::ReadFile(sProbe, vText));
    const std::string sText(vText.begin(), vText.end());
    EXPECT_NE(sText.find("program_id=101\nTAG:service_name=Alpha\nTAG:service_provider=Prov"),
              std::string::npos)
        << sText;
}

TEST_F(BraidmillTablesTest, ProgramWhosePmtNeverComesIsLeftOutAndTheRestMuxed)
{
    const std::string sThree = m_sDir + "/three.ts", sTwo = m_sDir + "/two.ts";
    ASSERT_TRUE(CStreamMaker::MakeThreePrograms(sThree, 2.0));
    tsr::CTsReader three;
    ASSERT_TRUE(three.LoadFile(sThree));
    ASSERT_EQ(three.GetPat().programs.size(), 3u);
    const auto itSecond = std::next(three.GetPat().programs.begin());
    ASSERT_TRUE(CStreamMaker::DropPid(sThree, sTwo, itSecond->second));

    const std::string sOut = m_sDir + "/out.ts";
    const ToolResult run = Mux({sTwo, m_sMpeg2, sOut});
    ASSERT_EQ(run.nStatus, 0) << run.sOut << run.sErr;
    char szLine[128];
    snprintf(szLine, sizeof(szLine), "input 1: program %d (PMT PID 0x%04X) has no PMT",
             itSecond->first, unsigned(itSecond->second));
    EXPECT_NE((run.sOut + run.sErr).find(szLine), std::string::npos) << run.sOut << run.sErr;

    tsr::CTsReader out;
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_EQ(out.GetPsiErrors().nCrc, 0);
    EXPECT_EQ(out.GetPat().programs,
              (std::map<uint16_t, uint16_t>{{101, 1011}, {102, 1021}, {103, 1031}}));
    EXPECT_EQ(out.GetPmts().size(), 3u);
}
