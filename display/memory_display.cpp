// memory_display.cpp: the display over two plain pixel buffers, with no window (tests, tools).
#include "display/memory_display.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "display/text.h"

namespace {

// Rows are padded beyond 800 pixels so that code ignoring the pitch shows up in tests.
constexpr int32_t PaddedPitch = ScreenWidth * 4 + 64;
constexpr size_t BufferBytes = size_t{PaddedPitch} * ScreenHeight;
constexpr uint8_t PaddingByte = 0xCD;

// The first calls since the log was cleared; fixed, so logging allocates nothing in a frame.
std::array<DisplayCallRecord, MemoryLogCapacity> Log{};
size_t LogLength = 0;              // entries of Log in use
bool LockFailurePending = false;   // FailNextLock was called
bool GetDCFailurePending = false;  // FailNextGetDC was called
bool FontEnabled = true;           // InitDisplay opens the font
const char* ErrorText = "";        // reason for the last InitDisplay failure

HResult Record(DisplayCall call, bool onPrimary, HResult result) {
    if (LogLength < MemoryLogCapacity) {
        Log[LogLength++] = DisplayCallRecord{call, onPrimary, result};
    }
    return result;
}

// A surface's device context: draws through a BufferDeviceContext and logs each TextOut.
class MemoryDeviceContext final : public DeviceContext {
  public:
    explicit MemoryDeviceContext(bool onPrimary) : OnPrimary(onPrimary) {}

    BufferDeviceContext Drawing;
    const bool OnPrimary;  // obtained from PrimarySurface rather than BackBuffer

    ColorRef SetBkColor(ColorRef colour) override { return Drawing.SetBkColor(colour); }
    ColorRef SetTextColor(ColorRef colour) override { return Drawing.SetTextColor(colour); }
    bool TextOut(int32_t x, int32_t y, const char* text, int32_t length) override;
};

bool MemoryDeviceContext::TextOut(int32_t x, int32_t y, const char* text, int32_t length) {
    const bool drawn = Drawing.TextOut(x, y, text, length);
    Record(DisplayCall::TextOut, OnPrimary, drawn ? DisplayOk : DisplayErrorGeneric);
    return drawn;
}

// One of the two buffers, with the strict Lock/Unlock and GetDC/ReleaseDC pairing.
class MemorySurface final : public DisplaySurface {
  public:
    MemorySurface(std::vector<uint8_t>& pixels, bool primary)
        : Pixels(pixels), Primary(primary), Context(primary) {}

    HResult Blt(const Rect& area, const BltEffects& effects) override;
    HResult Lock(LockDescription& description) override;
    HResult Unlock() override;
    HResult GetDC(DeviceContext*& context) override;
    HResult ReleaseDC(DeviceContext* context) override;
    HResult Flip() override;
    bool Busy() const { return Locked || ContextTaken; }

  private:
    std::vector<uint8_t>& Pixels;
    bool Primary;
    bool Locked = false;
    bool ContextTaken = false;
    MemoryDeviceContext Context;
};

// A black picture whose row padding holds PaddingByte.
std::vector<uint8_t> MakeBuffer() {
    std::vector<uint8_t> buffer(BufferBytes, PaddingByte);
    for (size_t row = 0; row < ScreenHeight; ++row) {
        std::fill_n(buffer.begin() + std::ptrdiff_t(row * PaddedPitch), ScreenWidth * 4, 0);
    }
    return buffer;
}

// Everything InitDisplay creates: the two buffers and their surfaces.
class MemoryDisplayDevice final : public DisplayDevice {
  public:
    std::vector<uint8_t> Front = MakeBuffer();
    std::vector<uint8_t> Back = MakeBuffer();
    MemorySurface FrontSurface{Front, true};
    MemorySurface BackSurface{Back, false};

