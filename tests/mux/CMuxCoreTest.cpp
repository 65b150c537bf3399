#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "log/CLogger.h"
#include "os/CClock.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using tsb::CPacketBuilder;
using tsb::Header;
using tsb::Packet;

namespace {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

constexpr uint16_t kInPmtPid = 0x1000;

Header On(uint16_t nPid, uint8_t nCc = 0)
{
    Header h;
    h.nPid = nPid;
    h.nCc = nCc;
    return h;
}

// Collects what the output thread writes.
class CVectorSink : public COutPutModuleBase
{
public:
    void RenderOnePacket(unsigned char* pPacket) override
    {
        m_vData.insert(m_vData.end(), pPacket, pPacket + kTsPacketSize);
    }
    void Destroy() override {}

    size_t GetPacketCount() const { return m_vData.size() / kTsPacketSize; }
    unsigned char* Packet(size_t i) { return &m_vData[i * kTsPacketSize]; }
    uint16_t PidOf(size_t i) { return uint16_t(((Packet(i)[1] & 0x1F) << 8) | Packet(i)[2]); }

    Bytes m_vData; // written by the output thread, read after it ended
};

// The log lines of a test, captured instead of printed.
std::mutex g_logMutex;
std::vector<std::string> g_vLog;
void CaptureLog(int nLevel, std::string sMessage)
{
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_vLog.push_back(std::to_string(nLevel) + " " + sMessage);
}

class CLogCapture
{
public:
    CLogCapture()
    {
        std::lock_guard<std::mutex> guard(g_logMutex);
        g_vLog.clear();
        m_pPrevious = LogOutput;
        LogOutput = CaptureLog;
    }
    ~CLogCapture() { LogOutput = m_pPrevious; }
    static int Count(const std::string& sLine)
    {
        std::lock_guard<std::mutex> guard(g_logMutex);
        int n = 0;
        for (const std::string& s : g_vLog) {
            n += s == sLine;
        }
        return n;
    }
    static int CountStarting(const std::string& sStart)
    {
        std::lock_guard<std::mutex> guard(g_logMutex);
        int n = 0;
        for (const std::string& s : g_vLog) {
            n += s.rfind(sStart, 0) == 0;
        }
        return n;
    }

private:
    LogOutputFn m_pPrevious;
};

// Runs fn on a thread of its own. A call that does not return in time fails
// the test; the process then ends, since nothing could join the thread.
void ExpectReturnsWithin(const std::function<void()>& fn, std::chrono::milliseconds limit,
                         const char* szWhat)
{
    auto pDone = std::make_shared<std::promise<void>>();
    std::future<void> done = pDone->get_future();
    std::thread th([fn, pDone] {
        fn();
        pDone->set_value();
    });
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << szWhat << " did not return";
        fprintf(stderr, "%s hung\n", szWhat);
        std::_Exit(1);
    }
    th.join();
}

void Feed(CInputModuleIface& in, const Packet& packet)
{
    Packet copy = packet;
    in.RecvOnePacket(copy.data(), kTsPacketSize);
}

void FeedTables(CInputModuleIface& in, uint16_t nPcrPid, const std::vector<tsb::EsEntry>& es)
{
    for (const Packet& p :
         CPacketBuilder::Packetize(kPidPat, CPacketBuilder::PatSection(1, {{1, kInPmtPid}}))) {
        Feed(in, p);
    }
    for (const Packet& p :
         CPacketBuilder::Packetize(kInPmtPid, CPacketBuilder::PmtSection(1, nPcrPid, es))) {
        Feed(in, p);
    }
}

// An input fed on the test's thread, ready with one program and handing
// packets out as fast as they are asked for.
std::unique_ptr<CInputModuleIface> ReadyInput(uint16_t nPcrPid, const std::vector<tsb::EsEntry>& es)
{
    auto pIn = std::make_unique<CInputModuleIface>();
    pIn->SetSourceAttribute(_SOURCE_ATTRIBUTE{1, 0, 0});
    FeedTables(*pIn, nPcrPid, es);
    EXPECT_TRUE(pIn->IsReady());
    return pIn;
}

// A stream packet carrying a number in its last four payload bytes.
Packet Numbered(uint16_t nPid, uint32_t nNumber, uint8_t nCc)
{
    Packet p = CPacketBuilder::Payload(On(nPid, nCc), Bytes(184, 0x5A));
    std::memcpy(&p[184], &nNumber, sizeof(nNumber));
    return p;
}

