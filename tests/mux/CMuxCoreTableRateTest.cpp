#include "mux/CMuxCore.h"

#include "braidmill.h"
#include "support/CMuxTestKit.h"
#include "support/CPacketBuilder.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace mtk;
using tsb::CPacketBuilder;
using namespace std::chrono_literals;

// The rate asked for before the run is what the tables sent take: with the
// inputs' service names (two packets of SDT instead of one) too, one bit/s
// above it the run starts and its tables fit.
TEST(CMuxCoreTableRateTest, TableRateIsWhatTheTablesSentTakeServiceNamesIncluded)
{
    long long llNumbered = 0;
    for (const bool bNames : {false, true}) {
        CLogCapture capture;
        CVectorSink sink;
        CInputModuleIface in;
        in.SetSourceAttribute(_SOURCE_ATTRIBUTE{1, 0, 0});
        const tsb::Bytes sdt = CPacketBuilder::SdtSection(
            1, 0, {{1, std::string(100, 'P'), std::string(150, 'N'), 0x19}});
        for (const tsb::Packet& p : CPacketBuilder::Packetize(kPidSdt, sdt)) {
            Feed(in, p);
        }
        FeedTables(in, 0x100, {{0x02, 0x100, {}}});
        ASSERT_TRUE(in.IsReady());
        in.StreamEnd();
        CMuxCore core;
        core.SetOutPutModule(&sink);
        core.SetServiceNames(bNames);
        core.AddInputModule(&in);
        core.SetOutputBitRateBps(100'000);
        const long long llTables = core.GetTableBitRate();
        ASSERT_GT(llTables, 0);
        core.SetOutputBitRateBps(llTables + 1);
        ASSERT_EQ(core.GetTableBitRate(), llTables);
        core.SetVirtualClock(true);
        ExpectReturnsWithin([&] { core.Run(); }, 5s, "Run");
        ExpectReturnsWithin([&] { core.WaitFinish(); }, 10s, "WaitFinish");
        EXPECT_FALSE(core.IsFailed());
        EXPECT_EQ(CLogCapture::CountStarting("2 mux: the tables need"), 0) << bNames;
        if (bNames) {
            EXPECT_GT(llTables, llNumbered);
        }
        llNumbered = llTables;
    }
}
