// sdl_display.cpp: the display device over SDL2: a renderer on the full-screen window, a
// streaming texture as the visible surface, an 800 x 600 XRGB8888 surface as the back buffer.
#include "display/sdl_display.h"

#include <SDL.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "display/display.h"
#include "display/text.h"

namespace {

constexpr int32_t DefaultRefreshRate = 60;  // Hz, when the display does not say
constexpr int64_t NanosecondsPerSecond = 1000000000;

// What stands behind the surfaces: the renderer and the texture the back buffer is shown through.
class SdlDisplayDevice final : public DisplayDevice {
  public:
    SDL_Window* Window = nullptr;
    SDL_Renderer* Renderer = nullptr;
    SDL_Texture* Texture = nullptr;  // the visible surface's picture
    int32_t Width = 0;
    int32_t Height = 0;
    std::atomic<bool> TextureLost{false};  // set by the event watch on a device reset
    int32_t TextureBuilds = 0;             // textures made since InitDisplay
    FlipPacer Pacer;
};

// The back buffer: an XRGB8888 surface in system memory, bytes B, G, R, unused.
class SdlBackBuffer final : public DisplaySurface {
  public:
    SDL_Surface* Pixels = nullptr;
    bool Locked = false;
    bool ContextTaken = false;
    BufferDeviceContext Context;  // writes its text straight into Pixels

    HResult Blt(const Rect& area, const BltEffects& effects) override;
    HResult Lock(LockDescription& description) override;
    HResult Unlock() override;
    HResult GetDC(DeviceContext*& context) override;
    HResult ReleaseDC(DeviceContext* context) override;
    HResult Flip() override { return DisplayErrorInvalidParams; }  // only the primary flips
};

// The visible surface: its one operation shows the back buffer.
class SdlPrimarySurface final : public DisplaySurface {
  public:
    HResult Blt(const Rect&, const BltEffects&) override { return DisplayErrorInvalidParams; }
    HResult Lock(LockDescription&) override { return DisplayErrorInvalidParams; }
    HResult Unlock() override { return DisplayErrorNotLocked; }
    HResult GetDC(DeviceContext*&) override { return DisplayErrorInvalidParams; }
    HResult ReleaseDC(DeviceContext*) override { return DisplayErrorNotLocked; }
    HResult Flip() override;
};

SdlDisplayDevice Device;          // the one display device, live between Init and Shutdown
SdlBackBuffer BackBufferObject;   // what BackBuffer points at while the display is up
SdlPrimarySurface PrimaryObject;  // what PrimarySurface points at while the display is up
char ErrorText[256] = "";         // the reason for the last failure of InitDisplay

// Keeps the reason for DisplayErrorText and returns the failure.
HResult FailSetUp(HResult result, const char* what) {
    std::snprintf(ErrorText, sizeof ErrorText, "%s: %s", what, SDL_GetError());
    return result;
}

HResult SurfaceFree(SdlBackBuffer& buffer) {
    if (buffer.Pixels == nullptr) {
        return DisplayErrorNoDevice;
    }
    return buffer.Locked || buffer.ContextTaken ? DisplayErrorSurfaceBusy : DisplayOk;
}

}  // namespace

HResult SdlBackBuffer::Blt(const Rect& area, const BltEffects& effects) {
    HResult ready = SurfaceFree(*this);
    if (ready != DisplayOk) {
        return ready;
    }
    if (area.right < area.left || area.bottom < area.top) {
        return DisplayErrorInvalidParams;
    }
    // Clipped to the surface first, so no corner can make the width or height overflow.
    int32_t left = std::max(area.left, 0);
    int32_t top = std::max(area.top, 0);
    int32_t right = std::min(area.right, Pixels->w);
    int32_t bottom = std::min(area.bottom, Pixels->h);
    if (right <= left || bottom <= top) {
        return DisplayOk;
    }
    SDL_Rect fill{left, top, right - left, bottom - top};
    return SDL_FillRect(Pixels, &fill, effects.FillColor) == 0 ? DisplayOk : DisplayErrorGeneric;
}

HResult SdlBackBuffer::Lock(LockDescription& description) {
    HResult ready = SurfaceFree(*this);
    if (ready != DisplayOk) {
        return ready;
    }
    if (SDL_LockSurface(Pixels) != 0) {
        return DisplayErrorGeneric;
    }
    Locked = true;
    description.Surface = static_cast<uint8_t*>(Pixels->pixels);
    description.Pitch = Pixels->pitch;
    return DisplayOk;
}

HResult SdlBackBuffer::Unlock() {
    if (!Locked) {
        return DisplayErrorNotLocked;
    }
    SDL_UnlockSurface(Pixels);
    Locked = false;
    return DisplayOk;
}

