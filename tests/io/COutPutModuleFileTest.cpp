#include "braidmill.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string TempPath(const char* szName)
{
    return ::testing::TempDir() + "bm_sink_" + std::to_string(getpid()) + "_" + szName;
}

std::vector<unsigned char> ReadAll(const std::string& sPath)
{
    std::ifstream in(sPath, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

using Packet = std::array<unsigned char, 188>;

// Packets told apart by their continuity counter and payload bytes; the sink
// never looks inside, so no table structure is needed.
Packet Numbered(int n)
{
    Packet p;
    p.fill(static_cast<unsigned char>(n));
    p[0] = 0x47;
    p[1] = 0x01;
    p[2] = 0x00;
    p[3] = static_cast<unsigned char>(0x10 | (n & 0x0F));
    return p;
}

} // namespace

TEST(COutPutModuleFileTest, NeverOpenedSinkIgnoresPacketsAndDestroy)
{
    COutPutModuleFile sink;
    Packet p = Numbered(1);
    sink.RenderOnePacket(p.data());
    sink.Destroy();
    sink.Destroy();
    EXPECT_FALSE(sink.HasWriteError());
}

TEST(COutPutModuleFileTest, OpenFileRefusesNullAndUnwritablePaths)
{
    COutPutModuleFile sink;
    EXPECT_EQ(sink.OpenFile(nullptr), -1);
    EXPECT_EQ(sink.OpenFile("/nonexistent-dir/out.ts"), -1);
    Packet p = Numbered(1);
    sink.RenderOnePacket(p.data()); // dropped, not a crash
    EXPECT_FALSE(sink.HasWriteError());
}

TEST(COutPutModuleFileTest, OpenFileTruncatesExistingFile)
{
    const std::string sPath = TempPath("trunc.ts");
    {
        std::ofstream out(sPath, std::ios::binary);
        out << std::string(1000, 'x');
    }
    COutPutModuleFile sink;
    ASSERT_EQ(sink.OpenFile(sPath.c_str()), 0);
    sink.Destroy();
    EXPECT_TRUE(ReadAll(sPath).empty());
    std::remove(sPath.c_str());
}

TEST(COutPutModuleFileTest, WritesEveryPacketInOrderOnceClosed)
{
    const int nPackets = 50; // past the stream buffer, so some bytes wait for the close
    for (bool bByDestroy : {true, false}) {
        const std::string sPath = TempPath(bByDestroy ? "destroy.ts" : "delete.ts");
        auto pSink = std::make_unique<COutPutModuleFile>();
        ASSERT_EQ(pSink->OpenFile(sPath.c_str()), 0);
        std::vector<unsigned char> vExpected;
        for (int i = 0; i < nPackets; ++i) {
            Packet p = Numbered(i);
            pSink->RenderOnePacket(p.data());
            vExpected.insert(vExpected.end(), p.begin(), p.end());
        }
        if (bByDestroy) {
            pSink->Destroy();
            EXPECT_FALSE(pSink->HasWriteError());
        }
        pSink.reset();
        EXPECT_EQ(ReadAll(sPath), vExpected) << (bByDestroy ? "Destroy" : "delete");
        std::remove(sPath.c_str());
    }
}

TEST(COutPutModuleFileTest, DeleteAfterDestroyLeavesOtherStreamsAlone)
{
    const std::string sPath = TempPath("once.ts");
    const std::string sOther = TempPath("other.ts");
    auto pSink = std::make_unique<COutPutModuleFile>();
    ASSERT_EQ(pSink->OpenFile(sPath.c_str()), 0);
    pSink->Destroy();
    // Likely reuses the freed stream and descriptor: a second close by the
    // sink would hit this stream instead.
    FILE* pOther = fopen(sOther.c_str(), "wb");
    ASSERT_NE(pOther, nullptr);
    pSink.reset();
    EXPECT_GE(fputs("still open", pOther), 0);
    EXPECT_EQ(fclose(pOther), 0);
    EXPECT_EQ(ReadAll(sOther).size(), std::string("still open").size());
    std::remove(sPath.c_str());
    std::remove(sOther.c_str());
}

TEST(COutPutModuleFileTest, FullDeviceIsReportedAsWriteError)
{
    // One packet sits in the stream buffer until the close; many fail at fwrite.
    for (int nPackets : {1, 100}) {
        COutPutModuleFile sink;
        ASSERT_EQ(sink.OpenFile("/dev/full"), 0);
        Packet p = Numbered(0);
        for (int i = 0; i < nPackets; ++i) {
            sink.RenderOnePacket(p.data());
        }
        sink.Destroy();
        EXPECT_TRUE(sink.HasWriteError()) << nPackets << " packets";
    }
}

TEST(COutPutModuleFileTest, FullDeviceBreaksTheSinkAtTheFirstWrite)
{
    COutPutModuleFile sink;
    ASSERT_EQ(sink.OpenFile("/dev/full"), 0);
    std::vector<unsigned char> vBatch(188 * 4, 0x47);
    sink.RenderPackets(vBatch.data(), 4);
    EXPECT_TRUE(sink.IsBroken()); // before any close: the engine polls this while running
    sink.Destroy();
}

// A write cut short by the file size limit stands for a disk that fills in
// the middle of a packet: the file must end on the last whole packet.
TEST(COutPutModuleFileTest, ShortWriteIsCutBackToWholePackets)
{
    const std::string sPath = TempPath("short.ts");
    struct rlimit old = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit limited = old;
    limited.rlim_cur = 188 * 3 + 100;
    void (*pOldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    COutPutModuleFile sink;
    const int nOpened = sink.OpenFile(sPath.c_str());
    std::vector<unsigned char> vExpected;
    for (int i = 0; i < 6 && nOpened == 0; ++i) {
        Packet p = Numbered(i);
        sink.RenderPackets(p.data(), 1);
        if (i < 3) {
            vExpected.insert(vExpected.end(), p.begin(), p.end());
        }
    }
    const bool bBrokenBeforeClose = sink.IsBroken();
    sink.Destroy();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, pOldHandler);
    ASSERT_EQ(nOpened, 0);
    EXPECT_TRUE(bBrokenBeforeClose);
    EXPECT_EQ(ReadAll(sPath), vExpected);
    std::remove(sPath.c_str());
}
