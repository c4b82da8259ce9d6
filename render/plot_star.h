// plot_star.h: one star's pixel: whether it is drawn, where, and its bytes. The plain plot
// (frame.cpp) and the sliced one (plot_slices.cpp) both draw through these, so they cannot
// disagree about a single star.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "display/display.h"
#include "render/palette.h"
#include "view/projection.h"

namespace plot {

// Projected x and y are measured from the screen centre; columns and rows from the top left.
inline constexpr double CentreColumn = ScreenWidth / 2;  // 400
inline constexpr double CentreRow = ScreenHeight / 2;    // 300

// Where a star falls on the screen: its column and row before truncation.
struct ScreenPoint {
    double column;
    double row;
};

inline ScreenPoint Place(const ProjectedStar& centre, const ProjectedStar& offset) {
    return {(centre.x + offset.x) + CentreColumn, (centre.y + offset.y) + CentreRow};
}

// In front of the camera (not behind, on its plane or NaN) and truncating onto the screen:
// exactly the values in (-1, limit) truncate into [0, limit), and NaN fails every comparison.
// One branch for all five comparisons.
inline bool Drawn(double depth, ScreenPoint at) {
    return (depth > 0.0) & (at.column > -1.0) & (at.column < ScreenWidth) & (at.row > -1.0) &
           (at.row < ScreenHeight);
}

// The column and row of a drawn star: Drawn has checked both convert.
inline int32_t Column(ScreenPoint at) {
    return static_cast<int32_t>(at.column);
}
inline int32_t Row(ScreenPoint at) {
    return static_cast<int32_t>(at.row);
}

// The grey level of a star at depth d: -1.0 - d * 0.0001 truncated toward zero, the low 8 bits
// of that integer in two's complement, for any size. An infinite result gives 0.
inline uint8_t GreyLevel(double depth) {
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

}  // namespace plot
