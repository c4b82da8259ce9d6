// frame.cpp: the frame renderer: cache update, camera step, clear, star plot, overlay, flip.
#include "render/frame.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "data/cells.h"
#include "data/star.h"
#include "render/frame_rate.h"
#include "render/palette.h"
#include "view/cache.h"
#include "view/camera.h"

LockDescription LockDesc{};
BltEffects ClearFx{};

namespace {

constexpr Rect ClearArea{0, 0, ScreenWidth, ScreenHeight};
// Projected x and y are measured from the screen centre; columns and rows from the top left.
constexpr double CentreColumn = ScreenWidth / 2;  // 400
constexpr double CentreRow = ScreenHeight / 2;    // 300

int32_t DrawnStars = 0;      // stars written to the back buffer by the last frame
bool ColouredStars = false;  // stars drawn in their class's colour rather than grey

// The grey level of a star at depth d: -1.0 - d * 0.0001 truncated toward zero, the low 8 bits
// of that integer in two's complement, for any size. An infinite result gives 0.
uint8_t GreyLevel(double depth) {
    const double truncated = std::trunc(-1.0 - depth * 0.0001);
    if (!std::isfinite(truncated)) {
        return 0;  // no integer to take bits from: the farthest possible star, drawn black
    }
    if (truncated > -2147483648.0 && truncated < 2147483648.0) {
        // The common case: the integer conversion is exact, and the unsigned view of the
        // result has the same low 8 bits as two's complement.
        return static_cast<uint8_t>(static_cast<uint32_t>(static_cast<int32_t>(truncated)));
    }
    // Beyond 32 bits: fmod is exact, giving the remainder mod 256 with the dividend's sign.
    const double remainder = std::fmod(truncated, 256.0);
    return static_cast<uint8_t>(remainder < 0.0 ? remainder + 256.0 : remainder);
}

// The pixel of a star of grey level `level` and colour class `tag`: B, G, R and an unused byte.
// Grey unless star colours are on (the template's choice, so the grey loop stays as it was).
template <bool Colours>
void WritePixel(uint8_t* pixel, uint8_t level, uint8_t tag) {
    if constexpr (Colours) {
        const StarColour colour = StarPalette[tag];
        const uint8_t bytes[4] = {ShadeChannel(colour.blue, level),
                                  ShadeChannel(colour.green, level),
                                  ShadeChannel(colour.red, level), 0};
        std::memcpy(pixel, bytes, sizeof bytes);
    } else {
        const uint8_t bytes[4] = {level, level, level, 0};
        std::memcpy(pixel, bytes, sizeof bytes);
    }
}

// Writes every star in front of the camera into the buffer LockDesc describes, later stars
// over earlier, and counts them.
template <bool Colours>
void PlotStars() {
    int32_t drawn = 0;
    uint8_t* const surface = LockDesc.Surface;
    const std::ptrdiff_t pitch = LockDesc.Pitch;
    const auto stars = static_cast<int32_t>(std::min(ProjectedStarArray.size(), StarTag.size()));
    const size_t cells = std::min(
        {static_cast<size_t>(std::max(CellCount, 0)), CellTable.size(), ProjectedCentre.size()});
    for (size_t cell = 0; cell < cells; ++cell) {
        const ProjectedStar centre = ProjectedCentre[cell];
        const int32_t first = std::max(CellTable[cell].FirstStar, 0);
        const int32_t end = std::min(CellTable[cell].EndStar, stars);
        for (int32_t star = first; star < end; ++star) {
            const ProjectedStar& projected = ProjectedStarArray[static_cast<size_t>(star)];
            const double column = (centre.x + projected.x) + CentreColumn;
            const double row = (centre.y + projected.y) + CentreRow;
            // In front of the camera (not behind, on its plane or NaN) and truncating onto the
            // screen: exactly the values in (-1, limit) truncate into [0, limit), and NaN fails
            // every comparison. One branch for all five comparisons.
            if (!((projected.depth > 0.0) & (column > -1.0) & (column < ScreenWidth) &
                  (row > -1.0) & (row < ScreenHeight))) {
                continue;
            }
            WritePixel<Colours>(surface +
                                    static_cast<std::ptrdiff_t>(static_cast<int32_t>(row)) * pitch +
                                    static_cast<std::ptrdiff_t>(static_cast<int32_t>(column)) * 4,
                                GreyLevel(projected.depth), StarTag[static_cast<size_t>(star)]);
            ++drawn;
        }
    }
    DrawnStars = drawn;
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
        if (ColouredStars) {
            PlotStars<true>();
        } else {
            PlotStars<false>();
        }
        BackBuffer->Unlock();
    }
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
