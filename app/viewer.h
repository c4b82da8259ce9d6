// viewer.h: the viewer's life from window to exit code, apart from main so tests can run it.
#pragma once

#include <cstdint>

using InitSceneFunction = bool (*)(const char* galaxyFile);

struct ViewerRun {
    InitSceneFunction StartScene = nullptr;  // InitScene in the program
    int64_t FrameLimit = 0;                  // frames after which the run ends normally; 0: never
    bool ReportFrames = false;  // standard error says when the first frame is drawn, and how many
};

// Opens the window and the display, starts the scene from galaxy.dat and runs the main loop.
// However it ends, the display and SDL are then shut down; the screen mode was never changed,
// so the desktop is as it was. Returns the exit code: 0 when the run ends normally (window
// closed, Escape, quit signal, frame limit), 1 after one line on standard error when the
// window, the display or the scene cannot be set up.
int RunViewer(const ViewerRun& run);
