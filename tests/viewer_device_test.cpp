// viewer_device_test.cpp: the SDL display under the dummy video driver (software renderer): its
// fill covers exactly its rectangle; a renderer reset rebuilds the frame texture and frames go on;
// flips are held to the refresh only when presenting does not wait.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "display/display.h"
#include "display/sdl_display.h"

namespace {

class SdlDisplay : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        Window = SDL_CreateWindow("test", 0, 0, 800, 600, SDL_WINDOW_HIDDEN);
        ASSERT_NE(Window, nullptr) << SDL_GetError();
        ASSERT_EQ(InitDisplay(Window, 800, 600, 32), DisplayOk) << DisplayErrorText();
    }
    void TearDown() override {
        ShutdownDisplay();
        EXPECT_EQ(DisplayObject, nullptr);
        SDL_DestroyWindow(Window);
        SDL_Quit();
    }
    SDL_Window* Window = nullptr;
};

// The first pixel of the back buffer, read through its lock, that is not inside within area and
// outside elsewhere, as "column, row"; empty when every pixel is right.
std::string FirstWrongPixel(const Rect& area, uint32_t inside, uint32_t outside) {
    LockDescription lock{};
    EXPECT_EQ(BackBuffer->Lock(lock), DisplayOk);
    std::string wrong;
    for (int32_t row = 0; row < 600 && wrong.empty(); ++row) {
        for (int32_t column = 0; column < 800 && wrong.empty(); ++column) {
            uint32_t pixel = 0;
            std::memcpy(&pixel, lock.Surface + row * lock.Pitch + column * 4, 4);
            const bool in =
                column >= area.left && column < area.right && row >= area.top && row < area.bottom;
            if (pixel != (in ? inside : outside)) {
                wrong = std::to_string(column) + ", " + std::to_string(row);
            }
        }
    }
    EXPECT_EQ(BackBuffer->Unlock(), DisplayOk);
    return wrong;
}

// Every pixel is checked, so every edge and corner of the rectangle and of the frame is.
TEST_F(SdlDisplay, ColourFillCoversItsRectangleAndNothingElse) {
    ASSERT_EQ(BackBuffer->Blt({0, 0, 800, 600}, {0x102030}), DisplayOk);
    EXPECT_EQ(FirstWrongPixel({0, 0, 800, 600}, 0x102030, 0), "");
    ASSERT_EQ(BackBuffer->Blt({10, 20, 30, 40}, {0x405060}), DisplayOk);
    EXPECT_EQ(FirstWrongPixel({10, 20, 30, 40}, 0x405060, 0x102030), "");
}

// Each frame fills the back buffer with a new colour and flips; the window (the software
// renderer draws into it) must show that colour at the frame's centre.
TEST_F(SdlDisplay, ARendererResetRebuildsTheTextureOnceAndFramesGoOn) {
    Uint32 colour = 0x102030;
    int32_t builds = 1;  // the texture made at set-up
    for (Uint32 reset : {0u, Uint32{SDL_RENDER_TARGETS_RESET}, Uint32{SDL_RENDER_DEVICE_RESET}}) {
        if (reset != 0) {
            SDL_Event event{};
            event.type = reset;
            ASSERT_EQ(SDL_PushEvent(&event), 1);
            SDL_PumpEvents();
            ++builds;
        }
        for (int frame = 0; frame < 2; ++frame, colour += 0x010101) {
            ASSERT_EQ(BackBuffer->Blt({0, 0, 800, 600}, {colour}), DisplayOk);
            EXPECT_EQ(PrimarySurface->Flip(), DisplayOk) << reset;
            SDL_Surface* shown = SDL_GetWindowSurface(Window);
            const auto* row = static_cast<uint8_t*>(shown->pixels) + shown->pitch * (shown->h / 2);
            EXPECT_EQ(reinterpret_cast<const Uint32*>(row)[shown->w / 2] & 0xFFFFFF, colour)
                << reset;
        }
        EXPECT_EQ(FrameTextureBuilds(), builds) << reset;
    }
}

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

// Presents that wait for the refresh are never paced: probing goes on for as long as they wait,
// and a later fast run (say, the window hidden) still turns pacing on. Faster ones are held to
// the refresh by deadlines, not delays: no drift, and a slow frame moves the schedule on instead
// of leaving a burst of quick frames behind it.
TEST(FlipPacing, OnlyPresentsFasterThanTheRefreshArePacedWithoutDriftOrBurst) {
    for (int64_t step : {Refresh, Refresh * 992 / 1000, Refresh * 2}) {
        PacedClock clock;
        EXPECT_EQ(clock.Flips(3, 0), 0);  // a few queued frames before presents block
        EXPECT_EQ(clock.Flips(PresentWarmUpFlips - 3 + 16 * (PresentProbeFlips + 1), step), 0)
            << step;
        EXPECT_FALSE(clock.Pacer.Pacing);
        EXPECT_EQ(clock.Flips(PresentProbeFlips + 1, 0), 1) << step;
        EXPECT_TRUE(clock.Pacer.Pacing);
    }
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