HResult SdlBackBuffer::GetDC(DeviceContext*& context) {
    HResult ready = SurfaceFree(*this);
    if (ready != DisplayOk) {
        return ready;
    }
    if (SDL_LockSurface(Pixels) != 0) {
        return DisplayErrorGeneric;
    }
    ContextTaken = true;
    Context.Attach(static_cast<uint8_t*>(Pixels->pixels), Pixels->pitch, Pixels->w, Pixels->h);
    context = &Context;
    return DisplayOk;
}

HResult SdlBackBuffer::ReleaseDC(DeviceContext* context) {
    if (!ContextTaken || context != &Context) {
        return DisplayErrorNotLocked;
    }
    SDL_UnlockSurface(Pixels);
    Context.Detach();
    ContextTaken = false;
    return DisplayOk;
}

namespace {

int64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * NanosecondsPerSecond + now.tv_nsec;
}

void SleepUntil(int64_t deadline) {
    timespec until{static_cast<time_t>(deadline / NanosecondsPerSecond),
                   static_cast<long>(deadline % NanosecondsPerSecond)};
    // A signal cuts the sleep short; the main loop then sees why and ends.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

HResult CreateStreamingTexture(SdlDisplayDevice& device) {
    device.Texture = SDL_CreateTexture(device.Renderer, SDL_PIXELFORMAT_XRGB8888,
                                       SDL_TEXTUREACCESS_STREAMING, device.Width, device.Height);
    if (device.Texture == nullptr) {
        return DisplayErrorOutOfMemory;
    }
    ++device.TextureBuilds;
    SDL_SetTextureScaleMode(device.Texture, SDL_ScaleModeNearest);
    return DisplayOk;
}

// A lost device takes its textures with it; the next flip makes the texture anew.
int WatchForDeviceReset(void* userData, SDL_Event* event) {
    if (event->type == SDL_RENDER_TARGETS_RESET || event->type == SDL_RENDER_DEVICE_RESET) {
        static_cast<SdlDisplayDevice*>(userData)->TextureLost = true;
    }
    return 1;
}

// The display object: a renderer with vsync, accelerated if possible, else in software.
HResult CreateRenderer(SdlDisplayDevice& device) {
    device.Renderer =
        SDL_CreateRenderer(device.Window, -1, SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC);
    if (device.Renderer == nullptr) {
        device.Renderer = SDL_CreateRenderer(device.Window, -1,
                                             SDL_RENDERER_SOFTWARE | SDL_RENDERER_PRESENTVSYNC);
    }
    return device.Renderer == nullptr ? FailSetUp(DisplayErrorNoDevice, "cannot create a renderer")
                                      : DisplayOk;
}

// The refresh the flips keep to: the desktop's, or 60 Hz when it does not say.
int64_t RefreshInterval(SDL_Window* window) {
    SDL_DisplayMode mode{};
    int index = SDL_GetWindowDisplayIndex(window);
    int32_t rate = DefaultRefreshRate;
    if (index >= 0 && SDL_GetDesktopDisplayMode(index, &mode) == 0 && mode.refresh_rate > 0) {
        rate = mode.refresh_rate;
    }
    return NanosecondsPerSecond / rate;
}

// The frame keeps its shape: scaled to fit the window, black bars, whole pixels unblurred.
HResult SetFrameSize(SdlDisplayDevice& device) {
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "0");
    if (SDL_RenderSetLogicalSize(device.Renderer, device.Width, device.Height) != 0) {
        return FailSetUp(DisplayErrorGeneric, "cannot set the frame size");
    }
    return DisplayOk;
}

HResult CreateBackBuffer(SdlDisplayDevice& device) {
    BackBufferObject.Pixels = SDL_CreateRGBSurfaceWithFormat(0, device.Width, device.Height, 32,
                                                             SDL_PIXELFORMAT_XRGB8888);
    if (BackBufferObject.Pixels == nullptr) {
        return FailSetUp(DisplayErrorOutOfMemory, "cannot create the back buffer");
    }
    SDL_FillRect(BackBufferObject.Pixels, nullptr, 0);
    return DisplayOk;
}

// After a reset the texture's picture, or the texture itself, is gone: make it anew, and if the
// renderer cannot, the renderer too. Both are remade on the next flip if this one fails.
bool RebuildAfterReset(SdlDisplayDevice& device) {
    SDL_DestroyTexture(device.Texture);
    device.Texture = nullptr;
    if (device.Renderer != nullptr && CreateStreamingTexture(device) == DisplayOk) {
        return true;
    }
    if (device.Renderer != nullptr) {
        SDL_DestroyRenderer(device.Renderer);
        device.Renderer = nullptr;
    }
    return CreateRenderer(device) == DisplayOk && SetFrameSize(device) == DisplayOk &&
           CreateStreamingTexture(device) == DisplayOk;
}

