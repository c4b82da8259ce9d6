// plot_run.h: one run of stars drawn onto a canvas, written twice: plainly, star by star, and
// four stars at a time with AVX2 (plot_avx2.cpp), with the same pixels, marks and count. The
// sliced plot (plot_slices.cpp) picks one by the CPU; both are declared here for the test that
// compares them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/display.h"
#include "view/projection.h"

// Where a run is drawn: pixels of 4 bytes, Pitch bytes from row to row, and, unless null, one
// bit per pixel (MarkWordsPerRow words a row, column c in bit c % 64 of word c / 64) set for
// each pixel written.
struct Canvas {
    uint8_t* Surface;
    std::ptrdiff_t Pitch;
    uint64_t* Marks;
};
inline constexpr std::size_t MarkWordsPerRow = (ScreenWidth + 63) / 64;  // 13: rows start a word

// Sets the mark of the pixel at row, column, which must be on the screen.
inline void MarkPixel(uint64_t* marks, int32_t row, int32_t column) {
    marks[static_cast<std::size_t>(row) * MarkWordsPerRow +
          static_cast<std::size_t>(column / 64)] |= uint64_t{1} << (column % 64);
}

// Draws stars [from, to), each at centre + offsets[star] with tag tags[star], as the plain plot
// draws a star (render/plot_star.h): later stars over earlier. Returns the number written.
int32_t PlotRunScalar(const Canvas& canvas, bool colours, const ProjectedStar& centre,
                      const ProjectedStar* offsets, const uint8_t* tags, int32_t from, int32_t to);
// The same, four stars at a time; only for a CPU with AVX2.
[[gnu::target("avx2")]] int32_t PlotRunAvx2(const Canvas& canvas, bool colours,
                                            const ProjectedStar& centre,
                                            const ProjectedStar* offsets, const uint8_t* tags,
                                            int32_t from, int32_t to);
