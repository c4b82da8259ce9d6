// lanes_avx2.h: four consecutive records of three doubles (Vec3, ProjectedStar) to and from x,
// y and z lanes, for the AVX2 loops of the projection, the cache and the renderer.
#pragma once

#include <immintrin.h>

#include "view/simd.h"

// Four consecutive x y z records (12 doubles in three loads) as x, y and z lanes.
[[gnu::target("avx2"), gnu::always_inline]] inline Lanes4 LoadFourRecords(const double* at) {
    const __m256d r0 = _mm256_loadu_pd(at);                  // x0 y0 z0 x1
    const __m256d r1 = _mm256_loadu_pd(at + 4);              // y1 z1 x2 y2
    const __m256d r2 = _mm256_loadu_pd(at + 8);              // z2 x3 y3 z3
    const __m256d a = _mm256_permute2f128_pd(r0, r1, 0x30);  // x0 y0 x2 y2
    const __m256d b = _mm256_permute2f128_pd(r0, r2, 0x21);  // z0 x1 z2 x3
    const __m256d c = _mm256_permute2f128_pd(r1, r2, 0x30);  // y1 z1 y3 z3
    return {_mm256_blend_pd(a, b, 0b1010), _mm256_shuffle_pd(a, c, 0b0101),
            _mm256_blend_pd(b, c, 0b1010)};
}

// The inverse of LoadFourRecords: x, y and z lanes back to four consecutive records.
[[gnu::target("avx2"), gnu::always_inline]] inline void StoreFourRecords(double* at,
                                                                         const Lanes4& v) {
    const __m256d a = _mm256_shuffle_pd(v.x, v.y, 0b0000);  // x0 y0 x2 y2
    const __m256d b = _mm256_shuffle_pd(v.z, v.x, 0b1010);  // z0 x1 z2 x3
    const __m256d c = _mm256_shuffle_pd(v.y, v.z, 0b1111);  // y1 z1 y3 z3
    _mm256_storeu_pd(at, _mm256_permute2f128_pd(a, b, 0x20));
    _mm256_storeu_pd(at + 4, _mm256_permute2f128_pd(c, a, 0x30));
    _mm256_storeu_pd(at + 8, _mm256_permute2f128_pd(b, c, 0x31));
}