uint32_t NumberOf(const unsigned char* p)
{
    uint32_t n = 0;
    std::memcpy(&n, p + 184, sizeof(n));
    return n;
}

bool IsNullPacket(const unsigned char* p)
{
    static const Packet kNull = CPacketBuilder::Null();
    return std::memcmp(p, kNull.data(), kTsPacketSize) == 0;
}

void Queue(CMuxCore& core, const Packet& packet)
{
    Packet copy = packet;
    _MUX_TS_PKT_T pkt{copy.data(), -1, -1, -1};
    os::CCsGuard guard(core.GetLock());
    ASSERT_TRUE(core.InsertPacket(pkt));
}

// Ticks a PCR should advance over nPackets packets at nBytesPerSecond,
// truncated once.
int64_t Ticks(int64_t nPackets, int64_t nBytesPerSecond)
{
    return int64_t(__int128(nPackets) * kTsPacketSize * kPcrHz / nBytesPerSecond);
}

} // namespace

struct CRefusal
{
    float fRate;
    bool bSink;
};

class CMuxCoreRefusalTest : public ::testing::TestWithParam<CRefusal>
{
};

TEST_P(CMuxCoreRefusalTest, RunWithoutRateOrSinkStartsNothingAndFails)
{
    CLogCapture capture;
    CVectorSink sink;
    auto pIn = ReadyInput(0x100, {{0x02, 0x100, {}}});
    {
        CMuxCore core;
        core.SetOutputBitRate(GetParam().fRate);
        core.SetOutPutModule(GetParam().bSink ? &sink : nullptr);
        core.AddInputModule(pIn.get());
        ExpectReturnsWithin([&] { core.Run(); }, 5s, "Run");
        EXPECT_TRUE(core.IsFailed());
        ExpectReturnsWithin([&] { core.WaitFinish(); }, 1s, "WaitFinish");
    }
    EXPECT_EQ(CLogCapture::CountStarting("2 mux: "), 1);
    EXPECT_EQ(CLogCapture::Count(std::string("0 ") + kMsgMuxThreadExit), 0) << "no thread ran";
    EXPECT_EQ(sink.GetPacketCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BadConfigurations, CMuxCoreRefusalTest,
                         ::testing::Values(CRefusal{0.0f, true}, CRefusal{-2.0f, true},
                                           CRefusal{std::numeric_limits<float>::quiet_NaN(), true},
                                           CRefusal{4.0f, false}));

TEST(CMuxCoreTest, RunGivesUpOnAnInputThatCanNeverBeReady)
{
    CLogCapture capture;
    CVectorSink sink;
    auto pGood = ReadyInput(0x100, {{0x02, 0x100, {}}});
    CInputModuleIface noPat;
    noPat.SetSourceAttribute(_SOURCE_ATTRIBUTE{1, 0, 0});
    for (uint8_t nCc = 0; nCc < 50; ++nCc) {
        Feed(noPat, Numbered(0x100, nCc, nCc));
    }
    noPat.StreamEnd();

    CMuxCore core;
    core.SetOutputBitRate(4.0f);
    core.SetOutPutModule(&sink);
    core.AddInputModule(pGood.get());
    core.AddInputModule(&noPat);
    ExpectReturnsWithin([&] { core.Run(); }, 10s, "Run");
    EXPECT_TRUE(core.IsFailed());
    ExpectReturnsWithin([&] { core.WaitFinish(); }, 1s, "WaitFinish");
    EXPECT_EQ(CLogCapture::CountStarting("2 mux: input 2 "), 1);
    EXPECT_EQ(CLogCapture::Count(std::string("0 ") + kMsgMuxThreadExit), 1);
    EXPECT_EQ(sink.GetPacketCount(), 0u);
}

TEST(CMuxCoreTest, RunWaitsForAnInputToBecomeReady)
{
    CVectorSink sink;
    CInputModuleIface in;
    in.SetSourceAttribute(_SOURCE_ATTRIBUTE{1, 0, 0});
    CMuxCore core;
    core.SetOutputBitRate(4.0f);
    core.SetOutPutModule(&sink);
    core.AddInputModule(&in);

    std::promise<void> returned;
    std::future<void> done = returned.get_future();
    std::thread th([&] {
        core.Run();
        returned.set_value();
    });
    EXPECT_EQ(done.wait_for(50ms), std::future_status::timeout);
    FeedTables(in, 0x100, {{0x02, 0x100, {}}});
    EXPECT_EQ(done.wait_for(10s), std::future_status::ready);
    th.join();
    in.StreamEnd();
    ExpectReturnsWithin([&] { core.WaitFinish(); }, 10s, "WaitFinish");
    EXPECT_FALSE(core.IsFailed());
}

TEST(CMuxCoreTest, PacketsReadyBeforeRunLeaveOnTheirNewPidsInOrder)
{
    // The input is ready and full before Run: nothing may be gathered before
    // its PID map is written, or those packets would leave as null packets.
    CVectorSink sink;
    auto pIn = ReadyInput(0x100, {{0x02, 0x100, {}}, {0x04, 0x101, {}}});
    constexpr uint32_t kCount = 3000;
    for (uint32_t i = 0; i < kCount; ++i) {
        Feed(*pIn, Numbered(i % 2 ? 0x101 : 0x100, i, uint8_t(i / 2)));
    }
    pIn->StreamEnd();

    CMuxCore core;
    core.SetOutputBitRate(40.0f);
    core.SetOutPutModule(&sink);
    core.AddInputModule(pIn.get());
    core.Run();
    ExpectReturnsWithin([&] { core.WaitFinish(); }, 20s, "WaitFinish");

    uint32_t nNext = 0;
    for (size_t i = 0; i < sink.GetPacketCount(); ++i) {
        const uint16_t nPid = sink.PidOf(i);
        if (nPid == kPidNull) {
            EXPECT_TRUE(IsNullPacket(sink.Packet(i))) << "input data on the null PID at " << i;
        } else if (nPid == 1013 || nPid == 1014) {
            ASSERT_EQ(NumberOf(sink.Packet(i)), nNext);
            EXPECT_EQ(nPid, nNext % 2 ? 1014 : 1013);
            ++nNext;
        }
    }
    EXPECT_EQ(nNext, kCount);
}

TEST(CMuxCoreTest, WithoutInputsBothThreadsEndAndLogTheirExit)
{
    CLogCapture capture;
    CVectorSink sink;
    CMuxCore core;
    core.SetOutputBitRate(1.0f);
    core.SetOutPutModule(&sink);
    core.Run();
    ExpectReturnsWithin([&] { core.WaitFinish(); }, 10s, "WaitFinish");
    EXPECT_FALSE(core.IsFailed());
    EXPECT_EQ(CLogCapture::Count(std::string("0 ") + kMsgMuxThreadExit), 1);
    EXPECT_EQ(CLogCapture::Count(std::string("0 ") + kMsgOutThreadExit), 1);
    EXPECT_EQ(sink.m_vData.size() % kTsPacketSize, 0u);
}

TEST(CMuxCoreTest, GatherTakesOnePacketPerInputInInputOrder)
{
    auto pA = ReadyInput(0x100, {{0x02, 0x100, {}}});
    auto pB = ReadyInput(0x200, {{0x02, 0x200, {}}});
    Feed(*pA, Numbered(0x100, 1, 0));
    Feed(*pA, Numbered(0x100, 2, 1));
    Feed(*pB, Numbered(0x200, 3, 0));
    CMuxCore core;
    core.SetOutputBitRate(8.0f);
    core.AddInputModule(pA.get());
    core.AddInputModule(pB.get());
    ASSERT_TRUE(core.BuildPsi());

    EXPECT_TRUE(core.GatherPackets());
    ASSERT_EQ(core.GetRing().GetQueued(), 2);
    EXPECT_EQ(NumberOf(core.GetRing().Slot(0).pData), 1u);
    EXPECT_EQ(NumberOf(core.GetRing().Slot(1).pData), 3u);
    CTsPacket packet;
    packet.SetData(core.GetRing().Slot(1).pData);
    EXPECT_EQ(packet.GetPid(), 1023);
    EXPECT_TRUE(core.GatherPackets());
    EXPECT_FALSE(core.GatherPackets());
    EXPECT_EQ(core.GetRing().GetQueued(), 3);
}

TEST(CMuxCoreTest, FullRingDropsTheGatheredPacketAndLogsOncePerEpisode)
{
    CLogCapture capture;
    auto pIn = ReadyInput(0x100, {{0x02, 0x100, {}}});
    for (uint32_t i = 0; i < 3; ++i) {
        Feed(*pIn, Numbered(0x100, i, uint8_t(i)));
    }
    pIn->StreamEnd();
    CMuxCore core;
    core.SetOutputBitRate(8.0f);
    core.AddInputModule(pIn.get());
    ASSERT_TRUE(core.BuildPsi());
    {
        const Bytes vFill(size_t(kRingSlots - 1) * kTsPacketSize, 0x47);
        os::CCsGuard guard(core.GetLock());
        ASSERT_TRUE(core.InsertPackets(vFill.data(), int(vFill.size())));
    }
    EXPECT_TRUE(core.GatherPackets());
    EXPECT_TRUE(core.GatherPackets());
    EXPECT_EQ(core.GetDroppedPackets(), 2);
    EXPECT_EQ(CLogCapture::Count(std::string("2 ") + kMsgRingFull), 1);
    EXPECT_EQ(core.GetRing().GetQueued(), kRingSlots - 1);
    EXPECT_TRUE(core.GatherPackets());
    EXPECT_TRUE(core.AllInputsEnded()) << "dropped packets still went back to the input";
}

// The output thread's steps on a manual clock: one step per millisecond.
class CMuxCoreOutputTest : public ::testing::Test
{
protected:
    void SetUpCore(float fRate, std::vector<CInputModuleIface*> vInputs = {})
    {
        m_core.SetClock(m_clock);
        m_core.SetOutputBitRate(fRate);
        m_core.SetOutPutModule(&m_sink);
        for (CInputModuleIface* pIn : vInputs) {
            m_core.AddInputModule(pIn);
        }
        ASSERT_TRUE(m_core.BuildPsi());
        m_core.StartPacing();
    }
    void StepMs(int nMs = 1)
    {
        m_clock.Advance(int64_t(nMs) * 1000);
        m_core.SendDuePackets();
    }

    os::CManualClock m_clock;
    CVectorSink m_sink;
    CMuxCore m_core;
};

TEST_F(CMuxCoreOutputTest, NothingQueuedGivesNullPacketsAtTheRate)
{
    SetUpCore(2.0f);
    for (int i = 0; i < 100; ++i) {
        StepMs(10);
    }
    // One second at 2 x 1,048,576 bit/s, rounded up to a whole packet.
    EXPECT_EQ(m_sink.GetPacketCount(), (262144u + kTsPacketSize - 1) / kTsPacketSize);
    for (size_t i = 0; i < m_sink.GetPacketCount(); ++i) {
        ASSERT_TRUE(IsNullPacket(m_sink.Packet(i))) << i;
    }
}

TEST_F(CMuxCoreOutputTest, QueuedPacketsLeaveFirstThenNullPackets)
{
    SetUpCore(1.0f); // 131 bytes a millisecond: 7 ms make five packets due
    for (uint32_t i = 0; i < 3; ++i) {
        Queue(m_core, Numbered(0x300, 100 + i, uint8_t(i)));
    }
    StepMs(7);
    ASSERT_EQ(m_sink.GetPacketCount(), 5u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(NumberOf(m_sink.Packet(i)), 100 + i);
        EXPECT_EQ(m_sink.PidOf(i), 0x300) << "no calculator on this PID: bytes unchanged";
    }
    EXPECT_TRUE(IsNullPacket(m_sink.Packet(3)));
    EXPECT_TRUE(IsNullPacket(m_sink.Packet(4)));
    EXPECT_EQ(m_core.GetRing().GetQueued(), 0);
    EXPECT_TRUE(IsNullPacket(m_core.GetRing().Slot(kRingSlots - 3).pData));
}

TEST_F(CMuxCoreOutputTest, PsiSetGoesOutEvery80MsOfOutputWithRunningCounters)
{
    auto pIn = ReadyInput(0x100, {{0x02, 0x101, {}}});
    SetUpCore(8.0f, {pIn.get()});
    const int64_t nPsiBytes = int64_t(m_core.GetPsiSet().size());
    ASSERT_EQ(nPsiBytes, 4 * kTsPacketSize);

    int nQueued = 0;
    for (int nMs = 0; nMs < 2000; ++nMs) {
        StepMs();
        const int64_t nSince = m_core.GetBytesSincePsi();
        // 80 ms at 8,388.608 bits per millisecond: 83,886 bytes are 79 ms.
        const bool bDue = nSince >= 83887;
        ASSERT_EQ(m_core.InsertPsiIfDue(), bDue) << nSince << " bytes at " << nMs << " ms";
        if (bDue) {
            EXPECT_EQ(m_core.GetBytesSincePsi(), nPsiBytes);
            ++nQueued;
        }
    }
    EXPECT_GE(nQueued, 24);

    std::map<uint16_t, std::vector<int>> ccs;
    size_t nFirstPat = 0;
    for (size_t i = 0; i < m_sink.GetPacketCount(); ++i) {
        const uint16_t nPid = m_sink.PidOf(i);
        if (nPid != kPidNull) {
            if (ccs.empty()) {
                nFirstPat = i;
            }
            ccs[nPid].push_back(m_sink.Packet(i)[3] & kCcMask);
        }
    }
    EXPECT_GE(nFirstPat * kTsPacketSize, 83887u) << "the first set after 80 ms of output";
    ASSERT_EQ(ccs.size(), 4u);
    for (const auto& entry : ccs) {
        EXPECT_GE(entry.second.size(), 17u);
        for (size_t k = 0; k < entry.second.size(); ++k) {
            ASSERT_EQ(entry.second[k], int(k % 16)) << "PID " << entry.first << " set " << k;
        }
    }
    EXPECT_EQ(ccs.count(0), 1u);
    EXPECT_EQ(ccs.count(1011), 1u);
    EXPECT_EQ(ccs.count(kPidSdt), 1u);
    EXPECT_EQ(ccs.count(kPidNit), 1u);
}

TEST_F(CMuxCoreOutputTest, PsiSetThatDoesNotFitWholeWaitsWithItsCountersUnspent)
{
    CLogCapture capture;
    SetUpCore(8.0f); // PAT, SDT, NIT
    StepMs(100);
    {
        // Room for two packets, the set has three.
        const Bytes vFill(size_t(kRingSlots - 3) * kTsPacketSize, 0x47);
        os::CCsGuard guard(m_core.GetLock());
        ASSERT_TRUE(m_core.InsertPackets(vFill.data(), int(vFill.size())));
    }
    EXPECT_FALSE(m_core.InsertPsiIfDue());
    EXPECT_EQ(m_core.GetRing().GetQueued(), kRingSlots - 3);
    EXPECT_EQ(CLogCapture::Count(std::string("2 ") + kMsgRingFull), 1);

    m_sink.m_vData.clear();
    StepMs(40'000); // drains the ring in one step
    ASSERT_EQ(m_core.GetRing().GetQueued(), 0);
    ASSERT_TRUE(m_core.InsertPsiIfDue());
    m_sink.m_vData.clear();
    StepMs(1);
    ASSERT_GE(m_sink.GetPacketCount(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_sink.Packet(i)[3] & kCcMask, 0) << "packet " << i << " of the first set";
    }
}

// PCR PID 0x101 of the input leaves as 1012; at 1,048,576 bit/s the output
// moves 131,072 bytes a second.
class CMuxCorePcrTest : public CMuxCoreOutputTest
{
protected:
    static constexpr int64_t kBytesPerSecond = 131072;
    static constexpr uint16_t kPcrPid = 1012;

    void SetUp() override
    {
        m_pIn = ReadyInput(0x101, {{0x02, 0x102, {}}});
        SetUpCore(1.0f, {m_pIn.get()});
    }
    // Output packets on the PCR PID that carry a PCR: position and value.
    std::vector<std::pair<size_t, int64_t>> OutputPcrs()
    {
        std::vector<std::pair<size_t, int64_t>> vPcrs;
        for (size_t i = 0; i < m_sink.GetPacketCount(); ++i) {
            CTsPacket packet;
            packet.SetData(m_sink.Packet(i));
            if (packet.GetPid() == kPcrPid && packet.GetPcr() >= 0) {
                vPcrs.emplace_back(i, packet.GetPcr());
            }
        }
        return vPcrs;
    }

    std::unique_ptr<CInputModuleIface> m_pIn;
};

TEST_F(CMuxCorePcrTest, OneCalculatorPerOutputPcrPidAtTheOutputRate)
{
    ASSERT_EQ(m_core.GetPcrCalcs().size(), 1u);
    EXPECT_EQ(m_core.GetPcrCalcs().begin()->first, kPcrPid);
}

TEST_F(CMuxCorePcrTest, FirstPcrKeepsItsValueLaterOnesSitAtTheirOutputPosition)
{
    const int64_t nFirst = 5'000'000;
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), nFirst));
    for (uint32_t i = 0; i < 9; ++i) {
        Queue(m_core, Numbered(1013, i, uint8_t(i)));
    }
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 1)); // wrong value, restamped
    Queue(m_core, CPacketBuilder::Payload(On(kPcrPid, 1), {0x01}));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 2));
    for (int i = 0; i < 20; ++i) {
        StepMs();
    }
    const auto vPcrs = OutputPcrs();
    ASSERT_EQ(vPcrs.size(), 3u);
    EXPECT_EQ(vPcrs[0], std::make_pair(size_t(0), nFirst));
    EXPECT_EQ(vPcrs[1], std::make_pair(size_t(10), nFirst + Ticks(10, kBytesPerSecond)));
    EXPECT_EQ(vPcrs[2], std::make_pair(size_t(12), nFirst + Ticks(12, kBytesPerSecond)));
    for (size_t i = 1; i < 10; ++i) {
        EXPECT_EQ(NumberOf(m_sink.Packet(i)), i - 1);
    }
}

