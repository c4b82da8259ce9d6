// frame.h: one frame: update the cache, step the camera, clear, plot the stars, text, flip.
#pragma once

#include <cstdint>

#include "display/display.h"

extern LockDescription LockDesc;  // filled by each frame's lock of the back buffer
extern BltEffects ClearFx;        // the black colour fill of each frame's clear

// Zeroes LockDesc and ClearFx and sets the clear colour to black (start-up).
void PrepareFrameRecords();

// Draws one frame onto BackBuffer and flips PrimarySurface. Needs a set-up display.
void RenderFrame();

// RenderFrame after the projection cache is brought up to date and before the flip: the camera
// step, ClearAndPlot and the overlay (benchmarks time it without the presentation).
void DrawFrame();

// The clear of the back buffer, then its lock, PlotStars and unlock: the work that touches the
// frame's memory.
void ClearAndPlot();

// Writes every star in front of the camera into the buffer LockDesc describes, later stars
// over earlier, and counts them. RenderFrame's plotting step, for a locked back buffer.
void PlotStars();

// Number of stars written to the back buffer in the last frame.
int32_t DrawnStarCount();

// The grey level of a star at depth d: -1.0 - d * 0.0001 truncated toward zero, the low 8 bits
// of that integer in two's complement, for any size. An infinite or NaN result gives 0.
uint8_t GreyLevel(double depth);

// The screen column or row of a position (projected coordinate plus screen offset), truncated
// toward zero; false when it falls outside [0, limit), is not a number or is infinite.
bool ScreenIndex(double position, int32_t limit, int32_t& index);

// Puts the frame records and the drawn count back as at program start.
void ResetFrame();
