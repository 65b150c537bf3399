#include "braidmill.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
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

std::atomic<bool> g_bSignalled{false}; // set by the handler below

void NoteSignal(int)
{
    g_bSignalled = true;
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

// The run's last batch goes into a full pipe and a signal ends the blocked
// write after part of it: the rest follows, so that the reader gets every
// packet whole and then the end, nothing after.
TEST(COutPutModuleFileTest, LastWriteCutShortBySignalIsCompleted)
{
    int vFds[2];
    ASSERT_EQ(pipe2(vFds, O_CLOEXEC), 0);
    fcntl(vFds[1], F_SETPIPE_SZ, 4096);
    const int nPipeBytes = fcntl(vFds[1], F_GETPIPE_SZ);
    COutPutModuleFile sink;
    ASSERT_EQ(sink.OpenFile(("/proc/self/fd/" + std::to_string(vFds[1])).c_str()), 0);
    close(vFds[1]); // the sink is the only writer now
    struct sigaction action = {};
    struct sigaction old = {};
    action.sa_handler = NoteSignal; // no SA_RESTART: the write returns what it took
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    g_bSignalled = false;

    std::vector<unsigned char> vExpected;
    for (int i = 0; i < 2 + nPipeBytes / 188 + 20; ++i) {
        Packet p = Numbered(i);
        vExpected.insert(vExpected.end(), p.begin(), p.end());
    }
    std::thread writer([&] {
        sink.RenderPackets(vExpected.data(), 2);
        sink.RenderPackets(vExpected.data() + 2 * 188, int(vExpected.size() / 188) - 2);
        sink.Destroy();
    });
    // Bytes of the last batch in the pipe: its write has begun and cannot
    // end before the pipe is read, so the signal cuts it short.
    int nQueued = 0;
    for (int i = 0; i < 5000 && nQueued <= 2 * 188; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ioctl(vFds[0], FIONREAD, &nQueued);
    }
    EXPECT_GT(nQueued, 2 * 188);
    pthread_kill(writer.native_handle(), SIGUSR1);
    for (int i = 0; i < 5000 && !g_bSignalled; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<unsigned char> vGot;
    unsigned char vChunk[4096];
    pollfd pfd{vFds[0], POLLIN, 0};
    ssize_t nRead = 0;
    while (poll(&pfd, 1, 10'000) > 0 && (nRead = read(vFds[0], vChunk, sizeof vChunk)) > 0) {
        vGot.insert(vGot.end(), vChunk, vChunk + nRead);
    }
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
    close(vFds[0]);
    EXPECT_TRUE(g_bSignalled);
    EXPECT_EQ(nRead, 0) << "the end of the stream";
    EXPECT_EQ(vGot, vExpected);
    EXPECT_FALSE(sink.HasWriteError());
}
