// window.h: the main window, its event procedure and the quit signals.
#pragma once

#include <SDL.h>

#include <csignal>
#include <cstdint>

// Set by SIGINT or SIGTERM, which also stop the start-up (data/startup.h); the main loop ends
// before its next pass. Reset to 0 in tests.
extern volatile std::sig_atomic_t QuitSignal;

// Sets up SDL's video and creates the main window, hidden, always on top and full-screen on
// the desktop (the screen mode is never changed), or, windowed, a resizable width x height
// window. Returns null on failure, with the reason in SDL_GetError().
SDL_Window* CreateMainWindow(const char* title, int32_t width, int32_t height, bool windowed);
void ShowMainWindow(SDL_Window* window);
// The window CreateMainWindow made, until DestroyMainWindow; null otherwise.
SDL_Window* CurrentMainWindow();
// Full screen on the window's desktop, or back to a resizable 800 x 600 window in its middle.
void SetMainWindowFullScreen(SDL_Window* window, bool full);
// Destroys the window (if any) and shuts SDL down: the desktop is left as it was.
void DestroyMainWindow(SDL_Window* window);

// Makes SIGINT and SIGTERM (even when inherited as ignored) only set QuitSignal and request a
// stop, and keeps SDL from installing handlers of its own. Call before SDL is set up.
void InstallQuitSignalHandlers();

// The start-up's poll (data/startup.h): takes the waiting quit and window events, and requests
// a stop if one of them ends the program as MainWindowProc would.
void PollQuitDuringStartup();

// Handles one event; returns false when the program is to end: the window closed (by the
// window manager, Alt+F4 or the desktop session) or Escape pressed. Other keys and the mouse
// go to the viewer's controls (app/controls.h).
bool MainWindowProc(const SDL_Event& event);
