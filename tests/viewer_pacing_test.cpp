// viewer_pacing_test.cpp: flips are held to the refresh only when presenting does not wait.
#include <gtest/gtest.h>

#include "display/sdl_display.h"

namespace {

constexpr int64_t Refresh = 16666666;  // 60 Hz in nanoseconds
constexpr int64_t Start = 5000000000;  // an arbitrary clock reading

FlipPacer FreshPacer() {
    FlipPacer pacer;
    pacer.Interval = Refresh;
    return pacer;
}

// Flips step apart on a clock that honours every requested sleep; returns the sleeps asked for.
int CountSleeps(FlipPacer& pacer, int flips, int64_t step, int64_t& now) {
    int sleeps = 0;
    for (int flip = 0; flip < flips; ++flip) {
        now += step;
        int64_t deadline = NextFlipDeadline(pacer, now);
        if (deadline != 0) {
            EXPECT_GT(deadline, now);
            now = deadline;
            ++sleeps;
        }
    }
    return sleeps;
}

TEST(FlipPacing, PresentsThatWaitForTheRefreshAreNeverPaced) {
    for (int64_t step : {Refresh, Refresh * 992 / 1000, Refresh * 2}) {
        FlipPacer pacer = FreshPacer();
        int64_t now = Start;
        EXPECT_EQ(CountSleeps(pacer, 1000, step, now), 0) << step;
        EXPECT_FALSE(pacer.Pacing);
    }
}

TEST(FlipPacing, AFewQueuedFramesBeforeBlockingAreNoReasonToPace) {
    FlipPacer pacer = FreshPacer();
    int64_t now = Start;
    EXPECT_EQ(CountSleeps(pacer, 3, 0, now), 0);
    EXPECT_EQ(CountSleeps(pacer, 500, Refresh, now), 0);
    EXPECT_FALSE(pacer.Pacing);
}

TEST(FlipPacing, PresentsJustAboveTheRefreshArePacedToo) {
    FlipPacer pacer = FreshPacer();
    int64_t now = Start;
    int64_t step = Refresh * 96 / 100;  // about 62.5 frames a second
    EXPECT_EQ(CountSleeps(pacer, PresentWarmUpFlips + PresentProbeFlips + 1, step, now), 1);
    EXPECT_TRUE(pacer.Pacing);
    int64_t pacedStart = now;
    EXPECT_EQ(CountSleeps(pacer, 100, step, now), 100);
    EXPECT_EQ(now - pacedStart, 100 * Refresh);
}

TEST(FlipPacing, FastPresentsAreHeldToTheRefreshAfterTheProbe) {
    FlipPacer pacer = FreshPacer();
    int64_t now = Start;
    EXPECT_EQ(CountSleeps(pacer, PresentWarmUpFlips + PresentProbeFlips, 1000000, now), 0);
    EXPECT_FALSE(pacer.Pacing);

    now += 1000000;
    EXPECT_EQ(NextFlipDeadline(pacer, now), now + Refresh);
    EXPECT_TRUE(pacer.Pacing);
    now += Refresh;
    int64_t pacedStart = now;
    EXPECT_EQ(CountSleeps(pacer, 600, 1000000, now), 600);
    EXPECT_EQ(now - pacedStart, 600 * Refresh);  // no drift: deadlines, not delays
}

TEST(FlipPacing, ASlowFrameMovesTheScheduleOnWithoutABurst) {
    FlipPacer pacer = FreshPacer();
    int64_t now = Start;
    CountSleeps(pacer, PresentWarmUpFlips + PresentProbeFlips + 1, 0, now);
    ASSERT_TRUE(pacer.Pacing);

    now += 10 * Refresh;  // one frame took ten refreshes
    EXPECT_EQ(NextFlipDeadline(pacer, now), 0);
    EXPECT_EQ(NextFlipDeadline(pacer, now + 1), now + Refresh);
}

TEST(FlipPacing, ProbingStartsAgainWhilePresentsKeepWaiting) {
    FlipPacer pacer = FreshPacer();
    int64_t now = Start;
    EXPECT_EQ(CountSleeps(pacer, PresentWarmUpFlips + 3 * (PresentProbeFlips + 1), Refresh, now),
              0);
    EXPECT_EQ(CountSleeps(pacer, PresentProbeFlips + 1, 0, now), 1);  // e.g. window hidden
    EXPECT_TRUE(pacer.Pacing);
}

}  // namespace
