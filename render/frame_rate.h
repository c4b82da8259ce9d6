// frame_rate.h: the frame rate measured over runs of 51 frames, drawn at the top left.
#pragma once

#include <cstdint>

// A clock reading split into whole seconds and the milliseconds within that second.
struct TimeStamp {
    int32_t Seconds;
    uint16_t Milliseconds;  // 0 to 999
};

using FrameRateClock = TimeStamp (*)();

extern double FrameRate;        // frames per second of the last completed run; 0.0 before
extern int32_t FrameCounter;    // frames counted in the current run
extern TimeStamp LastRateTime;  // when the current run began
extern char FrameRateText[20];  // the text last drawn

// Replaces the clock (tests, galaxy-render); nullptr restores the monotonic system clock.
void SetFrameRateClock(FrameRateClock clock);

// Start-up: LastRateTime from the clock; FrameCounter 0 and FrameRate 0.0.
void StartFrameRateClock();
void ResetFrameRateCounters();

// Draws the current rate into BackBuffer, then counts this frame and measures every 51st.
void DrawFrameRate();

// Puts everything the overlay keeps back as at program start: its variables, the clock and
// the record of the last formatted rate.
void ResetFrameRate();
