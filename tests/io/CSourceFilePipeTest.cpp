#include "braidmill.h"

#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tsb::CPacketBuilder;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kPmtPid = 0x0100;
constexpr uint16_t kEsPid = 0x0101;
constexpr auto kTimeout = std::chrono::seconds(10);
constexpr int kChunk = 7 * 188; // small, as for a live pipe

Bytes ProgramStream(int nCount)
{
    Bytes v;
    auto Append = [&v](const tsb::Packet& p) { v.insert(v.end(), p.begin(), p.end()); };
    for (const auto& p :
         CPacketBuilder::Packetize(0x0000, CPacketBuilder::PatSection(1, {{1, kPmtPid}}))) {
        Append(p);
    }
    for (const auto& p : CPacketBuilder::Packetize(
             kPmtPid, CPacketBuilder::PmtSection(1, kEsPid, {{0x02, kEsPid, {}}}))) {
        Append(p);
    }
    for (int n = 0; n < nCount; ++n) {
        tsb::Header h;
        h.nPid = kEsPid;
        h.nCc = uint8_t(n & 0x0F);
        const Bytes payload = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        Append(n % 40 == 0 ? CPacketBuilder::Pcr(h, int64_t(n) * 300'000, false, payload)
                           : CPacketBuilder::Payload(h, payload));
    }
    return v;
}

int IndexOf(const unsigned char* p)
{
    const int nStart = ((p[3] >> 4) & 0x3) == 3 ? 5 + p[4] : 4;
    return (p[nStart] << 24) | (p[nStart + 1] << 16) | (p[nStart + 2] << 8) | p[nStart + 3];
}

// Writes the bytes in pieces that cut packets, with pauses, as a live
// writer does, then closes.
void WriteSlowly(int nFd, const Bytes& data)
{
    size_t nPos = 0;
    while (nPos < data.size()) {
        const size_t nPiece = std::min<size_t>(1000, data.size() - nPos);
        if (write(nFd, data.data() + nPos, nPiece) != ssize_t(nPiece)) {
            break;
        }
        nPos += nPiece;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(nFd);
}

// A pipe or FIFO feeding a file source feeding an input module.
class CSourceFilePipeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pInput = new CInputModuleIface;
        m_pInput->SetSourceAttribute({1, 0, 0});
        m_pSource = new CSourceFile;
        m_pSource->InitBuffer(kChunk);
        m_pSource->SetRecvModule(m_pInput);
    }

    void TearDown() override
    {
        if (m_writer.joinable()) {
            m_writer.join();
        }
        delete m_pSource;
        delete m_pInput;
        if (!m_sFifo.empty()) {
            unlink(m_sFifo.c_str());
        }
    }

    std::string MakeFifo()
    {
        m_sFifo = ::testing::TempDir() + "bm_fifo_" + std::to_string(getpid());
        unlink(m_sFifo.c_str());
        EXPECT_EQ(mkfifo(m_sFifo.c_str(), 0600), 0);
        return m_sFifo;
    }

    // Runs f on another thread; a hang ends the test binary rather than
    // leaving it blocked.
    template <class F> void WithinTimeout(F f, const char* szWhat)
    {
        auto done = std::async(std::launch::async, f);
        if (done.wait_for(kTimeout) != std::future_status::ready) {
            ADD_FAILURE() << szWhat << " hung";
            std::_Exit(1);
        }
    }

    std::vector<int> DrainToEnd()
    {
        std::vector<int> vIndex;
        const auto tEnd = Clock::now() + kTimeout;
        bool bMapped = false;
        while (!m_pInput->IsStreamEnd() || (bMapped && m_pInput->IsReady())) {
            if (Clock::now() > tEnd) {
                ADD_FAILURE() << "stream never ended";
                break;
            }
            if (!bMapped) {
                if (!m_pInput->IsReady()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                m_pInput->GetPidMapList()[kEsPid] = kEsPid;
                bMapped = true;
            }
            long long llPts = 0;
            long long llDts = 0;
            int nPcrPid = 0;
            unsigned char* p = m_pInput->GetOnePacket(llPts, llDts, nPcrPid);
            if (p == nullptr) {
                if (m_pInput->IsStreamEnd()) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            vIndex.push_back(IndexOf(p));
            m_pInput->ReleaseBuffer(p);
        }
        return vIndex;
    }

    static std::vector<int> Sequence(int nCount)
    {
        std::vector<int> v(size_t(nCount), 0);
        for (int n = 0; n < nCount; ++n) {
            v[n] = n;
        }
        return v;
    }

    CInputModuleIface* m_pInput = nullptr;
    CSourceFile* m_pSource = nullptr;
    std::thread m_writer;
    std::string m_sFifo;
};

} // namespace

TEST_F(CSourceFilePipeTest, PipeDescriptorIsReadToItsEnd)
{
    int vFds[2];
    ASSERT_EQ(pipe(vFds), 0);
    ASSERT_EQ(m_pSource->OpenFd(vFds[0], "pipe"), 0);
    m_pSource->StartRead();
    m_writer = std::thread(WriteSlowly, vFds[1], ProgramStream(500));
    EXPECT_EQ(DrainToEnd(), Sequence(500));
}

TEST_F(CSourceFilePipeTest, StandardInputOnAPipe)
{
    int vFds[2];
    ASSERT_EQ(pipe(vFds), 0);
    const int nSaved = dup(STDIN_FILENO);
    ASSERT_GE(nSaved, 0);
    ASSERT_EQ(dup2(vFds[0], STDIN_FILENO), STDIN_FILENO);
    close(vFds[0]);
    const int nRc = m_pSource->OpenStdin();
    dup2(nSaved, STDIN_FILENO); // the source keeps a duplicate of its own
    close(nSaved);
    ASSERT_EQ(nRc, 0);
    m_pSource->StartRead();
    m_writer = std::thread(WriteSlowly, vFds[1], ProgramStream(200));
    EXPECT_EQ(DrainToEnd(), Sequence(200));
}

// OpenFile on a FIFO returns before any writer comes; the reader waits for
// one, reads it to its end.
TEST_F(CSourceFilePipeTest, FifoOpensWithoutWriterAndIsReadWhenOneComes)
{
    const std::string sFifo = MakeFifo();
    WithinTimeout([&] { EXPECT_EQ(m_pSource->OpenFile(sFifo.c_str()), 0); }, "opening the FIFO");
    m_pSource->StartRead();
    std::this_thread::sleep_for(std::chrono::milliseconds(150)); // no writer yet: no end
    EXPECT_FALSE(m_pInput->IsStreamEnd());
    m_writer = std::thread([sFifo] {
        const int nFd = open(sFifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (nFd >= 0) {
            WriteSlowly(nFd, ProgramStream(300));
        }
    });
    EXPECT_EQ(DrainToEnd(), Sequence(300));
}

// Nobody ever writes: deleting the source must not wait for ever.
TEST_F(CSourceFilePipeTest, SourceOnSilentFifoStopsPromptly)
{
    const std::string sFifo = MakeFifo();
    ASSERT_EQ(m_pSource->OpenFile(sFifo.c_str()), 0);
    m_pSource->StartRead();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CSourceFile* pSource = m_pSource;
    m_pSource = nullptr;
    WithinTimeout([pSource] { delete pSource; }, "deleting the source");
    EXPECT_TRUE(m_pInput->IsStreamEnd());
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
    dup2(nSaved, STDOUT_FILENO); // afterwards, as the console points 1 at 2
    close(nSaved);
    ASSERT_EQ(nRc, 0);
    unsigned char vPacket[188] = {0x47, 0x1F, 0xFF, 0x10};
    sink.RenderPackets(vPacket, 1);
    sink.Destroy();
    EXPECT_FALSE(sink.HasWriteError());
    unsigned char vRead[200] = {};
    EXPECT_EQ(read(vFds[0], vRead, sizeof(vRead)), 188);
    EXPECT_EQ(vRead[0], 0x47);
    EXPECT_EQ(read(vFds[0], vRead, sizeof(vRead)), 0) << "the sink's close ends the pipe";
    close(vFds[0]);
}
