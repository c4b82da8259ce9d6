// projection_avx2.cpp: the projection, four points at a time in AVX2 lanes.
//
// Each lane runs the per-point formulas of projection_point.h, the same ones projection.cpp runs
// for one point; what this file adds is getting points into lanes and out again, reading ahead,
// and a shorter form for upright cameras that is checked to give the same bits.
#include <immintrin.h>

#include "view/projection_point.h"

namespace {

// Four consecutive x y z records (12 doubles in three loads) as x, y and z lanes.
[[gnu::target("avx2"), gnu::always_inline]] inline Lanes4 LoadFour(const double* at) {
    const __m256d r0 = _mm256_loadu_pd(at);                  // x0 y0 z0 x1
    const __m256d r1 = _mm256_loadu_pd(at + 4);              // y1 z1 x2 y2
    const __m256d r2 = _mm256_loadu_pd(at + 8);              // z2 x3 y3 z3
    const __m256d a = _mm256_permute2f128_pd(r0, r1, 0x30);  // x0 y0 x2 y2
    const __m256d b = _mm256_permute2f128_pd(r0, r2, 0x21);  // z0 x1 z2 x3
    const __m256d c = _mm256_permute2f128_pd(r1, r2, 0x30);  // y1 z1 y3 z3
    return {_mm256_blend_pd(a, b, 0b1010), _mm256_shuffle_pd(a, c, 0b0101),
            _mm256_blend_pd(b, c, 0b1010)};
}

// The inverse of LoadFour: x, y and z lanes back to four consecutive records.
[[gnu::target("avx2"), gnu::always_inline]] inline void StoreFour(double* at, const Lanes4& v) {
    const __m256d a = _mm256_shuffle_pd(v.x, v.y, 0b0000);  // x0 y0 x2 y2
    const __m256d b = _mm256_shuffle_pd(v.z, v.x, 0b1010);  // z0 x1 z2 x3
    const __m256d c = _mm256_shuffle_pd(v.y, v.z, 0b1111);  // y1 z1 y3 z3
    _mm256_storeu_pd(at, _mm256_permute2f128_pd(a, b, 0x20));
    _mm256_storeu_pd(at + 4, _mm256_permute2f128_pd(c, a, 0x30));
    _mm256_storeu_pd(at + 8, _mm256_permute2f128_pd(b, c, 0x31));
}

// Vec3 and ProjectedStar are three packed doubles each, so a run of them is a run of doubles.
static_assert(sizeof(Vec3) == 3 * sizeof(double) && sizeof(ProjectedStar) == 3 * sizeof(double));

// The central projection of an upright camera, U = (0, 0, 1), with every term that multiplies a
// zero component of U or of S left out (S.z = F.x 0 - F.y 0 is zero, or NaN for a NaN forward
// axis, which the check below catches). For finite values such a term is a zero, and adding a
// zero to a non-zero sum changes nothing; U.z = 1 multiplies exactly, and negating a factor
// negates its product exactly, so S . (U x Q) = S.x (0 Q.z - Q.y) + S.y (Q.x - 0 Q.z) + S.z (..)
// becomes S.y Q.x - S.x Q.y with the same products. So when every output is finite and non-zero
// the short form has the full form's bits: no sum was zero, and no point or camera value was
// infinite or NaN (one would have made y so through P x Q). Check is x * y * depth: finite and
// non-zero exactly when the outputs may be kept (an overflow or underflow in it only sends the
// points to the full form).
struct ShortProjection {
    Lanes4 out;
    Double4 check;
};

[[gnu::always_inline]] inline ShortProjection ProjectCentralShort(const Projector& camera,
                                                                  const Lanes4& point) {
    const Vec3& side = camera.Basis.Side;
    const Lanes4 p = Minus(point, camera.Position);
    const Lanes4 q = Minus(point, camera.Eye);
    const Double4 inverseDeltaI = 1.0 / (side.y * q.x - side.x * q.y);
    const Double4 yNumerator = side.x * (p.y * q.z - p.z * q.y) + side.y * (p.z * q.x - p.x * q.z);
    const Lanes4 out{(p.y * q.x - p.x * q.y) * inverseDeltaI, yNumerator * inverseDeltaI,
                     (side.y * p.x - side.x * p.y) * camera.InverseDelta};
    return {out, out.x * out.y * out.z};
}

// Sixteen points per step in the short form, checked once per step: any output of the sixteen
// that is zero or not finite sends all sixteen through the full form again (re-reading them,
// hence no overlap between the arrays). Each four points are read and transposed one turn before
// they are projected, which takes the transposes off the critical path. Returns the index of the
// first point left over.
[[gnu::target("avx2"), gnu::always_inline]] inline int32_t ProjectUprightSixteenAtATime(
    const Projector& camera, const Vec3* points, ProjectedStar* projected, int32_t fromIndex,
    int32_t toIndex) {
    int32_t i = fromIndex;
    if (toIndex - i < 16) {
        return i;
    }
    Lanes4 next = LoadFour(&points[i].x);
    for (; toIndex - i >= 16; i += 16) {
        Double4 check{1.0, 1.0, 1.0, 1.0};
        for (int32_t k = i; k < i + 16; k += 4) {
            const Lanes4 four = next;
            next = LoadFour(&points[toIndex - k >= 8 ? k + 4 : k].x);  // never past the range
            const ShortProjection projection = ProjectCentralShort(camera, four);
            StoreFour(&projected[k].x, projection.out);
            check *= projection.check;
        }
        // True where check is zero (equal to check - check) or not finite (unordered).
        const __m256d redo = _mm256_cmp_pd(check, check - check, _CMP_EQ_UQ);
        if (_mm256_movemask_pd(redo) != 0) [[unlikely]] {
            for (int32_t k = i; k < i + 16; k += 4) {
                StoreFour(&projected[k].x,
                          ProjectCentralPoint<Double4>(camera, LoadFour(&points[k].x)));
            }
        }
    }
    return i;
}

template <bool Central>
[[gnu::target("avx2"), gnu::always_inline]] inline void ProjectFourAtATime(const Projector& camera,
                                                                           const Vec3* points,
                                                                           ProjectedStar* projected,
                                                                           int32_t fromIndex,
                                                                           int32_t toIndex) {
    // A copy the stores cannot alias, so its constants stay in registers through the loop.
    const Projector local = camera;
    int32_t i = fromIndex;
    if constexpr (Central) {
        if (local.Upright) {
            i = ProjectUprightSixteenAtATime(local, points, projected, i, toIndex);
        }
    }
    for (; toIndex - i >= 4; i += 4) {
        const Lanes4 in = LoadFour(&points[i].x);
        StoreFour(&projected[i].x, ProjectPoint<Central, Double4>(local, in));
    }
    ProjectOneByOne<Central>(local, points, projected, i, toIndex);
}

}  // namespace

[[gnu::target("avx2")]] void ProjectRangeAvx2(const Projector& camera, const Vec3* points,
                                              ProjectedStar* projected, int32_t fromIndex,
                                              int32_t toIndex) {
    if (camera.Central) {
        ProjectFourAtATime<true>(camera, points, projected, fromIndex, toIndex);
    } else {
        ProjectFourAtATime<false>(camera, points, projected, fromIndex, toIndex);
    }
}