// Uploads the back buffer into the texture and presents it, scaled, between black bars.
HResult PresentBackBuffer(SdlDisplayDevice& device, SDL_Surface* pixels) {
    HResult result = DisplayErrorGeneric;
    if (SDL_UpdateTexture(device.Texture, nullptr, pixels->pixels, pixels->pitch) == 0) {
        SDL_SetRenderDrawColor(device.Renderer, 0, 0, 0, 255);
        SDL_RenderClear(device.Renderer);
        SDL_RenderCopy(device.Renderer, device.Texture, nullptr, nullptr);
        result = DisplayOk;
    }
    SDL_RenderPresent(device.Renderer);
    return result;
}

}  // namespace

HResult SdlPrimarySurface::Flip() {
    if (FlipOverlay != nullptr) {
        FlipOverlay();
    }
    SdlBackBuffer& back = BackBufferObject;
    if (back.Pixels == nullptr) {
        return DisplayErrorNoDevice;
    }
    if (back.Locked || back.ContextTaken) {
        return DisplayErrorSurfaceBusy;
    }
    bool ready = !Device.TextureLost.exchange(false) || RebuildAfterReset(Device);
    if (!ready) {
        Device.TextureLost = true;  // the device is not back yet: the next flip tries again
    }
    HResult result = ready ? PresentBackBuffer(Device, back.Pixels) : DisplayErrorNoDevice;
    // Flips that present nothing are paced too, so a lost device never spins a core.
    int64_t deadline = NextFlipDeadline(Device.Pacer, MonotonicNanoseconds());
    if (deadline != 0) {
        SleepUntil(deadline);
    }
    return result;
}

HResult InitDisplay(SDL_Window* window, int32_t width, int32_t height, int32_t bitsPerPixel) {
    DisplayObject = nullptr;
    PrimarySurface = nullptr;
    BackBuffer = nullptr;
    ErrorText[0] = '\0';
    if (window == nullptr) {
        return FailSetUp(DisplayErrorNoDevice, "no window");
    }
    if (width <= 0 || height <= 0 || bitsPerPixel != 32) {
        std::snprintf(ErrorText, sizeof ErrorText, "unsupported mode %dx%d at %d bits", width,
                      height, bitsPerPixel);
        return DisplayErrorInvalidParams;
    }
    Device.Window = window;
    Device.Width = width;
    Device.Height = height;
    Device.Pacer = FlipPacer{};
    Device.Pacer.Interval = RefreshInterval(window);
    Device.TextureLost = false;
    Device.TextureBuilds = 0;
    HResult result = CreateRenderer(Device);
    if (result != DisplayOk) {
        return result;
    }
    DisplayObject = &Device;
    SDL_AddEventWatch(WatchForDeviceReset, &Device);
    if ((result = SetFrameSize(Device)) != DisplayOk) {
        return result;
    }
    if (CreateStreamingTexture(Device) != DisplayOk) {
        return FailSetUp(DisplayErrorOutOfMemory, "cannot create the frame texture");
    }
    PrimarySurface = &PrimaryObject;
    if ((result = CreateBackBuffer(Device)) != DisplayOk) {
        return result;
    }
    BackBuffer = &BackBufferObject;
    OpenTextFont();  // without a font the frames simply carry no text
    return DisplayOk;
}

// Releases in reverse order of creation: back buffer, visible surface, then the device. The
// screen mode was never changed, so there is nothing to restore.
void ShutdownDisplay() {
    if (DisplayObject == nullptr) {
        return;
    }
    if (BackBuffer != nullptr) {
        SDL_FreeSurface(BackBufferObject.Pixels);
        BackBufferObject.Pixels = nullptr;
        BackBufferObject.Locked = false;
        BackBufferObject.ContextTaken = false;
        BackBufferObject.Context.Detach();
        BackBuffer = nullptr;
    }
    if (PrimarySurface != nullptr || Device.Texture != nullptr) {
        SDL_DestroyTexture(Device.Texture);
        Device.Texture = nullptr;
        PrimarySurface = nullptr;
    }
    CloseTextFont();
    SDL_DelEventWatch(WatchForDeviceReset, &Device);
    SDL_DestroyRenderer(Device.Renderer);
    Device.Renderer = nullptr;
    Device.Window = nullptr;
    DisplayObject = nullptr;
}

const char* DisplayErrorText() {
    return ErrorText;
}

int32_t FrameTextureBuilds() {
    return Device.TextureBuilds;
}
