// star_slices.h: the stars of chosen cells, in star order, cut into slices of equal star counts
// for the threads (data/parallel.h); the projection cache and the renderer share it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "data/cells.h"
#include "data/parallel.h"

// Stars [From, To) of cell Cell: the whole of the cell's run, or the part of it one slice takes.
struct CellStretch {
    int32_t Cell;
    int32_t From;
    int32_t To;
};

// The stars of cells[0, count) (indexes into CellTable, in order), taken one after another and
// cut at SliceStart's boundaries for `slices` slices of `total` stars (their number): hands
// each stretch to emit(slice, stretch) in order, a cell that straddles a boundary as one stretch
// on each side. Each slice's stretches follow the previous slice's.
template <typename Emit>
void CutIntoSlices(const int32_t* cells, std::size_t count, int64_t total, int32_t slices,
                   Emit&& emit) {
    int32_t slice = 0;
    int64_t position = 0;  // stars before the stretch being cut
    int64_t sliceEnd = SliceStart(total, slices, 1);
    for (std::size_t listed = 0; listed < count; ++listed) {
        const int32_t i = cells[listed];
        const Cell& cell = CellTable[static_cast<std::size_t>(i)];
        for (int32_t from = cell.FirstStar; from < cell.EndStar;) {
            // The last slice takes whatever is left, so a miscounted total cannot stall the cut.
            const int64_t room = slice + 1 < slices ? sliceEnd - position : INT64_MAX;
            const int32_t to =
                room < cell.EndStar - from ? from + static_cast<int32_t>(room) : cell.EndStar;
            emit(slice, CellStretch{i, from, to});
            position += to - from;
            from = to;
            if (position == sliceEnd && slice + 1 < slices) {
                ++slice;
                sliceEnd = SliceStart(total, slices, slice + 1);
            }
        }
    }
}
