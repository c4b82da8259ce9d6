// plot_avx2.cpp: a run of stars plotted four at a time in AVX2 lanes (render/plot_run.h).
//
// The plain run spends most of its time mispredicting whether each star is drawn. Here the four
// stars' positions, tests and grey levels are computed in lanes with the plain run's operations
// in the same order (so the same bits), with the pixels' offsets and values and the marks'
// words and bits; then all four are written without a branch: a star that is not drawn writes
// a scratch pixel and an empty mark instead. The writes go in star order, so of two stars of
// the same four on one pixel the later still wins.
#include <immintrin.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "render/plot_run.h"
#include "render/plot_star.h"
#include "view/lanes_avx2.h"
#include "view/simd.h"

namespace {

static_assert(sizeof(ProjectedStar) == 3 * sizeof(double));

// Four lanes truncated toward zero to 32-bit integers; lanes that do not fit give INT32_MIN,
// which the callers mask out.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i Truncated(Double4 values) {
    return _mm256_cvttpd_epi32(values);
}

// What each of four stars writes: the pixel's byte offset in the canvas and its grey value, and
// the mark word's index and bit. A star that is not drawn gets pixel (0, 0) and no mark bit, so
// every lane names memory of the canvas.
struct FourWrites {
    alignas(16) int32_t offset[4];
    alignas(16) uint32_t grey[4];
    alignas(16) int32_t markWord[4];
    alignas(32) uint64_t markBit[4];
};

// The grey levels of four depths as plot::GreyLevel gives them, in the low byte of each lane;
// the lanes not drawn are 0.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i GreyLevels(const Double4& depth,
                                                                      const Mask4& drawn) {
    const Double4 truncated =
        _mm256_round_pd(-1.0 - depth * 0.0001, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const Mask4 fits = (truncated > -2147483648.0) & (truncated < 2147483648.0);
    if (_mm256_movemask_pd(reinterpret_cast<__m256d>(drawn & ~fits)) == 0) [[likely]] {
        const Double4 zero{};
        return _mm_and_si128(Truncated(drawn ? truncated : zero), _mm_set1_epi32(0xFF));
    }
    // A depth beyond 32 bits of level, or infinite: the plain function, lane by lane.
    const int bits = _mm256_movemask_pd(reinterpret_cast<__m256d>(drawn));
    alignas(16) int32_t levels[4];
    for (int k = 0; k < 4; ++k) {
        levels[k] = ((bits >> k) & 1) != 0 ? plot::GreyLevel(depth[k]) : 0;
    }
    return _mm_load_si128(reinterpret_cast<const __m128i*>(levels));
}

// Fills `writes` for four stars at column, row (before truncation) of the given depths.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i WritesOf(
    const Double4& column, const Double4& row, const Double4& depth, const Mask4& drawn,
    int32_t pitch, FourWrites& writes) {
    const Double4 zero{};
    const __m128i columns = Truncated(drawn ? column : zero);
    const __m128i rows = Truncated(drawn ? row : zero);
    const __m128i offsets =
        _mm_add_epi32(_mm_mullo_epi32(rows, _mm_set1_epi32(pitch)), _mm_slli_epi32(columns, 2));
    const __m128i levels = GreyLevels(depth, drawn);
    _mm_store_si128(reinterpret_cast<__m128i*>(writes.offset), offsets);
    _mm_store_si128(reinterpret_cast<__m128i*>(writes.grey),
                    _mm_mullo_epi32(levels, _mm_set1_epi32(0x010101)));
    const __m128i words =
        _mm_add_epi32(_mm_mullo_epi32(rows, _mm_set1_epi32(static_cast<int32_t>(MarkWordsPerRow))),
                      _mm_srli_epi32(columns, 6));
    _mm_store_si128(reinterpret_cast<__m128i*>(writes.markWord), words);
    const __m256i shifts = _mm256_cvtepi32_epi64(_mm_and_si128(columns, _mm_set1_epi32(63)));
    const __m256i bits = _mm256_and_si256(_mm256_sllv_epi64(_mm256_set1_epi64x(1), shifts),
                                          reinterpret_cast<__m256i>(drawn));
    _mm256_store_si256(reinterpret_cast<__m256i*>(writes.markBit), bits);
    return levels;
}

template <bool Colours, bool Marked>
[[gnu::target("avx2"), gnu::always_inline]] inline int32_t PlotFourAtATime(
    const Canvas& canvas, const ProjectedStar& centre, const ProjectedStar* offsets,
    const uint8_t* tags, int32_t from, int32_t to) {
    uint8_t scratchPixel[4];       // where a star that is not drawn writes: nowhere anyone reads
    const Canvas target = canvas;  // a copy the pixel stores cannot alias
    const auto pitch = static_cast<int32_t>(target.Pitch);
    const double centreX = centre.x, centreY = centre.y;
    int32_t drawnCount = 0;
    int32_t i = from;
    for (; to - i >= 4; i += 4) {
        const Lanes4 star = LoadFourRecords(&offsets[i].x);  // x, y and depth
        // plot::Place and plot::Drawn, lane by lane.
        const Double4 column = (centreX + star.x) + plot::CentreColumn;
        const Double4 row = (centreY + star.y) + plot::CentreRow;
        const Mask4 drawn = (star.z > 0.0) & (column > -1.0) & (column < ScreenWidth) &
                            (row > -1.0) & (row < ScreenHeight);
        const int bits = _mm256_movemask_pd(reinterpret_cast<__m256d>(drawn));
        if (bits == 0) {
            continue;
        }
        FourWrites writes;
        const __m128i levels = WritesOf(column, row, star.z, drawn, pitch, writes);
        alignas(16) int32_t level[4];
        if constexpr (Colours) {
            _mm_store_si128(reinterpret_cast<__m128i*>(level), levels);
        }
        // In star order, so that the later of two stars on one pixel wins.
        for (int k = 0; k < 4; ++k) {
            uint8_t* const pixel =
                ((bits >> k) & 1) != 0 ? target.Surface + writes.offset[k] : scratchPixel;
            if constexpr (Colours) {
                plot::WritePixel<true>(pixel, static_cast<uint8_t>(level[k]), tags[i + k]);
            } else {
                std::memcpy(pixel, &writes.grey[k], 4);
            }
            if constexpr (Marked) {
                target.Marks[writes.markWord[k]] |= writes.markBit[k];
            }
        }
        drawnCount += __builtin_popcount(static_cast<unsigned>(bits));
    }
    return drawnCount + PlotRunScalar(canvas, Colours, centre, offsets, tags, i, to);
}

// The offsets of a canvas of this pitch fit 32-bit lanes.
constexpr std::ptrdiff_t MaxLanePitch = (INT32_MAX - ScreenWidth * 4) / ScreenHeight;

}  // namespace

[[gnu::target("avx2")]] int32_t PlotRunAvx2(const Canvas& canvas, bool colours,
                                            const ProjectedStar& centre,
                                            const ProjectedStar* offsets, const uint8_t* tags,
                                            int32_t from, int32_t to) {
    if (canvas.Pitch < 0 || canvas.Pitch > MaxLanePitch) {
        return PlotRunScalar(canvas, colours, centre, offsets, tags, from, to);
    }
    if (canvas.Marks == nullptr) {
        return colours ? PlotFourAtATime<true, false>(canvas, centre, offsets, tags, from, to)
                       : PlotFourAtATime<false, false>(canvas, centre, offsets, tags, from, to);
    }
    return colours ? PlotFourAtATime<true, true>(canvas, centre, offsets, tags, from, to)
                   : PlotFourAtATime<false, true>(canvas, centre, offsets, tags, from, to);
}
