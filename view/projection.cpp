// projection.cpp: Cramer's-rule projection of world points in a possibly oblique camera basis.
//
// This is the plain path, one point at a time; projection_avx2.cpp projects four at a time with
// the same formulas (projection_point.h) and the same bits.
#include "view/projection.h"

#include <cmath>

#include "view/projection_point.h"

namespace {

// det[A, B, E] = A . (B x E): the determinant of the matrix with columns A, B, E.
double Det(const Vec3& a, const Vec3& b, const Vec3& e) {
    return Dot(a, Cross(b, e));
}

// Each component divided by the length. A NaN component gives a NaN length and so a NaN axis;
// we keep that rather than invent a substitute length.
Vec3 Normalised(const Vec3& v) {
    const double length = std::sqrt(Dot(v, v));
    return {v.x / length, v.y / length, v.z / length};
}

// Normalises Direction and Up and derives the side axis and Delta. A NaN component in either
// vector makes every field NaN (the length is NaN and so is every quotient); a zero-length
// vector does the same through 0 / 0.
ViewBasis MakeViewBasis(const Vec3& Direction, const Vec3& Up) {
    ViewBasis basis{};
    basis.Forward = Normalised(Direction);
    basis.Up = Normalised(Up);
    basis.Side = Cross(basis.Forward, basis.Up);
    basis.Delta = Det(basis.Side, basis.Up, basis.Forward);
    return basis;
}

}  // namespace

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

void ProjectRangeScalar(const Projector& camera, const Vec3* points, ProjectedStar* projected,
                        int32_t fromIndex, int32_t toIndex) {
    if (camera.Central) {
        ProjectOneByOne<true>(camera, points, projected, fromIndex, toIndex);
    } else {
        ProjectOneByOne<false>(camera, points, projected, fromIndex, toIndex);
    }
}

void ProjectRange(const Projector& projector, const Vec3* points, ProjectedStar* projected,
                  int32_t fromIndex, int32_t toIndex) {
    if (fromIndex >= toIndex) {
        return;
    }
    if (CpuHasAvx2()) {
        ProjectRangeAvx2(projector, points, projected, fromIndex, toIndex);
    } else {
        ProjectRangeScalar(projector, points, projected, fromIndex, toIndex);
    }
}
