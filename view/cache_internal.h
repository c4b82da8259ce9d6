// cache_internal.h: what the projection cache's two forms share: the plain one, cell after cell
// on one thread (cache.cpp), and the sliced one, split over the threads (cache_slices.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "data/cells.h"
#include "view/cache.h"
#include "view/projection.h"

namespace cache {

inline std::size_t Index(int32_t i) {
    return static_cast<std::size_t>(i);
}

// Which cells a projection covers: every one (start-up) or those MarkCells flagged.
enum class Chosen { All, Flagged };

inline bool IsChosen(Chosen chosen, const Cell& cell) {
    return chosen == Chosen::All || cell.ReprojectFlag == 1;
}

// The grouping guarantees every cell's run lies within StarArray, and start-up sizes
// ProjectedStarArray to match it.
bool StarRangeValid(const Cell& cell);

// Widens bounds by a star's offsets, or by other bounds. Comparisons with NaN are false, so a
// NaN never enters the bounds.
void Widen(OffsetBounds& bounds, const ProjectedStar& star);
void Widen(OffsetBounds& bounds, const OffsetBounds& more);

// Turns the freshly projected stars [from, to) of cell i into offsets from its ProjectedCentre
// entry (depth stays absolute) and widens `bounds` by them.
void AnchorStars(int32_t i, int32_t from, int32_t to, OffsetBounds& bounds);

// Records in cell i the camera of its last projection and, when the cache keeps bounds, the
// bounds of its offsets, a zero bound as +0.0 (x + 0.0 is x for any other x): so the bounds
// depend neither on the order their values were compared in, nor on the number of threads.
void RecordCell(int32_t i, const OffsetBounds& bounds);

// Whether the galaxy is big enough for the sliced form to pay: it may split the work, and even
// on one thread its chunks, anchored while still in cache, beat the plain form's whole runs.
bool SlicesPay();

// Reserves the sliced form's lists for `cells` cells, so that no frame allocates; gives them
// back.
void ReserveSlices(std::size_t cells);
void ReleaseSlices();

// The sliced form: projects the chosen cells' stars with the projector on as many threads as
// their number calls for, anchors them to their cells' centres (projected beforehand) and
// records each cell. With `polled`, every thread asks KeepStarting() now and then, and all
// return false once it says no, with the cells not finished unrecorded.
bool ProjectInSlices(const Projector& projector, Chosen chosen, bool polled);

}  // namespace cache
