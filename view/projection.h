// projection.h: projection of world points to screen x, y and depth in a camera's basis.
#pragma once

#include <cstdint>

#include "data/star.h"

// Screen x and y from the screen centre (y grows downward) and depth along the view direction.
struct ProjectedStar {
    double x;
    double y;
    double depth;
};

// The axes derived from a camera: forward F, up U (not made perpendicular to F), side S = F x U
// (not normalised), and Delta = det[S, U, F].
struct ViewBasis {
    Vec3 Forward;
    Vec3 Up;
    Vec3 Side;
    double Delta;
};

// What the projection derives from a camera before its first point, so that many ranges can be
// projected with one camera for the cost of one derivation.
struct Projector {
    Vec3 Position;
    Vec3 Eye;  // Position - FocalDistance * Forward (central projection only)
    ViewBasis Basis;
    Vec3 UpCrossForward;  // U x F: det[P, U, F] = P . (U x F) (parallel projection only)
    double InverseDelta;  // 1 / Delta
    bool Central;         // false for a FocalDistance of 0 or NaN
    bool Upright;         // U = (0, 0, 1), as on the orbit: see projection_avx2.cpp
};

// A FocalDistance of 0 or NaN selects the parallel projection, any other the central one from
// the eye point FocalDistance behind Position.
Projector MakeProjector(Vec3 Position, Vec3 Direction, Vec3 Up, double FocalDistance);

// Projects points[fromIndex, toIndex) into projected[fromIndex, toIndex) with the camera of
// `projector`. Touches nothing outside the range; writes nothing when fromIndex >= toIndex. A
// non-empty range must lie within both arrays, and the arrays must not overlap.
void ProjectRange(const Projector& projector, const Vec3* points, ProjectedStar* projected,
                  int32_t fromIndex, int32_t toIndex);
