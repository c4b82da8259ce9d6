// viewer_pacing_test.cpp: flips are held to the refresh only when presenting does not wait.
#include <gtest/gtest.h>

#include "display/sdl_display.h"

namespace {

constexpr int64_t Refresh = 16666666;                                 // 60 Hz in nanoseconds
constexpr int32_t ProbeEnd = PresentWarmUpFlips + PresentProbeFlips;  // flips before a verdict

struct PacedClock {
    FlipPacer Pacer{Refresh};
    int64_t Now = 5000000000;  // an arbitrary start

    // Flips step apart, every requested sleep honoured; returns the sleeps asked for.
    int Flips(int count, int64_t step) {
        int sleeps = 0;
        for (int flip = 0; flip < count; ++flip) {
            Now += step;
            int64_t deadline = NextFlipDeadline(Pacer, Now);
            if (deadline != 0) {
                EXPECT_GT(deadline, Now);
                Now = deadline;
                ++sleeps;
            }
        }
        return sleeps;
    }
};

// Probing goes on for as long as presents keep waiting, and a later fast run (say, the window
// hidden) still turns pacing on.
TEST(FlipPacing, PresentsThatWaitForTheRefreshAreNeverPaced) {
    for (int64_t step : {Refresh, Refresh * 992 / 1000, Refresh * 2}) {
        PacedClock clock;
        EXPECT_EQ(clock.Flips(3, 0), 0);  // a few queued frames before presents block
        EXPECT_EQ(clock.Flips(PresentWarmUpFlips - 3 + 16 * (PresentProbeFlips + 1), step), 0)
            << step;
        EXPECT_FALSE(clock.Pacer.Pacing);
        EXPECT_EQ(clock.Flips(PresentProbeFlips + 1, 0), 1) << step;
        EXPECT_TRUE(clock.Pacer.Pacing);
    }
}

// Deadlines, not delays: paced flips keep to the refresh without drift, and a slow frame moves
// the schedule on instead of leaving a burst of quick frames behind it.
TEST(FlipPacing, FasterPresentsAreHeldToTheRefreshWithoutDriftOrBurst) {
    for (int64_t step : {int64_t{1000000}, Refresh * 96 / 100}) {  // 1000 and 62.5 frames a second
        PacedClock clock;
        EXPECT_EQ(clock.Flips(ProbeEnd, step), 0) << step;
        int64_t verdictAt = clock.Now + step;
        EXPECT_EQ(clock.Flips(1, step), 1) << step;  // the verdict: pace from here on
        EXPECT_EQ(clock.Now, verdictAt + Refresh) << step;
        int64_t pacedStart = clock.Now;
        EXPECT_EQ(clock.Flips(600, step), 600) << step;
        EXPECT_EQ(clock.Now - pacedStart, 600 * Refresh) << step;
        clock.Now += 10 * Refresh;  // one frame took ten refreshes
        EXPECT_EQ(NextFlipDeadline(clock.Pacer, clock.Now), 0);
        EXPECT_EQ(NextFlipDeadline(clock.Pacer, clock.Now + 1), clock.Now + Refresh);
    }
}

}  // namespace
