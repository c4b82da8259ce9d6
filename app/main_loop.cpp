// main_loop.cpp: the viewer's main loop: one waiting event or one frame per pass.
#include "app/main_loop.h"

#include "app/window.h"

namespace {

enum class MainLoopPass { HandledEvent, DrewFrame, Quit };

// A waiting event is the pass's only work; a frame is drawn only when none waits.
MainLoopPass RunMainLoopPass(PollEventFunction pollEvent, DrawFrameFunction drawFrame) {
    SDL_Event event{};
    if (pollEvent(event)) {
        return MainWindowProc(event) ? MainLoopPass::HandledEvent : MainLoopPass::Quit;
    }
    drawFrame();
    return MainLoopPass::DrewFrame;
}

}  // namespace

int64_t RunMainLoop(PollEventFunction pollEvent, DrawFrameFunction drawFrame, int64_t frameLimit) {
    int64_t frames = 0;
    while (QuitSignal == 0 && (frameLimit == 0 || frames < frameLimit)) {
        MainLoopPass pass = RunMainLoopPass(pollEvent, drawFrame);
        if (pass == MainLoopPass::Quit) {
            break;
        }
        if (pass == MainLoopPass::DrewFrame) {
            ++frames;
        }
    }
    return frames;
}
