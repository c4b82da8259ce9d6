// plot_slices.cpp: the stars plotted on every thread with the plain plot's pixels (render/plot.h).
//
// The plain plot's rule that a later star overwrites an earlier one on the same pixel becomes:
// the stars are cut into slices in star order, every slice draws its own stars in order, and
// where slices meet, the later slice wins. The first slice draws straight into the target;
// every later one into a frame of its own (allocated the first time that many slices run, kept
// for good), with one bit per pixel it wrote. The frames are then laid over the target in slice
// order, a band of rows per thread. Cells that cannot reach the screen are left out before the
// cut, which spares reading their stars at all.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "data/cells.h"
#include "data/parallel.h"
#include "data/slots.h"
#include "data/star.h"
#include "render/plot.h"
#include "render/plot_run.h"
#include "render/plot_star.h"
#include "view/cache.h"
#include "view/simd.h"
#include "view/star_slices.h"

namespace {

// Below this many stars a slice is not worth its extra frame: clearing its marks, waking its
// thread and laying its frame over the target.
constexpr int64_t MinStarsPerSlice = 32768;

constexpr std::size_t FramePixels = std::size_t{ScreenWidth} * ScreenHeight;
constexpr std::size_t FrameMarkWords = MarkWordsPerRow * ScreenHeight;
constexpr std::ptrdiff_t FramePitch = std::ptrdiff_t{ScreenWidth} * 4;

SlotArray<uint32_t> SlicePixels;  // FramePixels for each slice after the first
SlotArray<uint64_t> SliceMarks;   // FrameMarkWords for each slice after the first
// The cells that may show, the first ShownCount entries; their stretches in star order, and the
// first stretch of each slice (slice `slices` marks the end).
SlotArray<int32_t> ShownCells;
std::size_t ShownCount = 0;
SlotArray<CellStretch> Stretches;
std::array<std::size_t, MaxThreads + 1> SliceFirstStretch{};
int32_t LastSlices = 0;  // slices of the last sliced plot, 0 when it declined

std::size_t Index(int32_t i) {
    return static_cast<std::size_t>(i);
}

// Whether any star of cell i may reach the screen, by its bounds: x <= MaxX gives
// centre + x <= centre + MaxX, rounding being monotonic, and so on for the others. A cell
// without known bounds may.
bool MayShow(int32_t i) {
    if (Index(i) >= ProjectedBounds.size()) {
        return true;
    }
    const OffsetBounds& bounds = ProjectedBounds[Index(i)];
    const ProjectedStar& centre = ProjectedCentre[Index(i)];
    const plot::ScreenPoint low = plot::Place(centre, {bounds.MinX, bounds.MinY, 0.0});
    const plot::ScreenPoint high = plot::Place(centre, {bounds.MaxX, bounds.MaxY, 0.0});
    return (bounds.MaxDepth > 0.0) & (high.column > -1.0) & (low.column < ScreenWidth) &
           (high.row > -1.0) & (low.row < ScreenHeight);
}

// Lists the cells that may show in ShownCells; returns their number of stars, or -1 when a
// cell's run lies outside the arrays (which the plain plot clips, star by star).
int64_t ListShownCells() {
    const auto stars = static_cast<int32_t>(std::min(ProjectedStarArray.size(), StarTag.size()));
    if (CellCount < 0 || CellTable.size() < Index(CellCount) ||
        ProjectedCentre.size() < Index(CellCount) ||
        (ShownCells.size() < Index(CellCount) && !ShownCells.Resize(Index(CellCount)))) {
        return -1;
    }
    int64_t shown = 0;
    ShownCount = 0;
    for (int32_t i = 0; i < CellCount; ++i) {
        const Cell& cell = CellTable[Index(i)];
        if (cell.FirstStar < 0 || cell.FirstStar > cell.EndStar || cell.EndStar > stars) {
            return -1;
        }
        if (MayShow(i)) {
            ShownCells[ShownCount++] = i;
            shown += cell.EndStar - cell.FirstStar;
        }
    }
    return shown;
}

// Frames and marks for `slices` slices, allocated the first time so many are asked for.
bool HaveFrames(int32_t slices) {
    const std::size_t frames = Index(slices - 1);
    return (SlicePixels.size() >= frames * FramePixels ||
            SlicePixels.Resize(frames * FramePixels)) &&
           (SliceMarks.size() >= frames * FrameMarkWords ||
            SliceMarks.Resize(frames * FrameMarkWords));
}

// Cuts the stars of the cells that may show into `slices` slices.
bool CutStretches(int64_t shown, int32_t slices) {
    const std::size_t most = Index(CellCount) + Index(slices);
    if (Stretches.size() < most && !Stretches.Resize(most)) {
        return false;
    }
    std::size_t count = 0;
    int32_t started = 0;  // slices whose first stretch is known
    const auto startSlicesTo = [&](int32_t slice) {
        for (; started <= slice; ++started) {
            SliceFirstStretch[Index(started)] = count;
        }
    };
    CutIntoSlices(ShownCells.data(), ShownCount, shown, slices,
                  [&](int32_t slice, const CellStretch& stretch) {
                      startSlicesTo(slice);
                      Stretches[count++] = stretch;
                  });
    startSlicesTo(slices);
    return true;
}

// The plain run (plot_run.h), with or without colours and marks.
template <bool Colours, bool Marked>
int32_t PlotStarByStar(const Canvas& canvas, const ProjectedStar& centre,
                       const ProjectedStar* offsets, const uint8_t* tags, int32_t from,
                       int32_t to) {
    int32_t drawn = 0;
    for (int32_t star = from; star < to; ++star) {
        const ProjectedStar& projected = offsets[star];
        const plot::ScreenPoint at = plot::Place(centre, projected);
        if (!plot::Drawn(projected.depth, at)) {
            continue;
        }
        const int32_t row = plot::Row(at), column = plot::Column(at);
        plot::WritePixel<Colours>(canvas.Surface + row * canvas.Pitch + column * 4,
                                  plot::GreyLevel(projected.depth), tags[star]);
        if constexpr (Marked) {
            MarkPixel(canvas.Marks, row, column);
        }
        ++drawn;
    }
    return drawn;
}

Canvas CanvasOf(int32_t slice, const LockDescription& target) {
    if (slice == 0) {
        return {target.Surface, target.Pitch, nullptr};
    }
    const std::size_t frame = Index(slice - 1);
    return {reinterpret_cast<uint8_t*>(SlicePixels.data() + frame * FramePixels), FramePitch,
            SliceMarks.data() + frame * FrameMarkWords};
}

// Plots one slice's stretches; returns the stars written.
int32_t PlotSlice(int32_t slice, const LockDescription& target, bool colours) {
    const Canvas canvas = CanvasOf(slice, target);
    if (canvas.Marks != nullptr) {
        std::memset(canvas.Marks, 0, FrameMarkWords * sizeof(uint64_t));
    }
    const auto run = CpuHasAvx2() ? PlotRunAvx2 : PlotRunScalar;
    int32_t drawn = 0;
    for (std::size_t s = SliceFirstStretch[Index(slice)]; s < SliceFirstStretch[Index(slice) + 1];
         ++s) {
        const CellStretch& stretch = Stretches[s];
        drawn += run(canvas, colours, ProjectedCentre[Index(stretch.Cell)],
                     ProjectedStarArray.data(), StarTag.data(), stretch.From, stretch.To);
    }
    return drawn;
}

// Copies the marked pixels of slices 1 to slices - 1, in that order, over rows [from, to) of
// the target.
void LayOver(const LockDescription& target, int32_t slices, int32_t from, int32_t to) {
    for (int32_t slice = 1; slice < slices; ++slice) {
        const Canvas canvas = CanvasOf(slice, target);
        for (int32_t row = from; row < to; ++row) {
            const uint64_t* marks = canvas.Marks + Index(row) * MarkWordsPerRow;
            const uint8_t* source = canvas.Surface + row * canvas.Pitch;
            uint8_t* destination = target.Surface + row * target.Pitch;
            for (std::size_t word = 0; word < MarkWordsPerRow; ++word) {
                for (uint64_t bits = marks[word]; bits != 0; bits &= bits - 1) {
                    const std::size_t column = word * 64 + Index(__builtin_ctzll(bits));
                    std::memcpy(destination + column * 4, source + column * 4, 4);
                }
            }
        }
    }
}

}  // namespace

