// controls.cpp: what each key and the mouse do to the camera, the picture and the window.
#include "app/controls.h"

#include <SDL_image.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/window.h"
#include "display/display.h"
#include "view/camera.h"

int64_t ViewerFramesDrawn = 0;

namespace {

constexpr double TurnPerPixel = 0.003;  // radians the view turns per pixel the mouse is dragged

// The help text, one line per entry, drawn over the picture below the frame rate.
constexpr const char* HelpLines[] = {
    "Space           pause / go on",
    "Up, Down        twice / half the speed",
    "Tab             orbit / free flight",
    "W S A D         forward, back, left, right",
    "Q E             down, up (free flight)",
    "left drag       turn the view (free flight)",
    "R               back onto the orbit",
    "F12, P          save the picture",
    "F11, Alt+Enter  full screen / window",
    "H, F1           this help",
    "Escape          quit",
};
constexpr int32_t HelpTop = 24;         // below the frame-rate line
constexpr int32_t HelpLineHeight = 18;  // the text's rows plus a gap
constexpr ColorRef HelpTextColour = 0x00FFFFFF;
constexpr ColorRef HelpBackground = 0x00402000;

bool HelpShown = false;

void DrawHelp() {
    DeviceContext* context = nullptr;
    if (BackBuffer == nullptr || BackBuffer->GetDC(context) != DisplayOk) {
        return;
    }
    context->SetBkColor(HelpBackground);
    context->SetTextColor(HelpTextColour);
    int32_t top = HelpTop;
    for (const char* line : HelpLines) {
        context->TextOut(8, top, line, static_cast<int32_t>(std::strlen(line)));
        top += HelpLineHeight;
    }
    BackBuffer->ReleaseDC(context);
}

void ToggleHelp() {
    HelpShown = !HelpShown;
    FlipOverlay = HelpShown ? DrawHelp : nullptr;
}

void ToggleFullScreen() {
    SDL_Window* window = CurrentMainWindow();
    if (window == nullptr) {
        return;
    }
    const bool full = (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) != 0;
    SetMainWindowFullScreen(window, !full);
}

// Sets the held movement on a movement key going down (+1 or -1) or up; false for other keys.
bool HoldMovement(SDL_Keycode key, bool down) {
    int32_t* axis = nullptr;
    int32_t sign = 1;
    switch (key) {
        case SDLK_w:
            axis = &CameraKeys.Forward;
            break;
        case SDLK_s:
            axis = &CameraKeys.Forward;
            sign = -1;
            break;
        case SDLK_d:
            axis = &CameraKeys.Sideways;
            break;
        case SDLK_a:
            axis = &CameraKeys.Sideways;
            sign = -1;
            break;
        case SDLK_e:
            axis = &CameraKeys.Rise;
            break;
        case SDLK_q:
            axis = &CameraKeys.Rise;
            sign = -1;
            break;
        default:
            return false;
    }
    if (down) {
        *axis = sign;
    } else if (*axis == sign) {
        *axis = 0;  // the opposite key, pressed since, keeps its way
    }
    return true;
}

// Keys that act once per press; a held key's repeats do nothing more.
void PressKey(const SDL_KeyboardEvent& key) {
    const bool alt = (key.keysym.mod & KMOD_ALT) != 0;
    switch (key.keysym.sym) {
        case SDLK_SPACE:
            ToggleCameraPause();
            break;
        case SDLK_UP:
            ChangeCameraSpeed(1);
            break;
        case SDLK_DOWN:
            ChangeCameraSpeed(-1);
            break;
        case SDLK_TAB:
            ToggleFreeFlight();
            break;
        case SDLK_r:
            ReturnToOrbit();
            break;
        case SDLK_F12:
        case SDLK_p:
            SaveShownFrame();
            break;
        case SDLK_h:
        case SDLK_F1:
            ToggleHelp();
            break;
        case SDLK_F11:
            ToggleFullScreen();
            break;
        case SDLK_RETURN:
            if (alt) {
                ToggleFullScreen();
            }
            break;
        default:
            break;
    }
}

// The first of frame-N.png, frame-N-1.png, ... that does not exist yet, made empty so that no
// other saving takes it; false when none could be made.
bool ClaimFileName(char* name, size_t size) {
    const auto frame = static_cast<long long>(ViewerFramesDrawn);
    for (int copy = 0; copy < 1000; ++copy) {
        if (copy == 0) {
            std::snprintf(name, size, "frame-%06lld.png", frame);
        } else {
            std::snprintf(name, size, "frame-%06lld-%d.png", frame, copy);
        }
        const int file = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file >= 0) {
            close(file);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

}  // namespace

bool SaveShownFrame() {
    char name[64];
    if (!ClaimFileName(name, sizeof name)) {
        std::fprintf(stderr, "galaxy-viewer: cannot save the picture: %s\n", std::strerror(errno));
        return false;
    }
    LockDescription lock{};
    if (BackBuffer == nullptr || BackBuffer->Lock(lock) != DisplayOk) {
        std::fprintf(stderr, "galaxy-viewer: cannot save %s: the picture cannot be read\n", name);
        unlink(name);
        return false;
    }
    // The back buffer's B, G, R, unused bytes are one little-endian XRGB word per pixel.
    SDL_Surface* picture = SDL_CreateRGBSurfaceWithFormatFrom(
        lock.Surface, ScreenWidth, ScreenHeight, 32, lock.Pitch, SDL_PIXELFORMAT_RGB888);
    const bool saved = picture != nullptr && IMG_SavePNG(picture, name) == 0;
    SDL_FreeSurface(picture);
    BackBuffer->Unlock();
    if (!saved) {
        std::fprintf(stderr, "galaxy-viewer: cannot save %s: %s\n", name, SDL_GetError());
        unlink(name);
        return false;
    }
    std::fprintf(stderr, "galaxy-viewer: saved %s\n", name);
    return true;
}

void HandleControlEvent(const SDL_Event& event) {
    switch (event.type) {
        case SDL_KEYDOWN:
            if (!HoldMovement(event.key.keysym.sym, true) && event.key.repeat == 0) {
                PressKey(event.key);
            }
            break;
        case SDL_KEYUP:
            HoldMovement(event.key.keysym.sym, false);
            break;
        case SDL_MOUSEMOTION:
            if ((event.motion.state & SDL_BUTTON_LMASK) != 0) {
                TurnCamera(event.motion.xrel * TurnPerPixel, -event.motion.yrel * TurnPerPixel);
            }
            break;
        default:
            break;
    }
}

void ResetControls() {
    ViewerFramesDrawn = 0;
    HelpShown = false;
    FlipOverlay = nullptr;
}
