// viewer_device_test.cpp: the SDL display under the dummy video driver (software renderer): its
// fill covers exactly its rectangle; a reset of the renderer's targets or device rebuilds the
// frame texture and frames go on.
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

    // The colour the window shows at the frame's centre (the software renderer draws into it).
    Uint32 ShownCentre() const {
        SDL_Surface* shown = SDL_GetWindowSurface(Window);
        auto* row = static_cast<uint8_t*>(shown->pixels) + shown->pitch * (shown->h / 2);
        return reinterpret_cast<Uint32*>(row)[shown->w / 2] & 0xFFFFFF;
    }

    SDL_Window* Window = nullptr;
};

// Fills the back buffer with colour and flips it.
HResult FlipFilled(Uint32 colour) {
    EXPECT_EQ(BackBuffer->Blt({0, 0, 800, 600}, {colour}), DisplayOk);
    return PrimarySurface->Flip();
}

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

TEST_F(SdlDisplay, ARendererResetRebuildsTheTextureAndFramesGoOn) {
    EXPECT_EQ(FrameTextureBuilds(), 1);
    EXPECT_EQ(FlipFilled(0x102030), DisplayOk);
    EXPECT_EQ(ShownCentre(), 0x102030u);
    Uint32 colour = 0x405060;
    for (Uint32 reset : {SDL_RENDER_TARGETS_RESET, SDL_RENDER_DEVICE_RESET}) {
        SDL_Event event{};
        event.type = reset;
        ASSERT_EQ(SDL_PushEvent(&event), 1);
        SDL_PumpEvents();
        for (int frame = 0; frame < 2; ++frame, colour += 0x010101) {
            EXPECT_EQ(FlipFilled(colour), DisplayOk) << reset;
            EXPECT_EQ(ShownCentre(), colour) << reset;
        }
        EXPECT_EQ(FrameTextureBuilds(), reset == SDL_RENDER_TARGETS_RESET ? 2 : 3);  // once each
    }
}

}  // namespace
