// memory_display.h: what the in-memory display shows tests and galaxy-render beyond display.h.
#pragma once

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

// How often each operation was called since InitDisplay or ClearMemoryDisplayLog.
struct DisplayCallCounts {
    int32_t Blt;
    int32_t Lock;
    int32_t Unlock;
    int32_t GetDC;
    int32_t ReleaseDC;
    int32_t TextOut;
    int32_t Flip;
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

// The first calls since InitDisplay or ClearMemoryDisplayLog (up to a fixed number; later ones
// are only counted), and the counts of all of them.
std::span<const DisplayCallRecord> MemoryDisplayLog();
const DisplayCallCounts& MemoryDisplayCounts();
void ClearMemoryDisplayLog();

// The text and colours of the last TextOut, whether or not a font could draw it.
const char* MemoryLastText();
ColorRef MemoryLastTextColour();
ColorRef MemoryLastBackgroundColour();

// Whether the next InitDisplay opens the font (the default) or draws no text at all.
void SetMemoryDisplayFont(bool enabled);
