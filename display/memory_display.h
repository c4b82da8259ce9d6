// memory_display.h: what the in-memory display shows tests and galaxy-render beyond display.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "display/display.h"

// The operations the in-memory display records, in the order they were called.
enum class DisplayCall : uint8_t { Blt, Lock, Unlock, GetDC, ReleaseDC, TextOut, Flip };

struct DisplayCallRecord {
    DisplayCall Call;
    bool OnPrimary;  // made on PrimarySurface rather than BackBuffer
    HResult Result;
};

// The front buffer holds what the viewer would show after the last Flip; the back buffer is
// what is being drawn. Both are 800 x 600 pixels of 4 bytes (B, G, R, unused), MemoryPitch()
// bytes from row to row. Null while the display is shut down.
const uint8_t* MemoryFrontPixels();
const uint8_t* MemoryBackPixels();
int32_t MemoryPitch();

// Makes the next Lock or GetDC on the back buffer fail with DisplayErrorGeneric.
void FailNextLock();
void FailNextGetDC();

// The first MemoryLogCapacity calls since InitDisplay or ClearMemoryDisplayLog; later ones are
// not kept. Enough for a few frames of seven calls each.
inline constexpr size_t MemoryLogCapacity = 256;
std::span<const DisplayCallRecord> MemoryDisplayLog();
void ClearMemoryDisplayLog();

// Whether the next InitDisplay opens the font (the default) or draws no text at all.
void SetMemoryDisplayFont(bool enabled);
