// projection.cpp: Cramer's-rule projection of world points in a possibly oblique camera basis.
#include "view/projection.h"

#include <immintrin.h>

#include <cmath>
#include <cstddef>

namespace {

Vec3 Cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Summed x, then y, then z.
double Dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// det[A, B, E] = A . (B x E): the determinant of the matrix with columns A, B, E.
double Det(const Vec3& a, const Vec3& b, const Vec3& e) {
    return Dot(a, Cross(b, e));
}

// Each component divided by the length. A NaN component gives a NaN length and so a NaN axis;
// we keep that rather than invent a substitute length.
Vec3 Normalised(const Vec3& v) {
    const double length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

// Four doubles in one AVX register; unlike __m256d it may be a template argument.
using Double4 = double __attribute__((vector_size(32)));

// The helpers below are always inlined, so passing Double4 by value never crosses a call and
// the ABI note GCC gives for code compiled without AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

// The per-point arithmetic below is written once for T = double and T = four doubles in AVX2
// lanes. Every lane does exactly a lone point's operations in the same order, and -ffp-contract
// =off keeps multiply and add apart, so both give the same bits.
template <typename T>
struct Lanes {
    T x;
    T y;
    T z;
};

// Minus, Cross and Dot of the helpers above, with lanes in place of one or both vectors.
template <typename T>
[[gnu::always_inline]] inline Lanes<T> LanesMinus(const Lanes<T>& p, const Vec3& origin) {
    return {p.x - origin.x, p.y - origin.y, p.z - origin.z};
}

template <typename T>
[[gnu::always_inline]] inline Lanes<T> AxisCross(const Vec3& a, const Lanes<T>& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

template <typename T>
[[gnu::always_inline]] inline Lanes<T> CrossAxis(const Lanes<T>& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

template <typename T>
[[gnu::always_inline]] inline Lanes<T> LanesCross(const Lanes<T>& a, const Lanes<T>& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

template <typename T>
[[gnu::always_inline]] inline T AxisDot(const Vec3& a, const Lanes<T>& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

template <typename T>
[[gnu::always_inline]] inline T LanesDot(const Lanes<T>& a, const Lanes<T>& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

template <typename T>
[[gnu::always_inline]] inline T LanesDot(const Lanes<T>& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// Parallel projection: P = a S + b U + c F solved by Cramer's rule, no division per point.
template <typename T>
[[gnu::always_inline]] inline Lanes<T> ProjectParallelPoint(const Projector& camera,
                                                            const Lanes<T>& point) {
    const ViewBasis& basis = camera.Basis;
    const Lanes<T> p = LanesMinus(point, camera.Position);
    return {LanesDot(p, camera.UpCrossForward) * camera.InverseDelta,
            AxisDot(basis.Side, CrossAxis(p, basis.Forward)) * camera.InverseDelta,
            AxisDot(basis.Side, AxisCross(basis.Up, p)) * camera.InverseDelta};
}

// Central projection from the eye E = C - f F onto the plane through C spanned by S and U:
// P = x S + y U + g Q with Q = p - E; depth is the parallel projection's c.
// Delta(i) = det[S, U, Q] = S . (U x Q) is evaluated just as written, sharing U x Q with the
// numerator of x, det[P, U, Q] = P . (U x Q); that is cheaper than expanding Delta(i) into six
// precomputed side-up products, and for the orbit camera (U = (0, 0, 1)) gives the same bits
// as that expansion for every point off the eye plane.
// This order is fixed for good: every cached offset depends on it bit for bit.
template <typename T>
[[gnu::always_inline]] inline Lanes<T> ProjectCentralPoint(const Projector& camera,
                                                           const Lanes<T>& point) {
    const ViewBasis& basis = camera.Basis;
    const Lanes<T> p = LanesMinus(point, camera.Position);
    const Lanes<T> q = LanesMinus(point, camera.Eye);
    const Lanes<T> upCrossQ = AxisCross(basis.Up, q);
    const T inverseDeltaI = 1.0 / AxisDot(basis.Side, upCrossQ);
    return {LanesDot(p, upCrossQ) * inverseDeltaI,
            AxisDot(basis.Side, LanesCross(p, q)) * inverseDeltaI,
            AxisDot(basis.Side, AxisCross(basis.Up, p)) * camera.InverseDelta};
}

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
template <typename T>
struct ShortProjection {
    Lanes<T> out;
    T check;
};

template <typename T>
[[gnu::always_inline]] inline ShortProjection<T> ProjectCentralShort(const Projector& camera,
                                                                     const Lanes<T>& point) {
    const Vec3& side = camera.Basis.Side;
    const Lanes<T> p = LanesMinus(point, camera.Position);
    const Lanes<T> q = LanesMinus(point, camera.Eye);
    const T inverseDeltaI = 1.0 / (side.y * q.x - side.x * q.y);
    const T yNumerator = side.x * (p.y * q.z - p.z * q.y) + side.y * (p.z * q.x - p.x * q.z);
    const Lanes<T> out{(p.y * q.x - p.x * q.y) * inverseDeltaI, yNumerator * inverseDeltaI,
                       (side.y * p.x - side.x * p.y) * camera.InverseDelta};
    return {out, out.x * out.y * out.z};
}

template <bool Central, typename T>
[[gnu::always_inline]] inline Lanes<T> ProjectPoint(const Projector& camera,
                                                    const Lanes<T>& point) {
    if constexpr (Central) {
        return ProjectCentralPoint(camera, point);
    } else {
        return ProjectParallelPoint(camera, point);
    }
}

template <bool Central>
[[gnu::always_inline]] inline void ProjectScalar(const Projector& camera, const Vec3* points,
                                                 ProjectedStar* projected, int32_t fromIndex,
                                                 int32_t toIndex) {
    for (int32_t i = fromIndex; i < toIndex; ++i) {
        const Vec3& point = points[i];
        const Lanes<double> out =
            ProjectPoint<Central>(camera, Lanes<double>{point.x, point.y, point.z});
        projected[i] = ProjectedStar{out.x, out.y, out.z};
    }
}

// Four consecutive x y z records (12 doubles in three loads) as x, y and z lanes.
[[gnu::target("avx2"), gnu::always_inline]] inline Lanes<Double4> LoadFour(const double* at) {
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
[[gnu::target("avx2"), gnu::always_inline]] inline void StoreFour(double* at,
                                                                  const Lanes<Double4>& v) {
    const __m256d a = _mm256_shuffle_pd(v.x, v.y, 0b0000);  // x0 y0 x2 y2
    const __m256d b = _mm256_shuffle_pd(v.z, v.x, 0b1010);  // z0 x1 z2 x3
    const __m256d c = _mm256_shuffle_pd(v.y, v.z, 0b1111);  // y1 z1 y3 z3
    _mm256_storeu_pd(at, _mm256_permute2f128_pd(a, b, 0x20));
    _mm256_storeu_pd(at + 4, _mm256_permute2f128_pd(c, a, 0x30));
    _mm256_storeu_pd(at + 8, _mm256_permute2f128_pd(b, c, 0x31));
}

// Vec3 and ProjectedStar are three packed doubles each, so a run of them is a run of doubles.
static_assert(sizeof(Vec3) == 3 * sizeof(double) && sizeof(ProjectedStar) == 3 * sizeof(double));

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
    Lanes<Double4> next = LoadFour(&points[i].x);
    for (; toIndex - i >= 16; i += 16) {
        Double4 check{1.0, 1.0, 1.0, 1.0};
        for (int32_t k = i; k < i + 16; k += 4) {
            const Lanes<Double4> four = next;
            next = LoadFour(&points[toIndex - k >= 8 ? k + 4 : k].x);  // never past the range
            const ShortProjection<Double4> projection = ProjectCentralShort(camera, four);
            StoreFour(&projected[k].x, projection.out);
            check *= projection.check;
        }
        // True where check is zero (equal to check - check) or not finite (unordered).
        const __m256d redo = _mm256_cmp_pd(check, check - check, _CMP_EQ_UQ);
        if (_mm256_movemask_pd(redo) != 0) [[unlikely]] {
            for (int32_t k = i; k < i + 16; k += 4) {
                StoreFour(&projected[k].x, ProjectCentralPoint(camera, LoadFour(&points[k].x)));
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
        const Lanes<Double4> in = LoadFour(&points[i].x);
        StoreFour(&projected[i].x, ProjectPoint<Central>(local, in));
    }
    ProjectScalar<Central>(local, points, projected, i, toIndex);
}

// Picked once at load time by the CPU: AVX2 takes four points per step, other processors one.
[[gnu::target("default")]] void ProjectLoop(const Projector& camera, const Vec3* points,
                                            ProjectedStar* projected, int32_t fromIndex,
                                            int32_t toIndex) {
    if (camera.Central) {
        ProjectScalar<true>(camera, points, projected, fromIndex, toIndex);
    } else {
        ProjectScalar<false>(camera, points, projected, fromIndex, toIndex);
    }
}

[[gnu::target("avx2")]] void ProjectLoop(const Projector& camera, const Vec3* points,
                                         ProjectedStar* projected, int32_t fromIndex,
                                         int32_t toIndex) {
    if (camera.Central) {
        ProjectFourAtATime<true>(camera, points, projected, fromIndex, toIndex);
    } else {
        ProjectFourAtATime<false>(camera, points, projected, fromIndex, toIndex);
    }
}

}  // namespace

ViewBasis MakeViewBasis(const Vec3& Direction, const Vec3& Up) {
    ViewBasis basis{};
    basis.Forward = Normalised(Direction);
    basis.Up = Normalised(Up);
    basis.Side = Cross(basis.Forward, basis.Up);
    basis.Delta = Det(basis.Side, basis.Up, basis.Forward);
    return basis;
}

Projector MakeProjector(Vec3 Position, Vec3 Direction, Vec3 Up, double FocalDistance) {
    Projector camera{};
    camera.Position = Position;
    camera.Basis = MakeViewBasis(Direction, Up);
    const Vec3& forward = camera.Basis.Forward;
    camera.Eye = {Position.x - FocalDistance * forward.x, Position.y - FocalDistance * forward.y,
                  Position.z - FocalDistance * forward.z};
    camera.UpCrossForward = Cross(camera.Basis.Up, forward);
    camera.InverseDelta = 1.0 / camera.Basis.Delta;
    camera.Central = !(FocalDistance == 0.0 || std::isnan(FocalDistance));
    const ViewBasis& basis = camera.Basis;
    camera.Upright = basis.Up.x == 0.0 && basis.Up.y == 0.0 && basis.Up.z == 1.0;
    return camera;
}

void ProjectRange(const Projector& projector, const Vec3* points, ProjectedStar* projected,
                  int32_t fromIndex, int32_t toIndex) {
    if (fromIndex >= toIndex) {
        return;
    }
    ProjectLoop(projector, points, projected, fromIndex, toIndex);
}

void ProjectPoints(const Vec3* points, ProjectedStar* projected, Vec3 Position, Vec3 Direction,
                   Vec3 Up, double FocalDistance, int32_t fromIndex, int32_t toIndex) {
    if (fromIndex >= toIndex) {
        return;
    }
    ProjectLoop(MakeProjector(Position, Direction, Up, FocalDistance), points, projected, fromIndex,
                toIndex);
}
