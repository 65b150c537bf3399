#include "CSignalStop.h"
#include "CWatchedSink.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <thread>
#include <vector>

TEST(CSignalStopTest, FirstSignalWakesTheWatcherAndSecondEndsAtOnce)
{
    EXPECT_EXIT(
        {
            CSignalStop signals;
            if (!signals.Install()) {
                std::_Exit(10);
            }
            std::thread watcher([&signals] {
                // The watcher's loop: waits until the signal shows.
                while (signals.Wait(1000) == 0) {
                }
            });
            std::raise(SIGTERM);
            watcher.join();
            if (CSignalStop::GetSignal() != SIGTERM || signals.Wait(0) != SIGTERM) {
                std::_Exit(11);
            }
            std::raise(SIGINT); // the second: default action, at once
            std::_Exit(12);
        },
        ::testing::KilledBySignal(SIGINT), "");
}

TEST(CWatchedSinkTest, FailedWriteBreaksAndStopsCounting)
{
    auto pFile = std::make_unique<COutPutModuleFile>();
    ASSERT_EQ(pFile->OpenFile("/dev/full"), 0);
    CWatchedSink sink(std::move(pFile));
    std::vector<unsigned char> vPackets(kPacketBytes * 2, 0x47);
    EXPECT_FALSE(sink.IsBroken());
    sink.RenderPackets(vPackets.data(), 2);
    EXPECT_TRUE(sink.IsBroken());
    EXPECT_EQ(sink.GetPackets(), 0);
    sink.Destroy();

    auto pNull = std::make_unique<COutPutModuleFile>();
    ASSERT_EQ(pNull->OpenFile("/dev/null"), 0);
    CWatchedSink counted(std::move(pNull));
    counted.RenderPackets(vPackets.data(), 2);
    counted.RenderOnePacket(vPackets.data());
    EXPECT_EQ(counted.GetPackets(), 3);
    EXPECT_FALSE(counted.IsBroken());
    counted.Destroy();
}
