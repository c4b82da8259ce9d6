// frame.h: one frame: update the cache, step the camera, clear, plot the stars, text, flip.
#pragma once

#include <cstdint>

#include "display/display.h"

extern LockDescription LockDesc;  // filled by each frame's lock of the back buffer
extern BltEffects ClearFx;        // the black colour fill of each frame's clear

// Zeroes LockDesc and ClearFx and sets the clear colour to black (start-up).
void PrepareFrameRecords();

// Draws one frame onto BackBuffer and flips PrimarySurface.
void RenderFrame();

// Number of stars written to the back buffer in the last frame.
int32_t DrawnStarCount();
