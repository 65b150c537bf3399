#include "braidmill.h"

#include "io/CIoTestKit.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using namespace iokit;

// Writes a stream of nCount packets in pieces that cut packets, with
// pauses, as a live writer does, then closes.
void WriteSlowly(int nFd, int nCount)
{
    const auto packets = ProgramPackets(nCount);
    const tsb::Bytes data = Join(packets, 0, packets.size());
    for (size_t nPos = 0; nPos < data.size(); nPos += 1000) {
        const size_t nPiece = std::min<size_t>(1000, data.size() - nPos);
        if (write(nFd, data.data() + nPos, nPiece) != ssize_t(nPiece)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(nFd);
}

// A pipe or FIFO feeding a file source (with a small buffer, as for a live
// pipe) feeding an input module.
class CSourceFilePipeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_input.SetSourceAttribute({1, 0, 0});
        m_pSource->InitBuffer(7 * 188);
        m_pSource->SetRecvModule(&m_input);
        unlink(m_sFifo.c_str());
        ASSERT_EQ(mkfifo(m_sFifo.c_str(), 0600), 0);
    }

    void TearDown() override
    {
        if (m_writer.joinable()) {
            m_writer.join();
        }
        delete m_pSource;
        unlink(m_sFifo.c_str());
    }

    CInputModuleIface m_input; // outlives the source: declared before it
    CSourceFile* m_pSource = new CSourceFile;
    std::thread m_writer;
    const std::string m_sFifo = ::testing::TempDir() + "bm_fifo_" + std::to_string(getpid());
};

} // namespace

TEST_F(CSourceFilePipeTest, StandardInputOnAPipe)
{
    int vFds[2];
    ASSERT_EQ(pipe(vFds), 0);
    const int nSaved = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(vFds[0], STDIN_FILENO), STDIN_FILENO);
    close(vFds[0]);
    const int nRc = m_pSource->OpenStdin();
    dup2(nSaved, STDIN_FILENO); // the source keeps a duplicate of its own
    close(nSaved);
    ASSERT_EQ(nRc, 0);
    m_pSource->StartRead();
    m_writer = std::thread(WriteSlowly, vFds[1], 200);
    EXPECT_EQ(Take(m_input, -1), Sequence(200));
}

// OpenFile on a FIFO returns before any writer comes; the reader waits for
// one (no end of stream meanwhile) and reads it to its end.
TEST_F(CSourceFilePipeTest, FifoOpensWithoutWriterAndIsReadWhenOneComes)
{
    RunWithin([this] { EXPECT_EQ(m_pSource->OpenFile(m_sFifo.c_str()), 0); }, "opening the FIFO");
    m_pSource->StartRead();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(m_input.IsStreamEnd());
    m_writer = std::thread([this] {
        const int nFd = open(m_sFifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (nFd >= 0) {
            WriteSlowly(nFd, 300);
        }
    });
    EXPECT_EQ(Take(m_input, -1), Sequence(300));
}

// Nobody ever writes: deleting the source must not wait for ever.
TEST_F(CSourceFilePipeTest, SourceOnSilentFifoStopsPromptly)
{
    ASSERT_EQ(m_pSource->OpenFile(m_sFifo.c_str()), 0);
    m_pSource->StartRead();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CSourceFile* pSource = m_pSource;
    m_pSource = nullptr;
    RunWithin([pSource] { delete pSource; }, "deleting the source");
    EXPECT_TRUE(m_input.IsStreamEnd());
}

TEST(COutPutModuleFileStdoutTest, WritesToWhatDescriptorOneWasAtOpen)
{
    int vFds[2];
    ASSERT_EQ(pipe(vFds), 0);
    fflush(stdout);
    const int nSaved = dup(STDOUT_FILENO);
    ASSERT_EQ(dup2(vFds[1], STDOUT_FILENO), STDOUT_FILENO);
    close(vFds[1]);
    COutPutModuleFile sink;
    const int nRc = sink.OpenStdout();
    dup2(nSaved, STDOUT_FILENO); // as the console then points 1 at 2
    close(nSaved);
    ASSERT_EQ(nRc, 0);
    unsigned char vPacket[188] = {0x47, 0x1F, 0xFF, 0x10};
    sink.RenderPackets(vPacket, 1);
    sink.Destroy();
    EXPECT_FALSE(sink.HasWriteError());
    unsigned char vRead[200] = {};
    EXPECT_EQ(read(vFds[0], vRead, sizeof(vRead)), 188);
    EXPECT_EQ(read(vFds[0], vRead, sizeof(vRead)), 0) << "the sink's close ends the pipe";
    close(vFds[0]);
}
