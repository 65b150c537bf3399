// The engine's start: its one wait for the inputs' programs, and what Run
// does with inputs that did not find them within it.
#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

using namespace mtk;
using namespace std::chrono_literals;

namespace {

// The programs each PAT version in the output lists, by version.
std::map<int, std::set<int>> PatPrograms(CVectorSink& sink)
{
    std::map<int, std::set<int>> versions;
    for (size_t i = 0; i < sink.GetPacketCount(); ++i) {
        const unsigned char* p = sink.Packet(i);
        if (sink.PidOf(i) != kPidPat || (p[1] & 0x40) == 0) {
            continue;
        }
        const unsigned char* s = p + 5; // after the pointer field
        const int nVersion = (s[5] >> 1) & 0x1F;
        const int nLength = ((s[1] & 0x0F) << 8) | s[2];
        for (int k = 8; k + 4 <= 3 + nLength - 4; k += 4) {
            const int nProgram = (s[k] << 8) | s[k + 1];
            if (nProgram != 0) {
                versions[nVersion].insert(nProgram);
            }
        }
    }
    return versions;
}

TEST(CMuxCoreStartTest, WaitReturnsTheReadyCountAtItsLimit)
{
    auto pReady = ReadyInput(0x100, {{0x02, 0x100, {}}});
    CInputModuleIface silent;
    CMuxCore core;
    core.AddInputModule(pReady.get());
    EXPECT_EQ(core.WaitForInputs(-1), 1) << "every input ready: at once";
    core.AddInputModule(&silent);
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(core.WaitForInputs(30), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - tStart, 30ms);
}

// In real time the run starts with the ready input; the other joins when
// its tables come, as a new program with new tables.
TEST(CMuxCoreStartTest, InputNotReadyAtTheStartJoinsWithItsProgram)
{
    CLogCapture capture;
    CVectorSink sink;
    auto pReady = ReadyInput(0x100, {{0x02, 0x100, {}}});
    CInputModuleIface late;
    late.SetSourceAttribute(_SOURCE_ATTRIBUTE{1, 0, 0});
    CMuxCore core;
    core.SetOutputBitRate(4.0f);
    core.SetOutPutModule(&sink);
    core.SetStartWaitMs(20);
    core.AddInputModule(&late);
    core.AddInputModule(pReady.get());
    ExpectReturnsWithin([&] { core.Run(); }, 5s, "Run");
    ASSERT_FALSE(core.IsFailed());
    EXPECT_EQ(CLogCapture::Count("1 mux: input 1: no programs yet; they join when they come"), 1);
    Feed(*pReady, Numbered(0x100, 1, 0));
    // The first tables go out before the late ones come.
    _MUX_STATS stats;
    const auto tLimit = std::chrono::steady_clock::now() + 5s;
    while ((!core.GetStats(stats) || stats.llTableSlots == 0) &&
           std::chrono::steady_clock::now() < tLimit) {
        std::this_thread::sleep_for(1ms);
    }
    pReady->StreamEnd();
    FeedTables(late, 0x200, {{0x02, 0x200, {}}});
    Feed(late, Numbered(0x200, 2, 0));
    late.StreamEnd();
    ExpectReturnsWithin([&] { core.WaitFinish(); }, 10s, "WaitFinish");

    const std::map<int, std::set<int>> versions = PatPrograms(sink);
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_EQ(versions.at(0), std::set<int>{101}) << "input 2's program first";
    EXPECT_EQ(versions.at(1), (std::set<int>{101, 102}));
    size_t nLateAt = 0;
    for (size_t i = 0; i < sink.GetPacketCount(); ++i) {
        if (sink.PidOf(i) == 1023) {
            nLateAt = i;
            EXPECT_EQ(NumberOf(sink.Packet(i)), 2u);
        }
    }
    EXPECT_GT(nLateAt, 0u) << "input 1's packet on program 102's stream";
}

struct CNotReady
{
    bool bVirtual;
    int nReady; // inputs ready of two
};

class CMuxCoreNotReadyTest : public ::testing::TestWithParam<CNotReady>
{
};

// Nothing to start with, or output time (which must not depend on when a
// reader came): Run fails naming each input that is not ready.
TEST_P(CMuxCoreNotReadyTest, RunFailsNamingTheInputsWithoutPrograms)
{
    CLogCapture capture;
    CVectorSink sink;
    auto pReady = ReadyInput(0x100, {{0x02, 0x100, {}}});
    CInputModuleIface silent1, silent2;
    CMuxCore core;
    core.SetOutputBitRate(4.0f);
    core.SetOutPutModule(&sink);
    core.SetVirtualClock(GetParam().bVirtual);
    core.SetStartWaitMs(20);
    core.AddInputModule(GetParam().nReady > 0 ? pReady.get() : &silent1);
    core.AddInputModule(&silent2);
    ExpectReturnsWithin([&] { core.Run(); }, 5s, "Run");
    EXPECT_TRUE(core.IsFailed());
    EXPECT_EQ(CLogCapture::Count("2 mux: input 2 found no programs within 20 ms; multiplex stopped"),
              1);
    EXPECT_EQ(sink.GetPacketCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Starts, CMuxCoreNotReadyTest,
                         ::testing::Values(CNotReady{false, 0}, CNotReady{true, 1}));

} // namespace
