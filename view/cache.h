// cache.h: the per-cell projection cache, star offsets kept relative to their cell's centre.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "data/star.h"
#include "view/projection.h"

// Per star: x and y relative to its cell's projected centre, depth absolute, as of the cell's
// last projection. Index-parallel to StarArray.
extern SlotArray<ProjectedStar> ProjectedStarArray;
// Per cell: the projection of its centre with the current frame's camera.
extern std::vector<ProjectedStar> ProjectedCentre;

// The range of a cell's cached offsets: least and greatest x and y, greatest depth, over the
// values that are not NaN (a star with a NaN there is never drawn), a zero bound as +0.0.
// Rounding is monotonic, so a star at centre + x lies between centre + MinX and centre + MaxX:
// a renderer can tell from these alone that none of the cell's stars reaches the screen.
struct OffsetBounds {
    double MinX;
    double MaxX;
    double MinY;
    double MaxY;
    double MaxDepth;
};
inline constexpr double Infinite = std::numeric_limits<double>::infinity();
// Nothing yet: what bounds grow from, and those of a cell without stars.
inline constexpr OffsetBounds NoOffsets{Infinite, -Infinite, Infinite, -Infinite, -Infinite};
// Anything: the bounds of a cell not yet projected, which rule nothing out.
inline constexpr OffsetBounds AnyOffsets{-Infinite, Infinite, -Infinite, Infinite, Infinite};
// Per cell, index-parallel to CellTable: the bounds as of the cell's last projection, kept by
// BuildProjectionCache and ReprojectCells for galaxies of 65536 stars or more (the renderer
// plots smaller ones plainly, on one thread). A cell past its end has no known bounds: all of
// them when it is empty, as at program start and for smaller galaxies. Whoever writes
// ProjectedStarArray other than through those two must empty it.
extern std::vector<OffsetBounds> ProjectedBounds;

// Sizes ProjectedStarArray to StarSlots(), ProjectedCentre to CellCount entries and
// ProjectedBounds to CellCount or none (see above); throws std::bad_alloc on failure.
void AllocateProjectedCentre();

// Projects every star and centre with the current camera and records it in every cell. The
// stars are split over the threads (data/parallel.h); each thread asks KeepStarting() now and
// then and stops when it says no, leaving the cache unfinished: the caller, seeing
// KeepStarting() false, must not draw from it.
void BuildProjectionCache();
// Flags each cell whose cached picture is stale or that the camera is close to.
void MarkCells();
// Projects every centre, and the stars of every flagged cell: for a galaxy of 32768 stars or
// more split evenly over the threads by stars, for a smaller one on this thread.
void ReprojectCells();

// Number of cells the last MarkCells flagged.
int32_t FlaggedCellCount();

// Clears the arrays and the flagged count, as at program start: MaxStars zero stars.
void ResetProjectionCache();
