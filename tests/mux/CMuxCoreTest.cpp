#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "os/CClock.h"
#include "os/Realtime.h"
#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace mtk;
using tsb::CPacketBuilder;
using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

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

// At the tables' own rate nothing else would ever leave and the run would not
// end; one bit more and it starts.
TEST(CMuxCoreTest, RunRefusesARateTheTablesFill)
{
    for (const long long llAbove : {0LL, 1LL}) {
        CLogCapture capture;
        CVectorSink sink;
        auto pIn = ReadyInput(0x100, {{0x02, 0x100, {}}});
        pIn->StreamEnd();
        CMuxCore core;
        core.SetOutPutModule(&sink);
        core.AddInputModule(pIn.get());
        // Far past the 5 % share the SDT and NIT repeat as rarely as they
        // may: the tables then take the same at any lower rate.
        core.SetOutputBitRateBps(100'000);
        const long long llTables = core.GetTableBitRate();
        ASSERT_GT(llTables, 0);
        core.SetOutputBitRateBps(llTables + llAbove);
        ASSERT_EQ(core.GetTableBitRate(), llTables);
        core.SetVirtualClock(true);
        ExpectReturnsWithin([&] { core.Run(); }, 5s, "Run");
        ExpectReturnsWithin([&] { core.WaitFinish(); }, 10s, "WaitFinish");
        EXPECT_EQ(core.IsFailed(), llAbove == 0) << llAbove;
        EXPECT_EQ(CLogCapture::CountStarting("2 mux: the tables need " + std::to_string(llTables) +
                                             " bit/s"),
                  llAbove == 0 ? 1 : 0);
        EXPECT_EQ(sink.GetPacketCount() > 0, llAbove != 0);
    }
}

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
    EXPECT_EQ(CLogCapture::Count(std::string("0 ") + kMsgMuxThreadExit), 0) << "no thread started";
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

TEST(CMuxCoreTest, BuildPsiCarriesTheInputsPmtDescriptors)
{
    const Bytes vLanguage = {'e', 'n', 'g', 0x00};
    auto pIn = ReadyInput(0x100, {{0x02, 0x100, {}}, {0x04, 0x101, {{0x0A, vLanguage}}}});
    pIn->StreamEnd();
    CVectorSink sink;
    CMuxCore core;
    core.SetOutputBitRate(4.0f);
    core.SetOutPutModule(&sink);
    core.AddInputModule(pIn.get());
    core.Run();
    core.WaitFinish();

    // The PMT of program 101 is the table after the PAT.
    ASSERT_GE(core.GetTables().size(), 2u);
    const std::vector<uint8_t>& vPmt = core.GetTables()[1].vPackets;
    ASSERT_GE(vPmt.size(), size_t(kTsPacketSize));
    const unsigned char* pPmt = vPmt.data();
    ASSERT_EQ(((pPmt[1] & 0x1F) << 8) | pPmt[2], 1011);
    const Bytes vWanted = {0x04, 0xE3, 0xF6, 0xF0, 0x06, 0x0A, 0x04, 'e', 'n', 'g', 0x00};
    const auto itFound = std::search(pPmt, pPmt + kTsPacketSize, vWanted.begin(), vWanted.end());
    EXPECT_NE(itFound, pPmt + kTsPacketSize) << "audio on PID 1014 with its language descriptor";
}

// The thread that writes takes the real-time class where the system permits
// it; the client's thread keeps its own. Where not, one line and the run
// goes on.
TEST(CMuxCoreTest, RealtimeIsTheWritingThreadsAloneOrOneLineSaysWhyNot)
{
    class CPolicySink : public CVectorSink
    {
    public:
        void RenderPackets(unsigned char* packets, int nCount) override
        {
            sched_param param{};
            pthread_getschedparam(pthread_self(), &m_nPolicy, &param);
            m_nPriority = param.sched_priority;
            CVectorSink::RenderPackets(packets, nCount);
        }
        int m_nPolicy = -1;
        int m_nPriority = -1;
    };
    // Whether this process may: asked on a thread of its own.
    bool bPermitted = false;
    std::thread([&] {
        std::string sError;
        bPermitted = os::SetThreadRealtime(20, sError);
    }).join();

    CLogCapture capture;
    CPolicySink sink;
    auto pIn = ReadyInput(0x100, {{0x02, 0x100, {}}});
    pIn->StreamEnd();
    CMuxCore core;
    core.SetOutputBitRate(4.0f);
    core.SetOutPutModule(&sink);
    core.AddInputModule(pIn.get());
    core.SetDuration(0.05);
    core.SetRealtimePriority(20);
    core.Run();
    ExpectReturnsWithin([&] { core.WaitFinish(); }, 10s, "WaitFinish");
    EXPECT_GT(sink.GetPacketCount(), 0u);
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "the client's thread";
    if (bPermitted) {
        EXPECT_EQ(sink.m_nPolicy, SCHED_FIFO);
        EXPECT_EQ(sink.m_nPriority, 20);
        EXPECT_EQ(CLogCapture::CountStarting("1 mux:"), 0);
        std::ifstream status("/proc/self/status");
        std::string sLine;
        while (std::getline(status, sLine) && sLine.rfind("VmLck:", 0) != 0) {
        }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // (The sanitizers' runtime turns mlockall into a no-op.)
        EXPECT_GT(std::atol(sLine.c_str() + 6), 0) << "kB locked";
#endif
        munlockall(); // the rest of the tests as they were
    } else {
        EXPECT_EQ(sink.m_nPolicy, SCHED_OTHER);
        EXPECT_EQ(CLogCapture::CountStarting("1 mux: real-time priority 20 not permitted"), 1);
    }
}
