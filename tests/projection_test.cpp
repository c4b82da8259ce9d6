// projection_test.cpp: the camera's orbit; the projection against closed forms and the literal
// formulas, and its AVX2 path against its plain one, bit for bit.
#include "view/projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "view/camera.h"
#include "view/projection_point.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

struct TestCamera {
    Vec3 position;
    Vec3 direction;
    Vec3 up;
    double focal;
};

Projector Prepare(const TestCamera& camera) {
    return MakeProjector(camera.position, camera.direction, camera.up, camera.focal);
}

// Bit for bit, except that any NaN matches any NaN: its sign and payload carry no meaning.
bool SameValues(const ProjectedStar& a, const ProjectedStar& b) {
    const auto same = [](double u, double v) {
        return std::memcmp(&u, &v, sizeof u) == 0 || (std::isnan(u) && std::isnan(v));
    };
    return same(a.x, b.x) && same(a.y, b.y) && same(a.depth, b.depth);
}

double Triple(const Vec3& a, const Vec3& b, const Vec3& c) {  // a . (b x c)
    return a.x * (b.y * c.z - b.z * c.y) + a.y * (b.z * c.x - b.x * c.z) +
           a.z * (b.x * c.y - b.y * c.x);
}

Vec3 Unit(const Vec3& v) {
    const double length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

// The projection written out term by term, one point at a time, as a check on both paths.
ProjectedStar ReferenceProject(const TestCamera& camera, const Vec3& p) {
    const Vec3 f = Unit(camera.direction), u = Unit(camera.up), c = camera.position;
    const Vec3 s{f.y * u.z - f.z * u.y, f.z * u.x - f.x * u.z, f.x * u.y - f.y * u.x};
    const double inverseDelta = 1.0 / Triple(s, u, f);
    const Vec3 d{p.x - c.x, p.y - c.y, p.z - c.z};
    const double depth = Triple(s, u, d) * inverseDelta, focal = camera.focal;
    if (focal == 0.0 || std::isnan(focal)) {
        return {Triple(d, u, f) * inverseDelta, Triple(s, d, f) * inverseDelta, depth};
    }
    const Vec3 q{p.x - (c.x - focal * f.x), p.y - (c.y - focal * f.y), p.z - (c.z - focal * f.z)};
    const double r = 1.0 / Triple(s, u, q);
    return {Triple(d, u, q) * r, Triple(s, d, q) * r, depth};
}

using Path = void (*)(const Projector&, const Vec3*, ProjectedStar*, int32_t, int32_t);
constexpr ProjectedStar Sentinel{12345.678, -1.0, 9.0};

// points[from, to) projected by `path`, or by the reference for a null path, over a
// sentinel-filled output.
std::vector<ProjectedStar> ProjectWith(Path path, const TestCamera& camera,
                                       const std::vector<Vec3>& points, int32_t from, int32_t to) {
    std::vector<ProjectedStar> projected(points.size(), Sentinel);
    if (path != nullptr) {
        path(Prepare(camera), points.data(), projected.data(), from, to);
    }
    for (int32_t i = from; path == nullptr && i < to; ++i) {
        projected[std::size_t(i)] = ReferenceProject(camera, points[std::size_t(i)]);
    }
    return projected;
}

ProjectedStar ProjectOne(const TestCamera& camera, const Vec3& point) {
    return ProjectWith(ProjectRange, camera, {point}, 0, 1)[0];
}

// The camera after its first step, as the viewer flies it.
TestCamera FirstStepCamera() {
    ResetCamera();
    StepCamera();
    const TestCamera camera{Camera.Position, Camera.Direction, Camera.Up, Camera.FocalDistance};
    ResetCamera();
    return camera;
}

// Past the frames the checksums pin bit for bit (frame_test.cpp): the orbit stays in its plane
// and on its circle, its angle added up and never wrapped.
TEST(Camera, OrbitKeepsItsPlaneAndCircleAndAnUnwrappedAngle) {
    ResetCamera();
    for (int n = 1; n <= 13000; ++n) {
        StepCamera();
        ASSERT_TRUE(Camera.Position.z == 0.0 && Camera.Direction.z == 0.0);
        ASSERT_TRUE(Camera.Up.x == 0.0 && Camera.Up.y == 0.0 && Camera.Up.z == 1.0);
        ASSERT_EQ(Camera.FocalDistance, 1000.0);
        ASSERT_NEAR(std::hypot(Camera.Position.x + 521293.9, Camera.Position.y - 877702.4),
                    1000000.01, 1.0);
    }
    EXPECT_GT(Camera.OrbitAngle, 5.9);  // past a full turn from -0.5
    ResetCamera();
}

// The viewer's own camera; upright ones (up along +z, which the AVX2 path takes in a short form)
// on the special coordinates of AwkwardPoints, with no forward axis or one along up, and anywhere
// looking level or tilted; others with a zero or NaN up or a grid point in the eye plane; then
// random ones: parallel, the viewer's focal distance, any other, and NaN (parallel too), in turn.
std::vector<TestCamera> AwkwardCameras() {
    std::vector<TestCamera> cameras{FirstStepCamera(),
                                    {{0, 0, 0}, {1, 0, 0}, {0, 0, 1}, 1000.0},
                                    {{1, 1, -0.0}, {-0.0, -3, 0}, {0, 0, 2}, 500.0},
                                    {{1, 1, 0}, {NaN, 1, 0}, {0, 0, 1}, 1000.0},
                                    {{0, 0, 0}, {0, 0, 0}, {0, 0, 1}, 1000.0},
                                    {{0, 0, 0}, {0, 0, 2}, {0, 0, 1}, 0.0},
                                    {{0, 0, 0}, {0, 0, 2}, {0, 0, 1}, 1000.0},
                                    {{0, 0, 0}, {1, 0, 0}, {0, 0, 0}, 0.0},
                                    {{0, 0, 0}, {1, 0, 0}, {0, NaN, 1}, 1000.0},
                                    {{0, 0, 0}, {1, 0, 0}, {0, 0, NaN}, 0.0},
                                    {{0, 0, 0}, {2, 0, 0}, {1, 0, 1}, 1.0}};
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> at(-2e6, 2e6), axis(-3.0, 3.0), angle(-4.0, 4.0);
    for (int n = 0; n < 6; ++n) {
        const double a = angle(random);
        cameras.push_back({{at(random), at(random), n % 2 ? 0.0 : at(random)},
                           {std::cos(a), std::sin(a), n % 3 ? 0.0 : a},
                           {0, 0, 1},
                           1000.0});
    }
    for (int n = 0; n < 60; ++n) {
        const double focals[] = {0.0, 1000.0, axis(random) * 500.0, NaN};
        cameras.push_back({{at(random), at(random), at(random)},
                           {axis(random), axis(random), axis(random)},
                           {axis(random), axis(random), axis(random)},
                           focals[n % 4]});
    }
    return cameras;
}

// One point of a grid per 32 random ones: exact zeros where a point shares a coordinate with the
// camera or lies in the eye plane, signed zeros, infinities, NaN and products that overflow.
std::vector<Vec3> AwkwardPoints() {
    std::mt19937_64 random(6);
    std::uniform_real_distribution<double> at(-2e6, 2e6);
    const double specials[] = {0.0, -0.0, 1.0, -1000.0, -500.0, Inf, -Inf, NaN, 1e300};
    std::vector<Vec3> points;
    for (double x : specials) {
        for (double y : specials) {
            for (double z : specials) {
                points.push_back({x, y, z});
                for (int k = 0; k < 31; ++k) {
                    points.push_back({at(random), at(random), at(random)});
                }
            }
        }
    }
    points.shrink_to_fit();  // no spare capacity: a read past the last point trips ASan
    return points;
}

// Projects each camera's range of the awkward points with `path` and with `expected` (the
// literal formulas for a null path). Ranges start anywhere within a block of sixteen and end
// anywhere up to the array's end, or hold 1 to 9 points, or are empty or reversed; outside them
// the sentinel must stay.
void ExpectPathsAgree(Path path, Path expected) {
    const std::vector<TestCamera> cameras = AwkwardCameras();
    const std::vector<Vec3> points = AwkwardPoints();
    for (std::size_t n = 0; n < cameras.size(); ++n) {
        const Vec3& up = cameras[n].up;  // upright cameras must take the short form
        ASSERT_EQ(Prepare(cameras[n]).Upright, up.x == 0.0 && up.y == 0.0 && up.z > 0.0);
        const int32_t from = static_cast<int32_t>(n % 16) + (n % 5 == 4 ? 500 : 0);
        const int32_t to = n % 5 == 4   ? from + static_cast<int32_t>(n % 9) + 1
                           : n % 7 == 6 ? from - static_cast<int32_t>(n % 2)
                                        : static_cast<int32_t>(points.size() - n % 3);
        const std::vector<ProjectedStar> actual = ProjectWith(path, cameras[n], points, from, to);
        const std::vector<ProjectedStar> wanted =
            ProjectWith(expected, cameras[n], points, from, to);
        for (std::size_t k = 0; k < points.size(); ++k) {
            const Vec3& p = points[k];
            ASSERT_TRUE(SameValues(actual[k], wanted[k]))
                << "camera " << n << " point " << k << " (" << p.x << ", " << p.y << ", " << p.z
                << ")";
        }
    }
}

TEST(ProjectionPaths, PlainPathKeepsTheLiteralFormulasBitsAndTouchesNothingElse) {
    ExpectPathsAgree(ProjectRangeScalar, nullptr);
}

TEST(ProjectionPaths, Avx2PathGivesThePlainPathsBits) {
    if (__builtin_cpu_supports("avx2") == 0) {
        GTEST_SKIP() << "this CPU has no AVX2";
    }
    ExpectPathsAgree(ProjectRangeAvx2, ProjectRangeScalar);
}

TEST(ProjectionReference, AgreesWithClosedForms) {
    const auto dot = [](const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; };
    for (const TestCamera& camera : AwkwardCameras()) {
        const ViewBasis basis = Prepare(camera).Basis;
        const Vec3 s = basis.Side, u = basis.Up, f = basis.Forward;
        const double fu = dot(f, u), s2 = 1.0 - fu * fu;
        if (!(s2 >= 0.05)) {
            continue;  // NaN, or nearly parallel axes that amplify rounding beyond a tolerance
        }
        const Vec3 p{1e5, -3e5, 7e4};  // relative to the camera
        const double pu = dot(p, u), pf = dot(p, f);
        double a = dot(p, s) / s2, b = (pu - pf * fu) / s2;
        const double c = (pf - pu * fu) / s2;
        if (camera.focal != 0.0 && !std::isnan(camera.focal)) {
            const double scale = camera.focal / (camera.focal + c);
            if (!(std::fabs(scale) <= 1e3)) {
                continue;  // too near the eye plane for a fixed tolerance
            }
            a = a * scale;
            b = b * scale;
        }
        const Vec3& at = camera.position;
        const ProjectedStar out = ProjectOne(camera, {at.x + p.x, at.y + p.y, at.z + p.z});
        const double tolerance = 1e-8 * (std::fabs(a) + std::fabs(b) + std::fabs(c) + 1e6);
        EXPECT_NEAR(out.x, a, tolerance);
        EXPECT_NEAR(out.y, b, tolerance);
        EXPECT_NEAR(out.depth, c, tolerance);
    }
}

}  // namespace
