// projection.cpp: STUB, replaced by the view work.
#include "view/projection.h"

ViewBasis MakeViewBasis(const Vec3&, const Vec3&) { return ViewBasis{}; }
void ProjectPoints(const Vec3*, ProjectedStar*, Vec3, Vec3, Vec3, double, int32_t, int32_t) {}
