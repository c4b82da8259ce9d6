// window.cpp: the main window's life and the quit signals.
#include "app/window.h"

#include <csignal>
#include <cstring>

#include "app/controls.h"
#include "data/startup.h"
#include "display/display.h"

volatile std::sig_atomic_t QuitSignal = 0;

namespace {

SDL_Window* MainWindow = nullptr;  // the one window, from its creation to its destruction

void RequestQuit(int signal) {
    QuitSignal = 1;
    RequestStop(signal);
}

// With no display in reach SDL falls back on drivers that show nothing. A viewer nobody can see
// is a failure, unless that driver was asked for by name (SDL_VIDEODRIVER, as tests do).
bool DriverShowsNothingUnasked() {
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver == nullptr) {
        return true;
    }
    bool invisible = std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0;
    const char* requested = SDL_GetHint(SDL_HINT_VIDEODRIVER);
    return invisible && (requested == nullptr || std::strstr(requested, driver) == nullptr);
}

}  // namespace

// An exposed window needs nothing: the next frame paints it whole.
bool MainWindowProc(const SDL_Event& event) {
    switch (event.type) {
        case SDL_QUIT:
            return false;
        case SDL_WINDOWEVENT:
            return event.window.event != SDL_WINDOWEVENT_CLOSE;
        case SDL_KEYDOWN:
            if (event.key.keysym.sym == SDLK_ESCAPE) {
                return false;
            }
            HandleControlEvent(event);
            return true;
        default:
            HandleControlEvent(event);
            return true;
    }
}

namespace {

// The desktop of the display a window is on (or the first), where a full-screen window goes.
SDL_Rect DesktopBounds(SDL_Window* window) {
    SDL_Rect bounds{0, 0, 0, 0};
    const int display = window != nullptr ? SDL_GetWindowDisplayIndex(window) : 0;
    if (SDL_GetDisplayBounds(display < 0 ? 0 : display, &bounds) != 0) {
        bounds = SDL_Rect{0, 0, 0, 0};
    }
    return bounds;
}

SDL_Window* MakeMainWindow(const char* title, int32_t width, int32_t height, bool windowed) {
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        return nullptr;
    }
    if (DriverShowsNothingUnasked()) {
        SDL_SetError("no display found (neither X11 nor Wayland answered)");
        return nullptr;
    }
    if (windowed) {
        return SDL_CreateWindow(title, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width,
                                height, SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
    }
    // Made as large as the desktop and placed on it: full screen is the window manager's to
    // grant, and on an X server without one the window would otherwise stay width x height.
    const SDL_Rect desktop = DesktopBounds(nullptr);
    const bool known = desktop.w > 0 && desktop.h > 0;
    return SDL_CreateWindow(
        title, known ? desktop.x : int{SDL_WINDOWPOS_CENTERED},
        known ? desktop.y : int{SDL_WINDOWPOS_CENTERED}, known ? desktop.w : width,
        known ? desktop.h : height,
        SDL_WINDOW_HIDDEN | SDL_WINDOW_ALWAYS_ON_TOP | SDL_WINDOW_FULLSCREEN_DESKTOP);
}

}  // namespace

SDL_Window* CreateMainWindow(const char* title, int32_t width, int32_t height, bool windowed) {
    MainWindow = MakeMainWindow(title, width, height, windowed);
    return MainWindow;
}

SDL_Window* CurrentMainWindow() {
    return MainWindow;
}

void SetMainWindowFullScreen(SDL_Window* window, bool full) {
    if (!full) {
        SDL_SetWindowFullscreen(window, 0);
        SDL_SetWindowResizable(window, SDL_TRUE);
        SDL_SetWindowSize(window, ScreenWidth, ScreenHeight);
        SDL_SetWindowPosition(window, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED);
        return;
    }
    // As at creation: cover the desktop first, in case no window manager makes it full screen.
    const SDL_Rect desktop = DesktopBounds(window);
    if (desktop.w > 0 && desktop.h > 0) {
        SDL_SetWindowPosition(window, desktop.x, desktop.y);
        SDL_SetWindowSize(window, desktop.w, desktop.h);
    }
    SDL_SetWindowFullscreen(window, SDL_WINDOW_FULLSCREEN_DESKTOP);
}

void ShowMainWindow(SDL_Window* window) {
    SDL_ShowWindow(window);
    SDL_RaiseWindow(window);
}

void DestroyMainWindow(SDL_Window* window) {
    MainWindow = nullptr;
    if (window != nullptr) {
        SDL_DestroyWindow(window);
    }
    SDL_Quit();
}

// Takes every waiting event of one type; true if one of them ends the program.
bool TakeEndingEvents(Uint32 type) {
    SDL_Event events[16];
    bool ending = false;
    int taken = 0;
    while ((taken = SDL_PeepEvents(events, 16, SDL_GETEVENT, type, type)) > 0) {
        for (int k = 0; k < taken; ++k) {
            ending = ending || !MainWindowProc(events[k]);
        }
    }
    return ending;
}

// Window events other than a close mean nothing to a window not yet shown; keys wait for the
// main loop.
void PollQuitDuringStartup() {
    SDL_PumpEvents();
    const bool quit = TakeEndingEvents(SDL_QUIT);
    if (TakeEndingEvents(SDL_WINDOWEVENT) || quit) {
        RequestStop(0);
    }
}

void InstallQuitSignalHandlers() {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    struct sigaction action {};
    action.sa_handler = RequestQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // libraries underneath need not see interrupted calls
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
