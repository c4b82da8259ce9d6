// display.h: the display device the rest of the program draws through: a back buffer with a
// colour-fill clear, a lock that exposes its pixels, a device context for text, and a flip.
// Two implementations exist: over SDL2 (the viewer) and in memory (tests, galaxy-render).
#pragma once

#include <cstdint>

struct SDL_Window;  // the window the display takes over; the in-memory display ignores it

// The one display mode the program draws for; every picture is ScreenWidth x ScreenHeight.
inline constexpr int32_t ScreenWidth = 800;
inline constexpr int32_t ScreenHeight = 600;
inline constexpr int32_t ScreenBits = 32;

using HResult = int32_t;  // 0 success, negative failure
inline constexpr HResult DisplayOk = 0;
inline constexpr HResult DisplayErrorGeneric = -1;  // anything not listed below
inline constexpr HResult DisplayErrorOutOfMemory = -2;
inline constexpr HResult DisplayErrorInvalidParams = -3;  // bad size, depth or argument
inline constexpr HResult DisplayErrorNoDevice = -4;       // no video device or window
inline constexpr HResult DisplayErrorSurfaceBusy = -5;    // already locked, or DC taken
inline constexpr HResult DisplayErrorNotLocked = -6;      // unbalanced Unlock or ReleaseDC

using ColorRef = uint32_t;  // 0x00BBGGRR, as text colours are given

struct Rect {
    int32_t left;
    int32_t top;
    int32_t right;   // exclusive
    int32_t bottom;  // exclusive
};

// Filled by a successful Lock: the pixel at column 0, row 0 and the bytes from row to row.
// Each pixel is 4 bytes, the colour channels first (B, G, R), the fourth unused.
struct LockDescription {
    uint8_t* Surface;
    int32_t Pitch;
};

// The effects record of a colour-fill clear.
struct BltEffects {
    uint32_t FillColor;
};

// Draws text into the surface it was obtained from, until it is released.
class DeviceContext {
  public:
    virtual ~DeviceContext() = default;
    virtual ColorRef SetBkColor(ColorRef colour) = 0;    // returns the previous colour
    virtual ColorRef SetTextColor(ColorRef colour) = 0;  // returns the previous colour
    // Writes text[0, length) with its top-left corner at (x, y), on an opaque box.
    virtual bool TextOut(int32_t x, int32_t y, const char* text, int32_t length) = 0;
};

class DisplaySurface {
  public:
    virtual ~DisplaySurface() = default;
    virtual HResult Blt(const Rect& area, const BltEffects& effects) = 0;  // colour fill
    virtual HResult Lock(LockDescription& description) = 0;
    virtual HResult Unlock() = 0;
    virtual HResult GetDC(DeviceContext*& context) = 0;
    virtual HResult ReleaseDC(DeviceContext* context) = 0;
    virtual HResult Flip() = 0;  // on the primary surface: shows the back buffer
};

// Whatever an implementation keeps behind the surfaces; only the display that made it looks
// inside (SdlDisplayDevice over SDL2, MemoryDisplayDevice in memory). Abstract: there is no
// device apart from one of those.
class DisplayDevice {
  public:
    virtual ~DisplayDevice() = 0;
};

// Called by every flip of the primary surface just before the back buffer is shown, to draw
// over the finished picture what the frame itself knows nothing of (the viewer's help text).
// Null, the default, for nothing.
using FlipOverlayFunction = void (*)();
extern FlipOverlayFunction FlipOverlay;

extern DisplayDevice* DisplayObject;    // null before InitDisplay and after ShutdownDisplay
extern DisplaySurface* PrimarySurface;  // the visible surface
extern DisplaySurface* BackBuffer;      // receives all drawing

// Takes over the display for width x height at bitsPerPixel; returns the first failure.
// Whatever was created before a failure stays for ShutdownDisplay.
HResult InitDisplay(SDL_Window* window, int32_t width, int32_t height, int32_t bitsPerPixel);
// Releases everything InitDisplay created; safe to call after a failed InitDisplay.
void ShutdownDisplay();
// A person-readable reason for the last failure of InitDisplay.
const char* DisplayErrorText();
