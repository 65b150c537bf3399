#pragma once

#include "CStreamMaker.h"
#include "CToolRun.h"

#include <braidmill.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// The output rate exactly as the program picks it from its inputs (its rate
// line is rounded): their estimates plus one unit, through a float.
inline double DefaultMuxRate(const std::vector<std::string>& vInputs)
{
    double fSum = 0;
    for (const std::string& sPath : vInputs) {
        fSum += double(GetSourceRate(sPath.c_str())) / 1024 / 1024;
    }
    return double(float(fSum + 1)) * 1024 * 1024;
}

// Tests of the program on the two sample shapes of 3 s each, made by ffmpeg
// in a work directory of the test's own.
class CSamplePairTest : public ::testing::Test
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

    ToolResult Mux(const std::vector<std::string>& vArgs, double fTimeoutSeconds = 60,
                   const std::vector<SignalAt>& vSignals = {})
    {
        std::vector<std::string> vAll{BM_CLI_PATH};
        vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
        return CToolRun::Run(vAll, m_sDir, fTimeoutSeconds, vSignals);
    }

    // The pair muxed from the files in output time at sRate bit/s: what any
    // real-time run of them must give byte for byte.
    std::vector<uint8_t> FastReference(const std::string& sRate)
    {
        const std::string sRef = m_sDir + "/ref.ts";
        EXPECT_EQ(Mux({"--fast", "--rate", sRate, m_sMpeg2, m_sH264, sRef}).nStatus, 0);
        std::vector<uint8_t> v;
        EXPECT_TRUE(CStreamMaker::ReadFile(sRef, v));
        return v;
    }

    std::string m_sDir, m_sMpeg2, m_sH264;
};
