// cache_slices.cpp: the projection cache's stars projected on every thread (cache_internal.h).
//
// The chosen cells' stars are taken as one sequence in cell order and cut into slices of equal
// star counts, so that a frame's work is shared evenly however unevenly the cells are filled: a
// cell cut between slices becomes a piece in each. Every star's projection and offset depend on
// nothing but the star, its cell's centre and the camera, so the values are those of the plain
// form whatever the cut. A piece that is its whole cell is recorded by its own slice; the
// pieces of a cell cut between slices are gathered when all slices have ended.
#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "data/cells.h"
#include "data/parallel.h"
#include "data/startup.h"
#include "view/cache.h"
#include "view/cache_internal.h"
#include "view/star_slices.h"

namespace {

using cache::Index;

// Stars below this stay on one thread, where waking another would cost about what it saves:
// some 40 microseconds of projection.
constexpr int64_t MinStarsPerSlice = 16384;
// Stars projected at a time and then anchored while their results (96 kB) are still in cache.
constexpr int32_t ChunkStars = 4096;

// A stretch of one cell that one slice projects, whether it is the whole cell, and the bounds
// of its offsets so far.
struct Piece {
    CellStretch Stars;
    bool Whole;
    OffsetBounds Bounds;
};

// The cells the projection under way covers, its pieces in star order, and the first piece of
// each slice (slice `slices` marks the end). Reserved at allocation, so no frame allocates.
std::vector<int32_t> ChosenCells;
std::vector<Piece> Pieces;
std::array<std::size_t, MaxThreads + 1> SliceFirstPiece{};

// Lists the chosen cells that hold stars in ChosenCells; returns their number of stars. A
// chosen cell without stars is recorded here and now: it has nothing to project.
int64_t ListChosenCells(cache::Chosen chosen) {
    ChosenCells.clear();
    int64_t total = 0;
    for (int32_t i = 0; i < CellCount; ++i) {
        const Cell& cell = CellTable[Index(i)];
        assert(cache::StarRangeValid(cell));
        if (!cache::IsChosen(chosen, cell)) {
            continue;
        }
        if (cell.EndStar > cell.FirstStar) {
            ChosenCells.push_back(i);
            total += cell.EndStar - cell.FirstStar;
        } else {
            cache::RecordCell(i, NoOffsets);
        }
    }
    return total;
}

// Cuts the listed cells' `total` stars into slices of equal star counts, one piece per cell and
// slice; returns the number of slices.
int32_t PlanPieces(int64_t total) {
    const int32_t slices = SliceCount(total, MinStarsPerSlice);
    Pieces.clear();
    int32_t started = 0;  // slices whose first piece is known
    const auto startSlicesTo = [&started](int32_t slice) {
        for (; started <= slice; ++started) {
            SliceFirstPiece[Index(started)] = Pieces.size();
        }
    };
    CutIntoSlices(ChosenCells.data(), ChosenCells.size(), total, slices,
                  [&](int32_t slice, const CellStretch& stars) {
                      startSlicesTo(slice);
                      const Cell& cell = CellTable[Index(stars.Cell)];
                      const bool whole = stars.From == cell.FirstStar && stars.To == cell.EndStar;
                      Pieces.push_back(Piece{stars, whole, NoOffsets});
                  });
    startSlicesTo(slices);
    return slices;
}

// Anchors stars [from, to), just projected, of the pieces from `piece` on, up to runEnd, and
// records each whole cell finished; returns the first piece with stars still to come.
std::size_t AnchorChunk(std::size_t piece, std::size_t runEnd, int32_t from, int32_t to) {
    for (; piece < runEnd && Pieces[piece].Stars.From < to; ++piece) {
        Piece& current = Pieces[piece];
        cache::AnchorStars(current.Stars.Cell, std::max(from, current.Stars.From),
                           std::min(to, current.Stars.To), current.Bounds);
        if (current.Stars.To > to) {
            break;  // the piece goes on into the next chunk
        }
        if (current.Whole) {
            cache::RecordCell(current.Stars.Cell, current.Bounds);
        }
    }
    return piece;
}

// Projects and anchors pieces [first, end), one slice's, chunk by chunk. Pieces whose stars
// adjoin are projected as one range: the same values, with the per-call cost paid once for a
// whole neighbourhood of one-star cells. With `polled`, asks KeepStarting() after each chunk and
// returns false, unfinished, once it says no.
bool ProjectPieces(const Projector& projector, std::size_t first, std::size_t end, bool polled) {
    std::size_t piece = first;
    while (piece < end) {
        std::size_t runEnd = piece + 1;
        while (runEnd < end && Pieces[runEnd].Stars.From == Pieces[runEnd - 1].Stars.To) {
            ++runEnd;
        }
        const int32_t runTo = Pieces[runEnd - 1].Stars.To;
        for (int32_t from = Pieces[piece].Stars.From; from < runTo;) {
            const int32_t to = runTo - from > ChunkStars ? from + ChunkStars : runTo;
            ProjectRange(projector, StarArray.data(), ProjectedStarArray.data(), from, to);
            piece = AnchorChunk(piece, runEnd, from, to);
            from = to;
            if (polled && !KeepStarting()) {
                return false;
            }
        }
    }
    return true;
}

// Records the cells cut between slices, from their pieces, which follow one another from the
// cell's first star to its last.
void RecordCutCells() {
    OffsetBounds bounds = NoOffsets;
    for (const Piece& piece : Pieces) {
        if (piece.Whole) {
            continue;
        }
        const Cell& cell = CellTable[Index(piece.Stars.Cell)];
        bounds = piece.Stars.From == cell.FirstStar ? NoOffsets : bounds;
        cache::Widen(bounds, piece.Bounds);
        if (piece.Stars.To == cell.EndStar) {
            cache::RecordCell(piece.Stars.Cell, bounds);
        }
    }
}

}  // namespace

bool cache::SlicesPay() {
    return StarSlots() >= 2 * MinStarsPerSlice;
}

void cache::ReserveSlices(std::size_t cells) {
    ChosenCells.reserve(cells);
    Pieces.reserve(cells + MaxThreads);  // one more piece for each cut between slices
}

void cache::ReleaseSlices() {
    ChosenCells = std::vector<int32_t>();
    Pieces = std::vector<Piece>();
}

bool cache::ProjectInSlices(const Projector& projector, Chosen chosen, bool polled) {
    const int32_t slices = PlanPieces(ListChosenCells(chosen));
    std::array<bool, MaxThreads> finished{};
    RunSlices(slices, [&](int32_t slice) {
        finished[Index(slice)] = ProjectPieces(projector, SliceFirstPiece[Index(slice)],
                                               SliceFirstPiece[Index(slice) + 1], polled);
    });
    if (!std::all_of(finished.begin(), finished.begin() + slices, [](bool done) { return done; })) {
        return false;
    }
    RecordCutCells();
    return true;
}
