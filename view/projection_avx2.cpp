// projection_avx2.cpp: the projection, four points at a time in AVX2 lanes.
//
// Each lane runs the per-point formulas of projection_point.h, the same ones projection.cpp runs
// for one point; what this file adds is getting points into lanes and out again, reading ahead,
// and a shorter form for upright cameras that is checked to give the same bits.
#include <immintrin.h>

#include "view/lanes_avx2.h"
#include "view/projection_point.h"

namespace {

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
    Lanes4 next = LoadFourRecords(&points[i].x);
    for (; toIndex - i >= 16; i += 16) {
        Double4 check{1.0, 1.0, 1.0, 1.0};
        for (int32_t k = i; k < i + 16; k += 4) {
            const Lanes4 four = next;
            // Never past the range.
            next = LoadFourRecords(&points[toIndex - k >= 8 ? k + 4 : k].x);
            const ShortProjection projection = ProjectCentralShort(camera, four);
            StoreFourRecords(&projected[k].x, projection.out);
            check *= projection.check;
        }
        // True where check is zero (equal to check - check) or not finite (unordered).
        const __m256d redo = _mm256_cmp_pd(check, check - check, _CMP_EQ_UQ);
        if (_mm256_movemask_pd(redo) != 0) [[unlikely]] {
            for (int32_t k = i; k < i + 16; k += 4) {
                StoreFourRecords(&projected[k].x, ProjectCentralPoint<Double4>(
                                                      camera, LoadFourRecords(&points[k].x)));
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
        const Lanes4 in = LoadFourRecords(&points[i].x);
        StoreFourRecords(&projected[i].x, ProjectPoint<Central, Double4>(local, in));
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
