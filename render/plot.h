// plot.h: the two ways of writing the stars into a locked frame: the plain one, one star after
// another, and the sliced one, split over the threads. Both give the same pixels and count.
#pragma once

#include <cstdint>

#include "display/display.h"

// Every star of every cell in star order, on this thread: each star in front of the camera
// written as one pixel at its projected position truncated toward zero, later stars over
// earlier, in grey or in its class's colour. Returns the number written.
int32_t PlotStarsPlainly(const LockDescription& target, bool colours);

// The same pixels and count, split over the threads (data/parallel.h). Cells whose bounds
// (view/cache.h) keep them off the screen are skipped, and the stars of the others cut into
// slices of equal counts in star order. The first slice draws straight into the target; each
// later one into a frame of its own, marking the pixels it wrote; then every marked pixel is
// copied over the target, slice after slice, so that where stars meet the last in star order
// wins, as in the plain plot. Returns -1, having written nothing, when the galaxy is too small
// to split (and one thread runs the plain plot as it always did) or the slices' frames cannot
// be allocated.
int32_t PlotStarsInSlices(const LockDescription& target, bool colours);

// Allocates, once the projection cache is built, what PlotStarsInSlices needs on every thread,
// so that no frame allocates; without memory for it, frames go on as before.
void ReservePlotSlices();

// How many slices the last PlotStarsInSlices drew in; 0 when it left the frame to the plain plot.
int32_t LastPlotSlices();
