// cache.h: the per-cell projection cache, star offsets kept relative to their cell's centre.
#pragma once

#include <cstdint>
#include <vector>

#include "data/star.h"
#include "view/projection.h"

// Per star: x and y relative to its cell's projected centre, depth absolute, as of the cell's
// last projection. Index-parallel to StarArray.
extern SlotArray<ProjectedStar> ProjectedStarArray;
// Per cell: the projection of its centre with the current frame's camera.
extern std::vector<ProjectedStar> ProjectedCentre;

// Sizes ProjectedStarArray to StarSlots() and ProjectedCentre to CellCount entries; throws
// std::bad_alloc on failure.
void AllocateProjectedCentre();

// Projects every star and centre with the current camera and records it in every cell.
void BuildProjectionCache();
// Flags each cell whose cached picture is stale or that the camera is close to.
void MarkCells();
// Projects every centre, and the stars of every flagged cell.
void ReprojectCells();

// Number of cells the last MarkCells flagged.
int32_t FlaggedCellCount();

// Clears both arrays and the flagged count, as at program start: MaxStars zero stars.
void ResetProjectionCache();
