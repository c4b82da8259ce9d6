// viewer.h: the viewer's life from window to exit code, apart from main so tests can run it.
#pragma once

#include <cstdint>

#include "app/scene.h"

using InitSceneFunction = SceneStatus (*)(const SceneOptions& options);

struct ViewerRun {
    InitSceneFunction StartScene = nullptr;  // StartScene in the program
    SceneOptions Scene;                      // galaxy.dat at the default capacity unless chosen
    int64_t FrameLimit = 0;                  // frames after which the run ends normally; 0: never
    bool ReportFrames = false;  // standard error says when the first frame is drawn, and how many
    const char* RecordPath = nullptr;  // flight file to record each frame's camera in, or null
    bool Windowed = false;             // a resizable window rather than the whole screen
    void (*AfterFrame)(int64_t framesDrawn) = nullptr;  // tests: called after each frame's flip
};

// Opens the window and the display, starts the scene and runs the main loop. A quit signal or
// the window closed during start-up stops it there. However it ends, the display and SDL are
// then shut down; the screen mode was never changed, so the desktop is as it was. Returns the
// exit code: 0 when the run ends normally (window closed, Escape, quit signal, frame limit, also
// during start-up), 1 after one line on standard error when the flight file cannot be made (before
// any window), the window, the display or the scene cannot be set up, or the flight could not be
// written whole. A recorded flight holds the camera each drawn frame was projected with.
int RunViewer(const ViewerRun& run);
