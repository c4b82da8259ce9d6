// frame_rate_test.cpp: the overlay's text, its runs of 51 frames and the measurement examples.
#include "render/frame_rate.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstring>
#include <vector>

#include "app/scene.h"
#include "display/memory_display.h"
#include "display/text.h"

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
        ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
        FakeNow = TimeStamp{};
        ClockReads = 0;
        SetFrameRateClock(FakeClock);
    }
    void TearDown() override {
        ShutdownDisplay();
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

// The pixels are exactly the text as a device context of its own draws it; a failed context
// costs the text only: the frame is counted and a due measurement is made all the same.
TEST_F(FrameRateTest, FirstTextIsZeroInBlueOnBlackAtTheTopLeftAndAFailedContextCountsTheFrame) {
    ASSERT_EQ(BackBuffer->Blt({0, 0, 800, 600}, {0x40404040}), DisplayOk);
    std::vector<uint8_t> expected(MemoryBackPixels(), MemoryBackPixels() + 600 * MemoryPitch());
    BufferDeviceContext reference;
    reference.Attach(expected.data(), MemoryPitch(), 800, 600);
    reference.SetTextColor(0x00FF0000);
    reference.SetBkColor(0);
    reference.TextOut(0, 0, "FPS: 0.0", 8);
    ASSERT_NE(std::memcmp(expected.data(), MemoryBackPixels(), expected.size()), 0) << "no font";
    DrawFrameRate();
    EXPECT_EQ(std::memcmp(expected.data(), MemoryBackPixels(), expected.size()), 0);
    ClearMemoryDisplayLog();
    FailNextGetDC();
    DrawFrameRate();
    EXPECT_EQ(FrameCounter, 2);
    EXPECT_EQ(MemoryDisplayLog().size(), 1u);  // the failed GetDC: no text, nothing released
    for (int frame = 3; frame < 51; ++frame) {
        DrawFrameRate();
    }
    FakeNow = TimeStamp{0, 500};
    FailNextGetDC();
    DrawFrameRate();
    EXPECT_DOUBLE_EQ(FrameRate, 102.0);
}

TEST_F(FrameRateTest, RestoredClockIsTheMonotonicClockInSecondsAndMilliseconds) {
    auto monotonicMilliseconds = [] {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    };
    SetFrameRateClock(nullptr);
    const int64_t before = monotonicMilliseconds();
    StartFrameRateClock();
    const int64_t after = monotonicMilliseconds();
    const int64_t read = int64_t{LastRateTime.Seconds} * 1000 + LastRateTime.Milliseconds;
    EXPECT_TRUE(before <= read && read <= after) << before << " <= " << read << " <= " << after;
    EXPECT_LT(LastRateTime.Milliseconds, 1000);
    EXPECT_EQ(ClockReads, 0);
}

}  // namespace
