#include "braidmill.h"

#include "log/CLogger.h"
#include "support/CPacketBuilder.h"
#include "support/Reframe.h"
#include "ts/SourceRate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tsb::CPacketBuilder;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kPmtPid = 0x0100;
constexpr uint16_t kEsPid = 0x0101;    // stream and PCR PID of the one program
constexpr int kToolBuffer = 3'850'240; // 20,480 packets, the console program's chunk
constexpr auto kTimeout = std::chrono::seconds(20);

// Log lines captured from every thread.
std::mutex g_mtxLog;
std::vector<std::pair<int, std::string>> g_vLog;

void CaptureLog(int nLevel, std::string sMessage)
{
    std::lock_guard<std::mutex> guard(g_mtxLog);
    g_vLog.emplace_back(nLevel, std::move(sMessage));
}

int CountLog(int nLevel, const std::string& sMessage)
{
    std::lock_guard<std::mutex> guard(g_mtxLog);
    int nCount = 0;
    for (const auto& line : g_vLog) {
        nCount += (line.first == nLevel && line.second == sMessage) ? 1 : 0;
    }
    return nCount;
}

bool HasLogContaining(int nLevel, const std::string& sPart)
{
    std::lock_guard<std::mutex> guard(g_mtxLog);
    for (const auto& line : g_vLog) {
        if (line.first == nLevel && line.second.find(sPart) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string EndLine(const std::string& sName)
{
    return "Reched the end of the file,source thread exit: " + sName + " ";
}

using Bytes = std::vector<uint8_t>;

void Append(Bytes& v, const tsb::Packet& p)
{
    v.insert(v.end(), p.begin(), p.end());
}

// Stream packet number n of the program: its index in the payload, its
// continuity counter n mod 16, a PCR every 40 packets, each a unit start.
tsb::Packet StreamPacket(int n)
{
    tsb::Header h;
    h.nPid = kEsPid;
    h.nCc = static_cast<uint8_t>(n & 0x0F);
    h.bPusi = true; // each its own unit, so that a PID may start at any of them
    Bytes payload = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                     static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    if (n % 40 == 0) {
        return CPacketBuilder::Pcr(h, int64_t(n) * 300 * 1000, false, payload);
    }
    return CPacketBuilder::Payload(h, payload);
}

// PAT and PMT of one program, then nCount stream packets.
Bytes ProgramStream(int nCount)
{
    Bytes v;
    for (const auto& p :
         CPacketBuilder::Packetize(0x0000, CPacketBuilder::PatSection(1, {{1, kPmtPid}}))) {
        Append(v, p);
    }
    for (const auto& p : CPacketBuilder::Packetize(
             kPmtPid, CPacketBuilder::PmtSection(1, kEsPid, {{0x02, kEsPid, {}}}))) {
        Append(v, p);
    }
    for (int n = 0; n < nCount; ++n) {
        Append(v, StreamPacket(n));
    }
    return v;
}

// Bytes that never hold a sync byte, as a cut capture or a splice leaves.
Bytes Junk(int nLen)
{
    Bytes v(static_cast<size_t>(nLen));
    for (int i = 0; i < nLen; ++i) {
        v[i] = static_cast<uint8_t>((i * 7) % 0x47);
    }
    return v;
}

// Index of a stream packet as it came out, or -1 when it is not one.
int IndexOf(const unsigned char* p)
{
    // A PCR packet carries its payload after the adaptation field.
    const int nAfc = (p[3] >> 4) & 0x3;
    int nStart = 4;
    if (nAfc == 3) {
        nStart = 5 + p[4];
    } else if (nAfc != 1) {
        return -1;
    }
    return (p[nStart] << 24) | (p[nStart + 1] << 16) | (p[nStart + 2] << 8) | p[nStart + 3];
}

// Source, input module and a temporary file for one test.
class CSourceFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> guard(g_mtxLog);
            g_vLog.clear();
        }
        m_pfPrevLog = LogOutput;
        LogOutput = CaptureLog;
        m_pInput = new CInputModuleIface;
        m_pInput->SetSourceAttribute({1, 0, 0});
        m_pSource = new CSourceFile;
    }

    void TearDown() override
    {
        delete m_pSource;
        delete m_pInput;
        LogOutput = m_pfPrevLog;
        for (const std::string& sPath : m_vFiles) {
            std::remove(sPath.c_str());
        }
    }

    std::string WriteFile(const char* szName, const Bytes& data)
    {
        std::string sPath =
            ::testing::TempDir() + "bm_src_" + std::to_string(getpid()) + "_" + szName;
        FILE* pFile = fopen(sPath.c_str(), "wb");
        EXPECT_NE(pFile, nullptr);
        if (pFile != nullptr) {
            if (!data.empty()) {
                EXPECT_EQ(fwrite(data.data(), 1, data.size(), pFile), data.size());
            }
            fclose(pFile);
        }
        m_vFiles.push_back(sPath);
        return sPath;
    }

    void Start(const std::string& sPath, int nBuffer)
    {
        m_pSource->InitBuffer(nBuffer);
        m_pSource->SetRecvModule(m_pInput);
        ASSERT_EQ(m_pSource->OpenFile(sPath.c_str()), 0);
        m_pSource->StartRead();
    }

    template <class Pred> bool WaitFor(Pred pred)
    {
        const auto tEnd = Clock::now() + kTimeout;
        while (!pred()) {
            if (Clock::now() > tEnd) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Takes everything out of the ready input until its stream ends; the
    // indices of the stream packets in the order they came out.
    std::vector<int> Drain()
    {
        std::vector<int> vIndex;
        if (!WaitFor([this] { return m_pInput->IsReady(); })) {
            ADD_FAILURE() << "input never became ready";
            return vIndex;
        }
        m_pInput->GetPidMapList()[kEsPid] = kEsPid;
        const auto tEnd = Clock::now() + kTimeout;
        while (!m_pInput->IsStreamEnd()) {
            if (Clock::now() > tEnd) {
                ADD_FAILURE() << "stream never ended";
                break;
            }
            long long llPts = 0;
            long long llDts = 0;
            int nPcrPid = 0;
            unsigned char* p = m_pInput->GetOnePacket(llPts, llDts, nPcrPid);
            if (p == nullptr) {
                std::this_thread::yield();
                continue;
            }
            EXPECT_EQ(p[0], 0x47);
            vIndex.push_back(IndexOf(p));
            EXPECT_EQ(p[3] & 0x0F, vIndex.back() & 0x0F) << "continuity counter";
            m_pInput->ReleaseBuffer(p);
        }
        return vIndex;
    }

    // Waits until the source's thread has logged its last line.
    bool WaitForLog(int nLevel, const std::string& sLine)
    {
        return WaitFor([&] { return CountLog(nLevel, sLine) > 0; });
    }

    static std::vector<int> Sequence(int nCount)
    {
        std::vector<int> v(static_cast<size_t>(nCount));
        for (int n = 0; n < nCount; ++n) {
            v[n] = n;
        }
        return v;
    }

    LogOutputFn m_pfPrevLog = nullptr;
    CInputModuleIface* m_pInput = nullptr;
    CSourceFile* m_pSource = nullptr;
    std::vector<std::string> m_vFiles;
};

// Reaches the base's buffer members.
class CBufferProbe : public CSourceFile
{
public:
    unsigned char* Buffer() const { return m_pBuffer; }
    int BufferSize() const { return m_nBufferSize; }
};

} // namespace

TEST_F(CSourceFileTest, OneChunkFileArrivesWholeThenEndsWithLogLine)
{
    const int nStream = 20'480 - 2; // with PAT and PMT exactly one tool-sized chunk
    Bytes data = ProgramStream(nStream);
    ASSERT_EQ(data.size(), static_cast<size_t>(kToolBuffer));
    const std::string sPath = WriteFile("chunk.ts", data);
    Start(sPath, kToolBuffer);
    EXPECT_EQ(Drain(), Sequence(nStream));
    EXPECT_TRUE(WaitForLog(kLogDebug, EndLine(sPath)));
    EXPECT_EQ(CountLog(kLogDebug, EndLine(sPath)), 1);
}

TEST_F(CSourceFileTest, EmptyFileEndsStreamWithoutPackets)
{
    const std::string sPath = WriteFile("empty.ts", {});
    Start(sPath, kToolBuffer);
    EXPECT_TRUE(WaitForLog(kLogDebug, EndLine(sPath)));
    EXPECT_TRUE(m_pInput->IsStreamEnd());
    EXPECT_TRUE(m_pInput->CanNeverBeReady());
    EXPECT_FALSE(m_pInput->IsReady());
}

TEST_F(CSourceFileTest, MissingOrNullPathIsRefused)
{
    EXPECT_EQ(m_pSource->OpenFile(nullptr), -1);
    EXPECT_EQ(m_pSource->OpenFile("/nonexistent-dir/in.ts"), -1);
}

TEST_F(CSourceFileTest, LongPathOpensAndLogLineCarriesItsFirst255Characters)
{
    std::string sDir = ::testing::TempDir() + "bm_src_long_" + std::to_string(getpid());
    std::vector<std::string> vDirs;
    while (sDir.size() < 300) {
        ASSERT_EQ(mkdir(sDir.c_str(), 0700), 0);
        vDirs.push_back(sDir);
        sDir += "/" + std::string(60, 'd');
    }
    const std::string sPath = sDir + ".ts";
    ASSERT_GT(sPath.size(), 255u);
    FILE* pFile = fopen(sPath.c_str(), "wb");
    ASSERT_NE(pFile, nullptr);
    Bytes data = ProgramStream(10);
    fwrite(data.data(), 1, data.size(), pFile);
    fclose(pFile);

    Start(sPath, kToolBuffer);
    EXPECT_EQ(Drain(), Sequence(10));
    EXPECT_TRUE(WaitForLog(kLogDebug, EndLine(sPath.substr(0, 255))));

    std::remove(sPath.c_str());
    for (auto it = vDirs.rbegin(); it != vDirs.rend(); ++it) {
        rmdir(it->c_str());
    }
}

TEST_F(CSourceFileTest, ReadErrorEndsStreamWithErrorLine)
{
    // A directory opens for reading but every read of it fails.
    const std::string sDir = ::testing::TempDir();
    Start(sDir, kToolBuffer);
    EXPECT_TRUE(WaitFor([this] { return m_pInput->IsStreamEnd(); }));
    EXPECT_TRUE(WaitFor([&] { return HasLogContaining(kLogError, sDir); }));
    EXPECT_EQ(CountLog(kLogDebug, EndLine(sDir)), 0);
}

TEST(CSourceBufferTest, SecondInitBufferKeepsTheFirst)
{
    CBufferProbe source;
    source.InitBuffer(kToolBuffer);
    unsigned char* pFirst = source.Buffer();
    ASSERT_NE(pFirst, nullptr);
    source.InitBuffer(188);
    EXPECT_EQ(source.Buffer(), pFirst);
    EXPECT_EQ(source.BufferSize(), kToolBuffer);
}

// Damaged files, read with chunks of one packet, of seven, and of the tool's
// size, so that gaps and search windows fall across chunk boundaries.
class CSourceFileDamageTest : public CSourceFileTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(CSourceFileDamageTest, StrayPrefixIsSkipped)
{
    Bytes data = Junk(100);
    Bytes stream = ProgramStream(300);
    data.insert(data.end(), stream.begin(), stream.end());
    const std::string sPath = WriteFile("prefix.ts", data);
    Start(sPath, GetParam());
    EXPECT_EQ(Drain(), Sequence(300));
    EXPECT_TRUE(WaitForLog(kLogDebug, EndLine(sPath)));
}

TEST_P(CSourceFileDamageTest, LossOfSyncInsideFileIsRecovered)
{
    Bytes stream = ProgramStream(300);
    Bytes data(stream.begin(), stream.begin() + 150 * 188);
    Bytes gap = Junk(61);
    data.insert(data.end(), gap.begin(), gap.end());
    data.insert(data.end(), stream.begin() + 150 * 188, stream.end());
    const std::string sPath = WriteFile("gap.ts", data);
    Start(sPath, GetParam());
    EXPECT_EQ(Drain(), Sequence(300));
    EXPECT_TRUE(WaitForLog(kLogDebug, EndLine(sPath)));
}

TEST_P(CSourceFileDamageTest, PartialLastPacketIsDropped)
{
    Bytes data = ProgramStream(300);
    tsb::Packet next = StreamPacket(300);
    data.insert(data.end(), next.begin(), next.begin() + 100);
    const std::string sPath = WriteFile("partial.ts", data);
    Start(sPath, GetParam());
    EXPECT_EQ(Drain(), Sequence(300));
    EXPECT_TRUE(WaitForLog(kLogDebug, EndLine(sPath)));
}

TEST_F(CSourceFileTest, StraySyncBytesInJunkAreNotTakenForAlignment)
{
    Bytes data = Junk(300);
    data[10] = 0x47;
    data[10 + 188] = 0x47; // two in step: fewer than it takes to confirm
    data[250] = 0x47;
    Bytes stream = ProgramStream(300);
    data.insert(data.end(), stream.begin(), stream.end());
    const std::string sPath = WriteFile("stray47.ts", data);
    Start(sPath, kToolBuffer);
    EXPECT_EQ(Drain(), Sequence(300));
    EXPECT_TRUE(HasLogContaining(kLogWarning, "sync regained at byte 300 after 300 skipped bytes"));
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, CSourceFileDamageTest,
                         ::testing::Values(188, 7 * 188, kToolBuffer));

// Packet size by read chunk size.
class CSourceFileLayoutTest : public CSourceFileTest,
                              public ::testing::WithParamInterface<std::tuple<int, int>>
{
};

TEST_P(CSourceFileLayoutTest, PacketsOfEverySizeArriveAs188AcrossJunkAndGaps)
{
    const int nStep = std::get<0>(GetParam());
    const Bytes stream = tsb::Reframe(ProgramStream(300), nStep);
    Bytes data = Junk(100);
    const size_t nCut = static_cast<size_t>(150 * nStep);
    data.insert(data.end(), stream.begin(), stream.begin() + static_cast<long>(nCut));
    const Bytes gap = Junk(61);
    data.insert(data.end(), gap.begin(), gap.end());
    data.insert(data.end(), stream.begin() + static_cast<long>(nCut), stream.end());
    const std::string sPath = WriteFile("layout.ts", data);
    Start(sPath, std::get<1>(GetParam()));
    EXPECT_EQ(Drain(), Sequence(300));
    EXPECT_TRUE(WaitForLog(kLogDebug, EndLine(sPath)));
    const std::string sSize = std::to_string(nStep) + "-byte packets, read as 188: " + sPath + " ";
    EXPECT_EQ(CountLog(kLogWarning, sSize), nStep == 188 ? 0 : 1);
    const int nFirst = 100 + (nStep == 192 ? 4 : 0);
    EXPECT_TRUE(HasLogContaining(kLogWarning, "sync regained at byte " + std::to_string(nFirst) +
                                                  " after 100 skipped bytes"));
}

INSTANTIATE_TEST_SUITE_P(SizesAndChunks, CSourceFileLayoutTest,
                         ::testing::Combine(::testing::Values(188, 192, 204),
                                            ::testing::Values(188, 7 * 188, kToolBuffer)));

// A 192-byte file whose first packets fit 188 as well: the file reader, the
// rate estimate and the packet size all take it for what it is.
TEST_F(CSourceFileTest, SizeTieIsDecidedAlikeByTheReaderTheRateAndThePacketSize)
{
    Bytes plain;
    for (int i = 0; i < 4; ++i) {
        Append(plain, CPacketBuilder::Null());
    }
    const Bytes program = ProgramStream(1200); // PCRs 12.9 s apart in all: enough for a rate
    plain.insert(plain.end(), program.begin(), program.end());
    Bytes data = tsb::Reframe(plain, 192);
    for (int k = 1; k < 5; ++k) {
        data[static_cast<size_t>(4 + k * 188)] = 0x47; // a timestamp byte, then null payloads
    }
    const std::string sPath = WriteFile("tie.ts", data);
    EXPECT_EQ(GetSourcePacketSize(sPath.c_str()), 192);
    const int nRate = EstimateTsBitRate(plain.data(), static_cast<int>(plain.size()));
    EXPECT_GT(nRate, 0);
    EXPECT_EQ(GetSourceRate(sPath.c_str()), nRate);
    Start(sPath, kToolBuffer);
    EXPECT_EQ(Drain(), Sequence(1200));
}

TEST_F(CSourceFileTest, FileWithoutPacketsEndsTheInputSayingWhatItHolds)
{
    const std::string sPath = WriteFile("junk.ts", Junk(5000));
    Start(sPath, kToolBuffer);
    EXPECT_TRUE(WaitFor([this] { return m_pInput->IsStreamEnd(); }));
    EXPECT_TRUE(m_pInput->CanNeverBeReady());
    const std::string sLine =
        "no transport-stream packets found in the first 5000 bytes (first "
        "bytes 0x00 0x07 0x0E 0x15 0x1C 0x23 0x2A 0x31), source thread exit: ";
    EXPECT_TRUE(WaitForLog(kLogError, sLine + sPath + " "));
}

TEST_F(CSourceFileTest, DeletingSourceBlockedOnFullInputReturnsPromptly)
{
    // More packets than the input holds, and nobody takes any out.
    const std::string sPath = WriteFile("blocked.ts", ProgramStream(20'000));
    Start(sPath, kToolBuffer);
    ASSERT_TRUE(WaitFor([this] { return m_pInput->IsReady(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let it fill up

    CSourceFile* pSource = m_pSource;
    m_pSource = nullptr;
    std::promise<void> deleted;
    std::future<void> done = deleted.get_future();
    std::thread deleter([pSource, promise = std::move(deleted)]() mutable {
        delete pSource;
        promise.set_value();
    });
    if (done.wait_for(kTimeout) != std::future_status::ready) {
        // The deleting thread is stuck and still uses the fixture: end here
        // rather than hang or crash in TearDown.
        ADD_FAILURE() << "deleting the source hung";
        std::_Exit(1);
    }
    deleter.join();
    EXPECT_EQ(CountLog(kLogDebug, EndLine(sPath)), 0); // stopped, not at the end
    EXPECT_TRUE(HasLogContaining(kLogDebug, "source thread stopped: " + sPath));
}
