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

TEST_F(FrameRateTest, FirstTextIsZeroInBlueOnBlackAtTheCorner) {
    StartFrameRateClock();
    ResetFrameRateCounters();
    DrawFrameRate();
    EXPECT_STREQ(FrameRateText, "FPS: 0.0");
    EXPECT_STREQ(MemoryLastText(), "FPS: 0.0");
    EXPECT_EQ(MemoryLastTextColour(), 0x00FF0000u);
    EXPECT_EQ(MemoryLastBackgroundColour(), 0u);
    EXPECT_EQ(MemoryDisplayCounts().ReleaseDC, 1);
    EXPECT_EQ(FrameCounter, 1);
}

TEST_F(FrameRateTest, RunAcrossASecondBoundaryIsMeasuredWithSignedMilliseconds) {
    RunFrom(TimeStamp{100, 900}, TimeStamp{101, 400});
    EXPECT_DOUBLE_EQ(FrameRate, 102.0);
    EXPECT_STREQ(FrameRateText, "FPS: 0.0");  // the measuring frame shows the old rate
    EXPECT_EQ(FrameCounter, 0);
    DrawFrameRate();
    EXPECT_STREQ(FrameRateText, "FPS: 102.0");
}

TEST_F(FrameRateTest, RunOf850MillisecondsIs60FramesPerSecond) {
    RunFrom(TimeStamp{0, 0}, TimeStamp{0, 850});
    DrawFrameRate();
    EXPECT_STREQ(FrameRateText, "FPS: 60.0");
    RunFrom(TimeStamp{7, 0}, TimeStamp{7, 851});  // 59.93 shows one decimal
    DrawFrameRate();
    EXPECT_STREQ(FrameRateText, "FPS: 59.9");
}

TEST_F(FrameRateTest, NewRunStartsAtASecondClockReading) {
    RunFrom(TimeStamp{5, 0}, TimeStamp{5, 500});
    EXPECT_EQ(ClockReads, 3);  // start, end of run, start of the next run
    FakeNow = TimeStamp{6, 0};
    for (int frame = 0; frame < 51; ++frame) {
        DrawFrameRate();
    }
    EXPECT_DOUBLE_EQ(FrameRate, 102.0);  // measured from 5.500, where the second run began
}

TEST_F(FrameRateTest, RunMeasuredAsZeroTimeKeepsThePreviousRate) {
    RunFrom(TimeStamp{1, 0}, TimeStamp{1, 850});
    RunFrom(TimeStamp{2, 0}, TimeStamp{2, 0});
    EXPECT_DOUBLE_EQ(FrameRate, 60.0);
    EXPECT_EQ(FrameCounter, 0);
}

TEST_F(FrameRateTest, FailedDeviceContextSkipsTheTextButCountsTheFrame) {
    StartFrameRateClock();
    ResetFrameRateCounters();
    FailNextGetDC();
    DrawFrameRate();
    EXPECT_EQ(FrameCounter, 1);
    EXPECT_EQ(MemoryDisplayCounts().GetDC, 1);
    EXPECT_EQ(MemoryDisplayCounts().TextOut, 0);
    EXPECT_EQ(MemoryDisplayCounts().ReleaseDC, 0);
    for (int frame = 2; frame < 51; ++frame) {
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