TEST_F(CMuxCorePcrTest, DiscontinuityKeepsItsOwnPcrAndRestartsTheReference)
{
    const int64_t nFirst = 1'000'000, nJump = 900'000'000;
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), nFirst));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 7));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), nJump, true));
    Queue(m_core, CPacketBuilder::Null());
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 7));
    // A discontinuity flagged on a packet without PCR: the next PCR is kept.
    Queue(m_core, CPacketBuilder::AdaptationOnly(On(kPcrPid), 1, 0x80));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 12345));
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 7));
    for (int i = 0; i < 20; ++i) {
        StepMs();
    }
    const auto vPcrs = OutputPcrs();
    ASSERT_EQ(vPcrs.size(), 6u);
    EXPECT_EQ(vPcrs[1].second, nFirst + Ticks(1, kBytesPerSecond));
    EXPECT_EQ(vPcrs[2].second, nJump);
    EXPECT_EQ(vPcrs[3].second, nJump + Ticks(2, kBytesPerSecond));
    EXPECT_EQ(vPcrs[4].second, 12345);
    EXPECT_EQ(vPcrs[5].second, 12345 + Ticks(1, kBytesPerSecond));
}

TEST_F(CMuxCorePcrTest, PcrsStayExactOverAnHourAcrossTheWrap)
{
    // An hour of output without real time, PCRs close together (as on a
    // video PID) and the 33-bit wrap twenty minutes in. Every PCR must sit at
    // its own position: an error carried from one PCR to the next would add
    // up to far more than a tick.
    const int64_t nFirst = kPcrModulo - 20 * 60 * kPcrHz;
    Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), nFirst));
    size_t nChecked = 0;
    int64_t nWritten = 0; // output packets before this step's
    int64_t nMaxError = 0;
    bool bWrapped = false;
    for (int nStep = 0; nStep < 3600 * 100; ++nStep) {
        for (int k = 0; k < 1 + nStep % 3; ++k) {
            Queue(m_core, CPacketBuilder::Pcr(On(kPcrPid), 0));
        }
        StepMs(10);
        for (size_t i = 0; i < m_sink.GetPacketCount(); ++i) {
            CTsPacket packet;
            packet.SetData(m_sink.Packet(i));
            if (packet.GetPid() != kPcrPid) {
                continue;
            }
            const int64_t nPosition = nWritten + int64_t(i);
            const int64_t nWant = (nFirst + Ticks(nPosition, kBytesPerSecond)) % kPcrModulo;
            nMaxError = std::max<int64_t>(nMaxError, std::llabs(packet.GetPcr() - nWant));
            bWrapped = bWrapped || packet.GetPcr() < nFirst;
            ++nChecked;
        }
        // Keeps memory flat over the hour.
        nWritten += int64_t(m_sink.GetPacketCount());
        m_sink.m_vData.clear();
    }
    EXPECT_LE(nMaxError, 1);
    EXPECT_TRUE(bWrapped);
    EXPECT_GT(nChecked, 700'000u) << "two PCRs a step on average";
}
