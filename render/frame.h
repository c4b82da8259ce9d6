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

// The work that touches the frame's memory (benchmarks time it alone): the clear of the back
// buffer with ClearFx, then, if the lock succeeds, every star in front of the camera written as
// one grey pixel at its projected position truncated toward zero, later stars over earlier,
// and the unlock. With star colours on, each pixel is its star's class colour (StarTag,
// render/palette.h) shaded to that grey level: the same brightness, only the hue differs.
// Galaxies of 65536 stars or more are plotted on every thread, with the same pixels
// (render/plot.h).
void ClearAndPlot();

// Turns star colours on or off (off at program start and after ResetFrame).
void SetStarColours(bool on);

// Number of stars written to the back buffer in the last frame.
int32_t DrawnStarCount();

// Puts the frame records, the drawn count and star colours back as at program start.
void ResetFrame();
