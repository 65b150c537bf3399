// The console program with an input whose PAT names a program whose PMT
// never comes (an off-air service in a capture).
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTsReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <string>

TEST(BraidmillTablesTest, ProgramWhosePmtNeverComesIsLeftOutAndTheRestMuxed)
{
    if (!CStreamMaker::HaveFfmpeg()) {
        GTEST_SKIP() << "ffmpeg is needed";
    }
    const std::string sDir = CStreamMaker::MakeWorkDir();
    const std::string sThree = sDir + "/three.ts", sTwo = sDir + "/two.ts";
    const std::string sMpeg2 = sDir + "/mpeg2.ts", sOut = sDir + "/out.ts";
    ASSERT_TRUE(CStreamMaker::MakeMpeg2(sMpeg2, 2.0));
    ASSERT_TRUE(CStreamMaker::MakeThreePrograms(sThree, 2.0));
    tsr::CTsReader three;
    ASSERT_TRUE(three.LoadFile(sThree));
    ASSERT_EQ(three.GetPat().programs.size(), 3u);
    const auto itSecond = std::next(three.GetPat().programs.begin());
    ASSERT_TRUE(CStreamMaker::DropPid(sThree, sTwo, itSecond->second));

    const ToolResult run = CToolRun::Run({BM_CLI_PATH, "--fast", sTwo, sMpeg2, sOut}, sDir, 60);
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
