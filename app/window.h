// window.h: the main window, its event procedure and the main loop of the viewer.
#pragma once

#include <SDL.h>

#include <csignal>
#include <cstdint>

// Set by SIGINT or SIGTERM; the main loop ends before its next pass. Reset to 0 in tests.
inline volatile std::sig_atomic_t QuitSignal = 0;

// Sets up SDL's video and creates the main window, hidden, always on top and full-screen on
// the desktop (the screen mode is never changed); width x height only if it is ever windowed.
// Returns null on failure, with the reason in SDL_GetError().
SDL_Window* CreateMainWindow(const char* title, int32_t width, int32_t height);
void ShowMainWindow(SDL_Window* window);
// Destroys the window (if any) and shuts SDL down: the desktop is left as it was.
void DestroyMainWindow(SDL_Window* window);

// Makes SIGINT and SIGTERM (even when inherited as ignored) only set QuitSignal, and keeps SDL
// from installing handlers of its own. Call before SDL is set up.
void InstallQuitSignalHandlers();

// Handles one event; returns false when the program is to end: the window closed (by the
// window manager, Alt+F4 or the desktop session) or Escape pressed. An exposed window needs
// nothing: the next frame paints it whole.
inline bool MainWindowProc(const SDL_Event& event) {
    switch (event.type) {
        case SDL_QUIT:
            return false;
        case SDL_WINDOWEVENT:
            return event.window.event != SDL_WINDOWEVENT_CLOSE;
        case SDL_KEYDOWN:
            return event.key.keysym.sym != SDLK_ESCAPE;
        default:
            return true;
    }
}

using PollEventFunction = bool (*)(SDL_Event& event);  // takes one waiting event, if any
using DrawFrameFunction = void (*)();

enum class MainLoopPass { HandledEvent, DrewFrame, Quit };

// One pass of the main loop: a waiting event always goes first and is the pass's only work;
// only when none waits is one frame drawn.
inline MainLoopPass RunMainLoopPass(PollEventFunction pollEvent, DrawFrameFunction drawFrame) {
    SDL_Event event{};
    if (pollEvent(event)) {
        return MainWindowProc(event) ? MainLoopPass::HandledEvent : MainLoopPass::Quit;
    }
    drawFrame();
    return MainLoopPass::DrewFrame;
}

// Runs passes until an event ends the program, a quit signal arrives, or frameLimit frames are
// drawn (0: no limit). Returns the number of frames drawn.
inline int64_t RunMainLoop(PollEventFunction pollEvent, DrawFrameFunction drawFrame,
                           int64_t frameLimit) {
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
