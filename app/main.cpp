// main.cpp: the viewer's entry: window, display, scene, main loop, and an orderly end.
#include <SDL.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/scene.h"
#include "app/window.h"
#include "display/display.h"
#include "render/frame.h"

namespace {

constexpr int32_t ScreenWidth = 800;
constexpr int32_t ScreenHeight = 600;
constexpr int32_t ScreenBits = 32;

// Test hook, off unless GALAXY_VIEWER_FRAMES is set: the run ends normally after that many
// frames (0: never), and standard error gets one line after the first frame and the count
// of frames drawn at the end.
struct FrameReport {
    bool Enabled = false;
    int64_t Limit = 0;
    int64_t FramesDrawn = 0;
};

FrameReport Report;  // the test hook's settings and count

bool ReadFrameReport(FrameReport& report) {
    const char* value = std::getenv("GALAXY_VIEWER_FRAMES");
    if (value == nullptr) {
        return true;
    }
    char* end = nullptr;
    errno = 0;
    long long limit = std::strtoll(value, &end, 10);
    if (end == value || *end != '\0' || errno != 0 || limit < 0) {
        std::fprintf(stderr, "galaxy-viewer: GALAXY_VIEWER_FRAMES must be a count, not '%s'\n",
                     value);
        return false;
    }
    report.Enabled = true;
    report.Limit = limit;
    return true;
}

bool PollEvent(SDL_Event& event) {
    return SDL_PollEvent(&event) == 1;
}

void DrawFrame() {
    RenderFrame();
    if (++Report.FramesDrawn == 1 && Report.Enabled) {
        std::fprintf(stderr, "galaxy-viewer: first frame drawn\n");
    }
}

// From a shown window to the end of the loop; returns the exit code.
int RunScene(SDL_Window* window) {
    if (!InitScene("galaxy.dat")) {
        return 1;  // InitScene has said why
    }
    std::fflush(stdout);  // what loading printed is complete before the first frame
    ShowMainWindow(window);
    RunMainLoop(PollEvent, DrawFrame, Report.Limit);
    if (Report.Enabled) {
        std::fprintf(stderr, "galaxy-viewer: %" PRId64 " frames drawn\n", Report.FramesDrawn);
    }
    return 0;
}

}  // namespace

int main() {
    if (!ReadFrameReport(Report)) {
        return 2;
    }
    InstallQuitSignalHandlers();
    int exitCode = 1;
    SDL_Window* window = CreateMainWindow("Simulace", ScreenWidth, ScreenHeight);
    if (window == nullptr) {
        std::fprintf(stderr, "galaxy-viewer: cannot open the window: %s\n", SDL_GetError());
    } else if (InitDisplay(window, ScreenWidth, ScreenHeight, ScreenBits) != DisplayOk) {
        // Anything but success counts as failure: the loop never draws into missing surfaces.
        std::fprintf(stderr, "galaxy-viewer: cannot set up the display: %s\n", DisplayErrorText());
    } else {
        exitCode = RunScene(window);
    }
    ShutdownDisplay();
    DestroyMainWindow(window);
    return exitCode;
}
