// frame_rate.cpp: the frame-rate overlay: blue text at the top left, measured every 51 frames.
#include "render/frame_rate.h"

#include <time.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "display/display.h"

double FrameRate = 0.0;
int32_t FrameCounter = 0;
TimeStamp LastRateTime{};
char FrameRateText[20] = {};

namespace {

constexpr int32_t RunLength = 51;            // frames per measurement
constexpr ColorRef TextBackground = 0;       // black
constexpr ColorRef TextColour = 0x00FF0000;  // 0x00BBGGRR: pure blue

// The monotonic clock: unlike the wall clock, it never runs backwards.
TimeStamp ReadMonotonicClock() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Seconds since boot, which fit 32 bits for 68 years.
    return TimeStamp{static_cast<int32_t>(now.tv_sec),
                     static_cast<uint16_t>(now.tv_nsec / 1000000)};
}

// What the overlay keeps beside its program-wide variables; ResetFrameRate puts it all back.
struct OverlayState {
    FrameRateClock Clock = ReadMonotonicClock;  // where the overlay reads the time
    // The bits of the rate FrameRateText was last formatted from. Formatting a double costs more
    // than the rest of the overlay, and the rate changes once in 51 frames.
    uint64_t TextRateBits = 0;
};

OverlayState Overlay;

// The rate as it stood before this frame, in blue on black at the top left, if a DC is had.
void DrawRateText() {
    DeviceContext* context = nullptr;
    if (BackBuffer->GetDC(context) != DisplayOk) {
        return;
    }
    const uint64_t rateBits = std::bit_cast<uint64_t>(FrameRate);
    if (FrameRateText[0] == '\0' || rateBits != Overlay.TextRateBits) {
        std::snprintf(FrameRateText, sizeof FrameRateText, "FPS: %.1f", FrameRate);
        Overlay.TextRateBits = rateBits;
    }
    context->SetBkColor(TextBackground);
    context->SetTextColor(TextColour);
    context->TextOut(0, 0, FrameRateText, static_cast<int32_t>(std::strlen(FrameRateText)));
    BackBuffer->ReleaseDC(context);
}

// Ends a run: its frames over the time it took. A run measured as zero time keeps the old rate.
void MeasureRun() {
    const TimeStamp now = Overlay.Clock();
    const double elapsed =
        static_cast<double>(int64_t{now.Seconds} - int64_t{LastRateTime.Seconds}) +
        (int32_t{now.Milliseconds} - int32_t{LastRateTime.Milliseconds}) * 0.001;
    if (elapsed != 0.0) {
        FrameRate = FrameCounter / elapsed;
    }
    // The next run starts at a second reading rather than at now, as the viewer has always
    // measured: the instant between the two belongs to no run. On the system clock they differ
    // by microseconds, but a clock that moves on at every reading (a test's stepping clock)
    // would see every later run shift if this reading were dropped.
    LastRateTime = Overlay.Clock();
    FrameCounter = 0;
}

}  // namespace

void SetFrameRateClock(FrameRateClock clock) {
    Overlay.Clock = clock != nullptr ? clock : ReadMonotonicClock;
}

void StartFrameRateClock() {
    LastRateTime = Overlay.Clock();
}

void ResetFrameRateCounters() {
    FrameCounter = 0;
    FrameRate = 0.0;
}

void DrawFrameRate() {
    DrawRateText();
    ++FrameCounter;
    if (FrameCounter >= RunLength) {
        MeasureRun();
    }
}

void ResetFrameRate() {
    ResetFrameRateCounters();
    LastRateTime = TimeStamp{};
    std::memset(FrameRateText, 0, sizeof FrameRateText);
    Overlay = OverlayState{};
}
