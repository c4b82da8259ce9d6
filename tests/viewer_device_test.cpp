// viewer_device_test.cpp: the SDL display under the dummy video driver (software renderer): a
// reset of the renderer's targets or device rebuilds the frame texture and frames go on.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "display/display.h"
#include "display/sdl_display.h"

namespace {

// The colour the window shows at the frame's centre (the software renderer draws into it).
Uint32 ShownCentre(SDL_Window* window) {
    SDL_Surface* shown = SDL_GetWindowSurface(window);
    auto* row = static_cast<uint8_t*>(shown->pixels) + shown->pitch * (shown->h / 2);
    return reinterpret_cast<Uint32*>(row)[shown->w / 2] & 0xFFFFFF;
}

// Fills the back buffer with colour and flips it.
HResult FlipFilled(Uint32 colour) {
    EXPECT_EQ(BackBuffer->Blt({0, 0, 800, 600}, {colour}), DisplayOk);
    return PrimarySurface->Flip();
}

TEST(SdlDisplay, ARendererResetRebuildsTheTextureAndFramesGoOn) {
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    SDL_Window* window = SDL_CreateWindow("test", 0, 0, 800, 600, SDL_WINDOW_HIDDEN);
    ASSERT_NE(window, nullptr) << SDL_GetError();
    ASSERT_EQ(InitDisplay(window, 800, 600, 32), DisplayOk) << DisplayErrorText();
    EXPECT_EQ(FrameTextureBuilds(), 1);
    EXPECT_EQ(FlipFilled(0x102030), DisplayOk);
    EXPECT_EQ(ShownCentre(window), 0x102030u);

    Uint32 colour = 0x405060;
    for (Uint32 reset : {SDL_RENDER_TARGETS_RESET, SDL_RENDER_DEVICE_RESET}) {
        SDL_Event event{};
        event.type = reset;
        ASSERT_EQ(SDL_PushEvent(&event), 1);
        SDL_PumpEvents();
        for (int frame = 0; frame < 2; ++frame, colour += 0x010101) {
            EXPECT_EQ(FlipFilled(colour), DisplayOk) << reset;
            EXPECT_EQ(ShownCentre(window), colour) << reset;
        }
        EXPECT_EQ(FrameTextureBuilds(), reset == SDL_RENDER_TARGETS_RESET ? 2 : 3);  // once each
    }
    ShutdownDisplay();
    EXPECT_EQ(DisplayObject, nullptr);
    SDL_DestroyWindow(window);
    SDL_Quit();
}

}  // namespace