    MemoryDisplayDevice() = default;
    MemoryDisplayDevice(const MemoryDisplayDevice&) = delete;  // the surfaces use its buffers
    MemoryDisplayDevice& operator=(const MemoryDisplayDevice&) = delete;
};

// The device behind DisplayObject, which only this display sets while it is linked in.
MemoryDisplayDevice* MemoryDevice() {
    return static_cast<MemoryDisplayDevice*>(DisplayObject);
}

// Fills the rectangle, clipped to the picture, with the fill colour's four bytes.
HResult MemorySurface::Blt(const Rect& area, const BltEffects& effects) {
    if (Busy()) {
        return Record(DisplayCall::Blt, Primary, DisplayErrorSurfaceBusy);
    }
    const int32_t left = std::clamp(area.left, 0, ScreenWidth);
    const int32_t right = std::clamp(area.right, left, ScreenWidth);
    const int32_t top = std::clamp(area.top, 0, ScreenHeight);
    const int32_t bottom = std::clamp(area.bottom, top, ScreenHeight);
    uint8_t fill[4];
    std::memcpy(fill, &effects.FillColor, sizeof fill);
    for (int32_t row = top; row < bottom; ++row) {
        uint8_t* pixel = Pixels.data() + size_t(row) * PaddedPitch + size_t(left) * 4;
        for (int32_t column = left; column < right; ++column, pixel += 4) {
            std::memcpy(pixel, fill, sizeof fill);
        }
    }
    return Record(DisplayCall::Blt, Primary, DisplayOk);
}

HResult MemorySurface::Lock(LockDescription& description) {
    HResult result = DisplayOk;
    if (Busy()) {
        result = DisplayErrorSurfaceBusy;
    } else if (!Primary && std::exchange(LockFailurePending, false)) {
        result = DisplayErrorGeneric;
    } else {
        Locked = true;
        description = LockDescription{Pixels.data(), PaddedPitch};
    }
    return Record(DisplayCall::Lock, Primary, result);
}

HResult MemorySurface::Unlock() {
    const HResult result = std::exchange(Locked, false) ? DisplayOk : DisplayErrorNotLocked;
    return Record(DisplayCall::Unlock, Primary, result);
}

HResult MemorySurface::GetDC(DeviceContext*& context) {
    HResult result = DisplayOk;
    if (Busy()) {
        result = DisplayErrorSurfaceBusy;
    } else if (!Primary && std::exchange(GetDCFailurePending, false)) {
        result = DisplayErrorGeneric;
    } else {
        ContextTaken = true;
        Context.Drawing.Attach(Pixels.data(), PaddedPitch, ScreenWidth, ScreenHeight);
        context = &Context;
    }
    return Record(DisplayCall::GetDC, Primary, result);
}

HResult MemorySurface::ReleaseDC(DeviceContext* context) {
    HResult result = DisplayOk;
    if (!ContextTaken) {
        result = DisplayErrorNotLocked;
    } else if (context != &Context) {
        result = DisplayErrorInvalidParams;
    } else {
        ContextTaken = false;
        Context.Drawing.Detach();
    }
    return Record(DisplayCall::ReleaseDC, Primary, result);
}

// Shows the back buffer: its pixels become the front buffer's, as the viewer would present them.
HResult MemorySurface::Flip() {
    if (Primary && FlipOverlay != nullptr) {
        FlipOverlay();
    }
    MemoryDisplayDevice& device = *MemoryDevice();
    HResult result = DisplayOk;
    if (!Primary) {
        result = DisplayErrorInvalidParams;
    } else if (Busy() || device.BackSurface.Busy()) {
        result = DisplayErrorSurfaceBusy;
    } else {
        std::memcpy(device.Front.data(), device.Back.data(), BufferBytes);
    }
    return Record(DisplayCall::Flip, Primary, result);
}

}  // namespace

HResult InitDisplay(SDL_Window*, int32_t width, int32_t height, int32_t bitsPerPixel) {
    PrimarySurface = nullptr;
    BackBuffer = nullptr;
    if (DisplayObject != nullptr) {
        ErrorText = "the display is already set up";
        return DisplayErrorSurfaceBusy;
    }
    if (width != ScreenWidth || height != ScreenHeight || bitsPerPixel != ScreenBits) {
        ErrorText = "the in-memory display offers only 800 x 600 at 32 bits per pixel";
        return DisplayErrorInvalidParams;
    }
    try {
        DisplayObject = new MemoryDisplayDevice;
    } catch (const std::bad_alloc&) {
        ErrorText = "no memory for the display buffers";
        return DisplayErrorOutOfMemory;
    }
    ClearMemoryDisplayLog();
    LockFailurePending = false;
    GetDCFailurePending = false;
    PrimarySurface = &MemoryDevice()->FrontSurface;
    BackBuffer = &MemoryDevice()->BackSurface;
    if (FontEnabled) {
        OpenTextFont();  // without a font the display still works, only without text
    }
    return DisplayOk;
}

void ShutdownDisplay() {
    if (DisplayObject == nullptr) {
        return;
    }
    PrimarySurface = nullptr;
    BackBuffer = nullptr;
    delete std::exchange(DisplayObject, nullptr);
    CloseTextFont();
}

const char* DisplayErrorText() {
    return ErrorText;
}

const uint8_t* MemoryFrontPixels() {
    return DisplayObject != nullptr ? MemoryDevice()->Front.data() : nullptr;
}

const uint8_t* MemoryBackPixels() {
    return DisplayObject != nullptr ? MemoryDevice()->Back.data() : nullptr;
}

int32_t MemoryPitch() {
    return PaddedPitch;
}

void FailNextLock() {
    LockFailurePending = true;
}
void FailNextGetDC() {
    GetDCFailurePending = true;
}

std::span<const DisplayCallRecord> MemoryDisplayLog() {
    return {Log.data(), LogLength};
}

void ClearMemoryDisplayLog() {
    LogLength = 0;
}

void SetMemoryDisplayFont(bool enabled) {
    FontEnabled = enabled;
}
