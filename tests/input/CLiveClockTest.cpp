#include "input/CLiveClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace {

constexpr int64_t kTicksPerMs = 27'000;
constexpr int64_t kPcrStepTicks = 40 * kTicksPerMs; // a PCR every 40 ms of sender time

// A sender whose clock runs fPpm fast: sender time t arrives at local time
// t / (1 + ppm) plus a fixed path delay plus jitter that only ever delays.
struct CSender
{
    double fPpm;
    double fMaxJitterMicros;
    int64_t nPathMicros = 5'000;
    std::mt19937 rng{7};

    double LocalAt(int64_t nTime) const
    {
        return 1e9 + double(nTime) / 27.0 / (1.0 + fPpm * 1e-6) + double(nPathMicros);
    }
    int64_t Arrival(int64_t nTime)
    {
        std::exponential_distribution<double> jitter(3.0 / std::max(fMaxJitterMicros, 1.0));
        const double fJitter = std::min(jitter(rng), fMaxJitterMicros);
        return int64_t(LocalAt(nTime) + fJitter);
    }
};

struct CDriftCase
{
    double fPpm;
    double fJitterMicros;
    double fDriftTolerancePpm; // 30 s of window minima under heavy jitter fix it to a few ppm
};

class CLiveClockDriftTest : public ::testing::TestWithParam<CDriftCase>
{
};

// The delay a packet sees is its mapped time minus when it truly left the
// sender: over twenty minutes it must neither grow nor shrink by more than
// the jitter allows, or an hour of a fast sender would fill the queue or
// empty it.
TEST_P(CLiveClockDriftTest, MappedDelayStaysFlatOverTwentyMinutes)
{
    CSender sender{GetParam().fPpm, GetParam().fJitterMicros};
    CLiveClock clock;
    double fMinLate = 1e18;
    double fMaxLate = -1e18;
    const int64_t nEnd = 20LL * 60 * 1000 * kTicksPerMs;
    for (int64_t t = 0; t <= nEnd; t += kPcrStepTicks) {
        clock.AddSample(t, sender.Arrival(t), t == 0);
        // After a minute to settle, what the map says against the truth.
        if (t > 60'000 * kTicksPerMs) {
            const double fLate = double(clock.LocalMicros(t)) - sender.LocalAt(t);
            fMinLate = std::min(fMinLate, fLate);
            fMaxLate = std::max(fMaxLate, fLate);
        }
    }
    // Without recovery 50 ppm over twenty minutes is 60 ms.
    EXPECT_LT(fMaxLate - fMinLate, 2'000.0);
    EXPECT_GT(fMinLate, -2'000.0); // never far ahead of what has arrived
    EXPECT_LT(fMaxLate, GetParam().fJitterMicros + 2'000.0);
    EXPECT_NEAR(clock.GetDrift() * 1e6, GetParam().fPpm, GetParam().fDriftTolerancePpm);
    EXPECT_EQ(clock.GetAnchorCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Senders, CLiveClockDriftTest,
                         ::testing::Values(CDriftCase{50.0, 5'000.0, 3.0},
                                           CDriftCase{-50.0, 5'000.0, 3.0},
                                           CDriftCase{30.0, 0.0, 1.0},
                                           CDriftCase{0.0, 20'000.0, 10.0}));

TEST(CLiveClockTest, SilenceOrNewBaseStartsAfreshFromTheNextArrival)
{
    CLiveClock clock;
    for (int64_t t = 0; t <= 10'000 * kTicksPerMs; t += kPcrStepTicks) {
        clock.AddSample(t, 1'000'000 + t / 27, t == 0);
    }
    // Five seconds of silence; the sender's time went on by only 40 ms.
    const int64_t nResume = 10'040 * kTicksPerMs;
    clock.AddSample(nResume, 1'000'000 + 15'040'000, false);
    EXPECT_EQ(clock.GetAnchorCount(), 2);
    EXPECT_EQ(clock.LocalMicros(nResume), 16'040'000);
    clock.AddSample(nResume + kPcrStepTicks, 16'080'000, true);
    EXPECT_EQ(clock.GetAnchorCount(), 3);
}

} // namespace
