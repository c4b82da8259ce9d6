// viewer.cpp: the viewer's life: window, display, scene, main loop, and an orderly end.
#include "app/viewer.h"

#include <SDL.h>

#include <cinttypes>
#include <cstdio>

#include "app/controls.h"
#include "app/main_loop.h"
#include "app/window.h"
#include "data/startup.h"
#include "display/display.h"
#include "render/frame.h"
#include "view/camera.h"
#include "view/flight.h"

namespace {

bool ReportFirstFrame = false;  // the run in progress reports its first frame, not yet drawn
FlightWriter Recorder;          // the flight being recorded, if the run records one
bool Recording = false;
void (*AfterFrame)(int64_t framesDrawn) = nullptr;  // the run's test hook, if any

bool PollEvent(SDL_Event& event) {
    return SDL_PollEvent(&event) == 1;
}

// The camera is recorded as the frame starts: the cache projects with it, and only then does
// the frame step the camera on to the next one's.
void DrawViewerFrame() {
    if (Recording) {
        Recorder.Append(Camera);
    }
    RenderFrame();
    ++ViewerFramesDrawn;
    if (AfterFrame != nullptr) {
        AfterFrame(ViewerFramesDrawn);
    }
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
    ResetControls();
    AfterFrame = run.AfterFrame;
    int64_t frames = RunMainLoop(PollEvent, DrawViewerFrame, run.FrameLimit);
    if (run.ReportFrames) {
        std::fprintf(stderr, "galaxy-viewer: %" PRId64 " frames drawn\n", frames);
    }
    return 0;
}

// Window, display, scene and loop; returns the exit code.
int RunViewerWindow(const ViewerRun& run) {
    int exitCode = 1;
    SDL_Window* window = CreateMainWindow("Simulace", ScreenWidth, ScreenHeight, run.Windowed);
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

// Ends the recording, if any; false after saying why the flight is not whole.
bool FinishRecording() {
    if (!Recording) {
        return true;
    }
    Recording = false;
    if (!Recorder.Close()) {
        std::fprintf(stderr, "galaxy-viewer: %s\n", Recorder.Error().c_str());
        return false;
    }
    return true;
}

}  // namespace

int RunViewer(const ViewerRun& run) {
    if (run.RecordPath != nullptr) {
        if (!Recorder.Open(run.RecordPath)) {
            std::fprintf(stderr, "galaxy-viewer: %s\n", Recorder.Error().c_str());
            return 1;
        }
        Recording = true;
    }
    const int exitCode = RunViewerWindow(run);
    return FinishRecording() ? exitCode : 1;
}
