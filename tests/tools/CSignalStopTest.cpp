#include "CSignalStop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

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
