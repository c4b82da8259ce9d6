// frame_rate_test.cpp: the overlay's text, its runs of 51 frames and the measurement examples.
#include "render/frame_rate.h"

#include <gtest/gtest.h>

#include "app/scene.h"
#include "display/memory_display.h"

namespace {

TimeStamp FakeNow{};  // what the injected clock reads
int32_t ClockReads = 0;

TimeStamp FakeClock() {
    ++ClockReads;
    return FakeNow;
}

class FrameRateTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetScene();
        SetMemoryDisplayFont(false);
        ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
        FakeNow = TimeStamp{};
        ClockReads = 0;
        SetFrameRateClock(FakeClock);
    }
    void TearDown() override {
        ShutdownDisplay();
        SetMemoryDisplayFont(true);
        ResetScene();
    }

    // Starts a run at start, keeping the rate, and draws its 51 frames, the last one at end.
    static void RunFrom(TimeStamp start, TimeStamp end) {
        FakeNow = start;
        StartFrameRateClock();
        FrameCounter = 0;
        for (int frame = 1; frame < 51; ++frame) {
            DrawFrameRate();
        }
        FakeNow = end;
        DrawFrameRate();
    }
};

TEST_F(FrameRateTest, RunAcrossASecondBoundaryIsMeasuredAndTheNextStartsAtItsEnd) {
    RunFrom(TimeStamp{100, 900}, TimeStamp{101, 400});  // signed milliseconds
    EXPECT_DOUBLE_EQ(FrameRate, 102.0);
    EXPECT_STREQ(FrameRateText, "FPS: 0.0");  // the measuring frame shows the old rate
    EXPECT_EQ(FrameCounter, 0);
    EXPECT_EQ(ClockReads, 3);  // start, end of run, start of the next run
    DrawFrameRate();
    EXPECT_STREQ(FrameRateText, "FPS: 102.0");
    FakeNow = TimeStamp{102, 250};
    for (int frame = 1; frame < 51; ++frame) {
        DrawFrameRate();
    }
    EXPECT_DOUBLE_EQ(FrameRate, 60.0);  // measured from 101.400, where the second run began
}

TEST_F(FrameRateTest, RunsOf850And851MillisecondsShow60AndOneDecimalAndZeroTimeKeepsTheRate) {
    RunFrom(TimeStamp{0, 0}, TimeStamp{0, 850});
    DrawFrameRate();
    EXPECT_STREQ(FrameRateText, "FPS: 60.0");
    RunFrom(TimeStamp{2, 0}, TimeStamp{2, 0});
    EXPECT_DOUBLE_EQ(FrameRate, 60.0);
    EXPECT_EQ(FrameCounter, 0);
    RunFrom(TimeStamp{7, 0}, TimeStamp{7, 851});  // 59.93
    DrawFrameRate();
    EXPECT_STREQ(FrameRateText, "FPS: 59.9");
}

TEST_F(FrameRateTest, FirstTextIsZeroInBlueOnBlackAndAFailedContextStillCountsTheFrame) {
    StartFrameRateClock();
    ResetFrameRateCounters();
    DrawFrameRate();
    EXPECT_STREQ(FrameRateText, "FPS: 0.0");
    EXPECT_STREQ(MemoryLastText(), "FPS: 0.0");
    EXPECT_EQ(MemoryLastTextColour(), 0x00FF0000u);
    EXPECT_EQ(MemoryLastBackgroundColour(), 0u);
    EXPECT_EQ(MemoryDisplayCounts().ReleaseDC, 1);
    FailNextGetDC();
    DrawFrameRate();
    EXPECT_EQ(FrameCounter, 2);
    EXPECT_EQ(MemoryDisplayCounts().GetDC, 2);
    EXPECT_EQ(MemoryDisplayCounts().TextOut, 1);
    EXPECT_EQ(MemoryDisplayCounts().ReleaseDC, 1);
    for (int frame = 3; frame < 51; ++frame) {
        DrawFrameRate();
    }
    FakeNow = TimeStamp{0, 500};
    FailNextGetDC();
    DrawFrameRate();  // a due measurement happens all the same
    EXPECT_DOUBLE_EQ(FrameRate, 102.0);
}

TEST_F(FrameRateTest, SystemClockIsMonotonicAndSplitIntoMilliseconds) {
    SetFrameRateClock(nullptr);
    const TimeStamp first = ReadFrameRateClock();
    const TimeStamp second = ReadFrameRateClock();
    EXPECT_LT(first.Milliseconds, 1000);
    EXPECT_GE(int64_t{second.Seconds} * 1000 + second.Milliseconds,
              int64_t{first.Seconds} * 1000 + first.Milliseconds);
}

}  // namespace
