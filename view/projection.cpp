// projection.cpp: Cramer's-rule projection of world points in a possibly oblique camera basis.
#include "view/projection.h"

#include <cmath>

namespace {

// The point loops are compiled for AVX2 and for the baseline, and the loader picks one at
// start-up. Both only widen the loops (each lane does exactly a lone double's operations, in
// order, with no multiply-add contraction), so both give the same bits.
#define ARCH_CLONES __attribute__((target_clones("avx2", "default")))

Vec3 Minus(const Vec3& a, const Vec3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

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

// Parallel projection: P = a S + b U + c F solved by Cramer's rule, no division per point.
ARCH_CLONES void ProjectParallel(const Vec3* points, ProjectedStar* projected, const Vec3& position,
                                 const ViewBasis& basis, int32_t fromIndex, int32_t toIndex) {
    const Vec3& side = basis.Side;
    const Vec3& up = basis.Up;
    const Vec3& forward = basis.Forward;
    const Vec3 upCrossForward = Cross(up, forward);  // det[P, U, F] = P . (U x F)
    const double inverseDelta = 1.0 / basis.Delta;
    for (int32_t i = fromIndex; i < toIndex; ++i) {
        const Vec3 p = Minus(points[i], position);
        projected[i] =
            ProjectedStar{Dot(p, upCrossForward) * inverseDelta,
                          Det(side, p, forward) * inverseDelta, Det(side, up, p) * inverseDelta};
    }
}

// Central projection from the eye E = C - f F onto the plane through C spanned by S and U:
// P = x S + y U + g Q with Q = p - E; depth is the parallel projection's c.
// Delta(i) = det[S, U, Q] = S . (U x Q) is evaluated just as written, sharing U x Q with the
// numerator of x, det[P, U, Q] = P . (U x Q); that is cheaper than expanding Delta(i) into six
// precomputed side-up products, and for the orbit camera (U = (0, 0, 1)) gives the same bits
// as that expansion for every point off the eye plane.
// This order is fixed for good: every cached offset depends on it bit for bit.
ARCH_CLONES void ProjectCentral(const Vec3* points, ProjectedStar* projected, const Vec3& position,
                                const ViewBasis& basis, double focalDistance, int32_t fromIndex,
                                int32_t toIndex) {
    const Vec3& side = basis.Side;
    const Vec3& up = basis.Up;
    const Vec3& forward = basis.Forward;
    const Vec3 eye{position.x - focalDistance * forward.x, position.y - focalDistance * forward.y,
                   position.z - focalDistance * forward.z};
    const double inverseDelta = 1.0 / basis.Delta;
    for (int32_t i = fromIndex; i < toIndex; ++i) {
        const Vec3 p = Minus(points[i], position);
        const Vec3 q = Minus(points[i], eye);
        const Vec3 upCrossQ = Cross(up, q);
        const double inverseDeltaI = 1.0 / Dot(side, upCrossQ);
        projected[i] =
            ProjectedStar{Dot(p, upCrossQ) * inverseDeltaI, Det(side, p, q) * inverseDeltaI,
                          Det(side, up, p) * inverseDelta};
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

void ProjectPoints(const Vec3* points, ProjectedStar* projected, Vec3 Position, Vec3 Direction,
                   Vec3 Up, double FocalDistance, int32_t fromIndex, int32_t toIndex) {
    if (fromIndex >= toIndex) {
        return;
    }
    const ViewBasis basis = MakeViewBasis(Direction, Up);
    if (FocalDistance == 0.0 || std::isnan(FocalDistance)) {
        ProjectParallel(points, projected, Position, basis, fromIndex, toIndex);
    } else {
        ProjectCentral(points, projected, Position, basis, FocalDistance, fromIndex, toIndex);
    }
}
