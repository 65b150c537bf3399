#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTsReader.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What ffprobe makes of each stream of a file, by PID: "codec,language".
std::map<int, std::string> Probe(const std::string& sPath, const std::string& sWorkDir)
{
    const std::string sOut = sWorkDir + "/probe.txt";
    std::map<int, std::string> streams;
    if (CToolRun::Shell("ffprobe -v error -show_entries "
                        "stream=id,codec_name:stream_tags=language:program_stream_tags=language "
                        "-of default=nw=1 '" +
                        sPath + "' > '" + sOut + "'") != 0) {
        return streams;
    }
    std::vector<uint8_t> vText;
    CStreamMaker::ReadFile(sOut, vText);
    std::istringstream in(std::string(vText.begin(), vText.end()));
    std::string sLine, sCodec, sLanguage;
    int nPid = -1;
    auto Flush = [&]() {
        if (nPid >= 0) {
            streams[nPid] = sCodec + "," + sLanguage;
        }
        nPid = -1;
        sLanguage.clear();
    };
    // Each stream starts with its codec_name (the programs list them too).
    while (std::getline(in, sLine)) {
        if (sLine.rfind("codec_name=", 0) == 0) {
            Flush();
            sCodec = sLine.substr(11);
        } else if (sLine.rfind("id=", 0) == 0) {
            nPid = std::stoi(sLine.substr(3), nullptr, 16);
        } else if (sLine.rfind("TAG:language=", 0) == 0) {
            sLanguage = sLine.substr(13);
        }
    }
    Flush();
    return streams;
}

bool HasTag(const tsr::Bytes& vLoop, uint8_t nTag)
{
    for (size_t i = 0; i + 2 <= vLoop.size(); i += 2 + vLoop[i + 1]) {
        if (vLoop[i] == nTag) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(BraidmillDescriptorTest, DvbAc3AudioKeepsItsDescriptorsAndLanguage)
{
    if (!CStreamMaker::HaveFfmpeg()) {
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    }
    const std::string sDir = CStreamMaker::MakeWorkDir();
    const std::string sAc3 = sDir + "/ac3.ts", sOther = sDir + "/mpeg2.ts", sOut = sDir + "/out.ts";
    ASSERT_TRUE(CStreamMaker::MakeDvbAc3(sAc3, 2.0));
    ASSERT_TRUE(CStreamMaker::MakeMpeg2(sOther, 2.0));

    tsr::CTsReader input;
    ASSERT_TRUE(input.LoadFile(sAc3));
    // The writer refines its AC-3 descriptor in a later PMT of the same
    // version; the multiplex, like a receiver, keeps the first.
    ASSERT_EQ(input.GetFirstPmts().size(), 1u);
    const tsr::Pmt inPmt = input.GetFirstPmts().begin()->second;
    size_t nAudio = inPmt.streams.size();
    for (size_t i = 0; i < inPmt.streams.size(); ++i) {
        if (inPmt.streams[i].nStreamType == 0x06) {
            nAudio = i;
        }
    }
    ASSERT_LT(nAudio, inPmt.streams.size()) << "AC-3 written as private data";
    const tsr::Bytes& vInLoop = inPmt.streams[nAudio].descriptors;
    EXPECT_TRUE(HasTag(vInLoop, 0x05) && HasTag(vInLoop, 0x6A) && HasTag(vInLoop, 0x0A))
        << "registration, AC-3 and language descriptors on the input";
    const std::map<int, std::string> inProbe = Probe(sAc3, sDir);
    ASSERT_EQ(inProbe.count(inPmt.streams[nAudio].nPid), 1u);
    ASSERT_EQ(inProbe.at(inPmt.streams[nAudio].nPid), "ac3,deu");

    const ToolResult run = CToolRun::Run({BM_CLI_PATH, sAc3, sOther, sOut}, sDir, 120);
    ASSERT_FALSE(run.bTimedOut);
    ASSERT_EQ(run.nStatus, 0) << run.sOut << run.sErr;

    tsr::CTsReader output;
    ASSERT_TRUE(output.LoadFile(sOut));
    EXPECT_EQ(output.GetPsiErrors().nCrc, 0);
    const tsr::Pmt* pOutPmt = output.FindPmt(101);
    ASSERT_NE(pOutPmt, nullptr) << "the first input's program";
    EXPECT_EQ(pOutPmt->programInfo, inPmt.programInfo);
    ASSERT_EQ(pOutPmt->streams.size(), inPmt.streams.size());
    for (size_t i = 0; i < inPmt.streams.size(); ++i) {
        EXPECT_EQ(pOutPmt->streams[i].nStreamType, inPmt.streams[i].nStreamType);
        EXPECT_EQ(pOutPmt->streams[i].descriptors, inPmt.streams[i].descriptors) << "stream " << i;
    }
    const std::map<int, std::string> outProbe = Probe(sOut, sDir);
    const int nOutAudio = pOutPmt->streams[nAudio].nPid;
    ASSERT_EQ(outProbe.count(nOutAudio), 1u);
    EXPECT_EQ(outProbe.at(nOutAudio), "ac3,deu");
}
