// projection_point.h: the projection of one point, written once for a lone point and for four.
//
// The formulas below are the one definition of the per-point arithmetic: projection.cpp
// instantiates them for T = double, projection_avx2.cpp for T = Double4 and for its leftover
// points, so the two paths cannot drift apart. Both paths are declared here for the test that
// compares them.
#pragma once

#include <cstdint>

#include "view/projection.h"
#include "view/simd.h"

// Parallel projection: P = a S + b U + c F solved by Cramer's rule, no division per point.
template <typename T>
[[gnu::always_inline]] inline Xyz<T> ProjectParallelPoint(const Projector& camera,
                                                          const Xyz<T>& point) {
    const ViewBasis& basis = camera.Basis;
    const Xyz<T> p = Minus(point, camera.Position);
    return {Dot(p, camera.UpCrossForward) * camera.InverseDelta,
            Dot(basis.Side, Cross(p, basis.Forward)) * camera.InverseDelta,
            Dot(basis.Side, Cross(basis.Up, p)) * camera.InverseDelta};
}

// Central projection from the eye E = C - f F onto the plane through C spanned by S and U:
// P = x S + y U + g Q with Q = p - E; depth is the parallel projection's c.
// Delta(i) = det[S, U, Q] = S . (U x Q) is evaluated just as written, sharing U x Q with the
// numerator of x, det[P, U, Q] = P . (U x Q); that is cheaper than expanding Delta(i) into six
// precomputed side-up products, and for the orbit camera (U = (0, 0, 1)) gives the same bits
// as that expansion for every point off the eye plane.
// This order is fixed for good: every cached offset depends on it bit for bit.
template <typename T>
[[gnu::always_inline]] inline Xyz<T> ProjectCentralPoint(const Projector& camera,
                                                         const Xyz<T>& point) {
    const ViewBasis& basis = camera.Basis;
    const Xyz<T> p = Minus(point, camera.Position);
    const Xyz<T> q = Minus(point, camera.Eye);
    const Xyz<T> upCrossQ = Cross(basis.Up, q);
    const T inverseDeltaI = 1.0 / Dot(basis.Side, upCrossQ);
    return {Dot(p, upCrossQ) * inverseDeltaI, Dot(basis.Side, Cross(p, q)) * inverseDeltaI,
            Dot(basis.Side, Cross(basis.Up, p)) * camera.InverseDelta};
}

template <bool Central, typename T>
[[gnu::always_inline]] inline Xyz<T> ProjectPoint(const Projector& camera, const Xyz<T>& point) {
    if constexpr (Central) {
        return ProjectCentralPoint<T>(camera, point);
    } else {
        return ProjectParallelPoint<T>(camera, point);
    }
}

// One point after another: the whole of the plain path, and the AVX2 path's last few points.
template <bool Central>
[[gnu::always_inline]] inline void ProjectOneByOne(const Projector& camera, const Vec3* points,
                                                   ProjectedStar* projected, int32_t fromIndex,
                                                   int32_t toIndex) {
    for (int32_t i = fromIndex; i < toIndex; ++i) {
        const Vec3 out = ProjectPoint<Central, double>(camera, points[i]);
        projected[i] = ProjectedStar{out.x, out.y, out.z};
    }
}

// The two ways of projecting a non-empty range, with the same bits for every input; ProjectRange
// picks one by the CPU. The AVX2 one must only run where the CPU has AVX2.
void ProjectRangeScalar(const Projector& camera, const Vec3* points, ProjectedStar* projected,
                        int32_t fromIndex, int32_t toIndex);
[[gnu::target("avx2")]] void ProjectRangeAvx2(const Projector& camera, const Vec3* points,
                                              ProjectedStar* projected, int32_t fromIndex,
                                              int32_t toIndex);
