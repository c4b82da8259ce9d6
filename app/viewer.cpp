// viewer.cpp: the viewer's life: window, display, scene, main loop, and an orderly end.
#include "app/viewer.h"

#include <SDL.h>

#include <cinttypes>
#include <cstdio>

#include "app/main_loop.h"
#include "app/window.h"
#include "data/startup.h"
#include "display/display.h"
#include "render/frame.h"

namespace {

bool ReportFirstFrame = false;  // the run in progress reports its first frame, not yet drawn

bool PollEvent(SDL_Event& event) {
    return SDL_PollEvent(&event) == 1;
}

void DrawViewerFrame() {
    RenderFrame();
    if (ReportFirstFrame) {
        ReportFirstFrame = false;
        std::fprintf(stderr, "galaxy-viewer: first frame drawn\n");
    }
}

// Starts the scene, watching the window meanwhile for a quit or a close that stops it.
SceneStatus StartWatchedScene(const ViewerRun& run) {
    SetStartupPoll(PollQuitDuringStartup);
    const SceneStatus status = run.StartScene(run.Scene);
    SetStartupPoll(nullptr);
    return status;
}

// From a set-up display to the end of the loop; returns the exit code.
int RunScene(SDL_Window* window, const ViewerRun& run) {
    const SceneStatus status = StartWatchedScene(run);
    if (status != SceneStatus::Ready) {
        return status == SceneStatus::Stopped ? 0 : 1;  // a failed scene has said why
    }
    std::fflush(stdout);  // what loading printed is complete before the first frame
    ShowMainWindow(window);
    ReportFirstFrame = run.ReportFrames;
    int64_t frames = RunMainLoop(PollEvent, DrawViewerFrame, run.FrameLimit);
    if (run.ReportFrames) {
        std::fprintf(stderr, "galaxy-viewer: %" PRId64 " frames drawn\n", frames);
    }
    return 0;
}

}  // namespace

int RunViewer(const ViewerRun& run) {
    int exitCode = 1;
    SDL_Window* window = CreateMainWindow("Simulace", ScreenWidth, ScreenHeight);
    if (window == nullptr) {
        std::fprintf(stderr, "galaxy-viewer: cannot open the window: %s\n", SDL_GetError());
    } else if (InitDisplay(window, ScreenWidth, ScreenHeight, ScreenBits) != DisplayOk) {
        // Anything but success counts as failure: the loop never draws into missing surfaces.
        std::fprintf(stderr, "galaxy-viewer: cannot set up the display: %s\n", DisplayErrorText());
    } else {
        exitCode = RunScene(window, run);
    }
    ShutdownDisplay();
    DestroyMainWindow(window);
    return exitCode;
}