int32_t PlotRunScalar(const Canvas& canvas, bool colours, const ProjectedStar& centre,
                      const ProjectedStar* offsets, const uint8_t* tags, int32_t from, int32_t to) {
    if (canvas.Marks == nullptr) {
        return colours ? PlotStarByStar<true, false>(canvas, centre, offsets, tags, from, to)
                       : PlotStarByStar<false, false>(canvas, centre, offsets, tags, from, to);
    }
    return colours ? PlotStarByStar<true, true>(canvas, centre, offsets, tags, from, to)
                   : PlotStarByStar<false, true>(canvas, centre, offsets, tags, from, to);
}

void ReservePlotSlices() {
    const int64_t stars = static_cast<int64_t>(ProjectedStarArray.size());
    if (SliceCount(stars, MinStarsPerSlice) < 2 || CellCount < 0) {
        return;
    }
    const int32_t slices = ThreadCount();  // the most a frame asks for
    const std::size_t stretches = Index(CellCount) + Index(slices);
    // Best effort: a frame that finds them missing tries again, or plots on one thread.
    (void)(HaveFrames(slices) &&
           (ShownCells.size() >= Index(CellCount) || ShownCells.Resize(Index(CellCount))) &&
           (Stretches.size() >= stretches || Stretches.Resize(stretches)));
}

int32_t PlotStarsInSlices(const LockDescription& target, bool colours) {
    LastSlices = 0;
    if (SliceCount(static_cast<int64_t>(ProjectedStarArray.size()), MinStarsPerSlice) < 2) {
        return -1;
    }
    const int64_t shown = ListShownCells();
    if (shown < 0) {
        return -1;
    }
    const int32_t slices = SliceCount(shown, MinStarsPerSlice);
    if (!HaveFrames(slices) || !CutStretches(shown, slices)) {
        return -1;
    }
    std::array<int32_t, MaxThreads> drawn{};
    RunSlices(slices,
              [&](int32_t slice) { drawn[Index(slice)] = PlotSlice(slice, target, colours); });
    if (slices > 1) {
        const int32_t bands = SliceCount(ScreenHeight, 1);
        RunSlices(bands, [&](int32_t band) {
            LayOver(target, slices, static_cast<int32_t>(SliceStart(ScreenHeight, bands, band)),
                    static_cast<int32_t>(SliceStart(ScreenHeight, bands, band + 1)));
        });
    }
    int32_t total = 0;
    for (int32_t slice = 0; slice < slices; ++slice) {
        total += drawn[Index(slice)];
    }
    LastSlices = slices;
    return total;
}

int32_t LastPlotSlices() {
    return LastSlices;
}
