// frame.cpp: the frame renderer: cache update, camera step, clear, star plot, overlay, flip.
#include "render/frame.h"

#include <algorithm>
#include <cstddef>

#include "data/cells.h"
#include "data/star.h"
#include "render/frame_rate.h"
#include "render/plot.h"
#include "render/plot_star.h"
#include "view/cache.h"
#include "view/camera.h"

LockDescription LockDesc{};
BltEffects ClearFx{};

namespace {

constexpr Rect ClearArea{0, 0, ScreenWidth, ScreenHeight};

int32_t DrawnStars = 0;      // stars written to the back buffer by the last frame
bool ColouredStars = false;  // stars drawn in their class's colour rather than grey

// Writes every star in front of the camera into the target, later stars over earlier, and
// counts them.
template <bool Colours>
int32_t PlotStars(const LockDescription& target) {
    int32_t drawn = 0;
    uint8_t* const surface = target.Surface;
    const std::ptrdiff_t pitch = target.Pitch;
    const auto stars = static_cast<int32_t>(std::min(ProjectedStarArray.size(), StarTag.size()));
    const size_t cells = std::min(
        {static_cast<size_t>(std::max(CellCount, 0)), CellTable.size(), ProjectedCentre.size()});
    for (size_t cell = 0; cell < cells; ++cell) {
        const ProjectedStar centre = ProjectedCentre[cell];
        const int32_t first = std::max(CellTable[cell].FirstStar, 0);
        const int32_t end = std::min(CellTable[cell].EndStar, stars);
        for (int32_t star = first; star < end; ++star) {
            const ProjectedStar& projected = ProjectedStarArray[static_cast<size_t>(star)];
            const plot::ScreenPoint at = plot::Place(centre, projected);
            if (!plot::Drawn(projected.depth, at)) {
                continue;
            }
            plot::WritePixel<Colours>(surface + static_cast<std::ptrdiff_t>(plot::Row(at)) * pitch +
                                          static_cast<std::ptrdiff_t>(plot::Column(at)) * 4,
                                      plot::GreyLevel(projected.depth),
                                      StarTag[static_cast<size_t>(star)]);
            ++drawn;
        }
    }
    return drawn;
}

}  // namespace

void PrepareFrameRecords() {
    LockDesc = LockDescription{};
    ClearFx = BltEffects{};
    ClearFx.FillColor = 0;  // black
}

void RenderFrame() {
    MarkCells();
    ReprojectCells();
    DrawFrame();
    PrimarySurface->Flip();
}

void DrawFrame() {
    StepCamera();
    ClearAndPlot();
    DrawFrameRate();
}

void ClearAndPlot() {
    BackBuffer->Blt(ClearArea, ClearFx);
    DrawnStars = 0;
    if (BackBuffer->Lock(LockDesc) == DisplayOk) {
        const int32_t sliced = PlotStarsInSlices(LockDesc, ColouredStars);
        DrawnStars = sliced >= 0 ? sliced : PlotStarsPlainly(LockDesc, ColouredStars);
        BackBuffer->Unlock();
    }
}

int32_t PlotStarsPlainly(const LockDescription& target, bool colours) {
    return colours ? PlotStars<true>(target) : PlotStars<false>(target);
}

int32_t DrawnStarCount() {
    return DrawnStars;
}

void SetStarColours(bool on) {
    ColouredStars = on;
}

void ResetFrame() {
    PrepareFrameRecords();
    DrawnStars = 0;
    ColouredStars = false;
}
