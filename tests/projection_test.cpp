// projection_test.cpp: ProjectPoints against worked examples, closed forms and a literal
// one-point-at-a-time reference, bit for bit.
#include "view/projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "view/camera.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct TestCamera {
    Vec3 position;
    Vec3 direction;
    Vec3 up;
    double focal;
};

ProjectedStar ProjectOne(const TestCamera& camera, const Vec3& point) {
    ProjectedStar out{};
    ProjectPoints(&point, &out, camera.position, camera.direction, camera.up, camera.focal, 0, 1);
    return out;
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

double Dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vec3 Unit(const Vec3& v) {
    const double length = std::sqrt(Dot(v, v));
    return {v.x / length, v.y / length, v.z / length};
}

// The projection written out term by term, one point at a time, as a check on the fast path.
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

// Projects points[from, to) over a sentinel-filled output: the reference within the range,
// the sentinel untouched outside it.
void ExpectRangeMatchesReference(const TestCamera& camera, const std::vector<Vec3>& points,
                                 int32_t from, int32_t to) {
    const ProjectedStar sentinel{12345.678, -1.0, 9.0};
    std::vector<ProjectedStar> projected(points.size(), sentinel);
    ProjectPoints(points.data(), projected.data(), camera.position, camera.direction, camera.up,
                  camera.focal, from, to);
    for (std::size_t k = 0; k < points.size(); ++k) {
        const int32_t i = static_cast<int32_t>(k);
        const ProjectedStar expected =
            i >= from && i < to ? ReferenceProject(camera, points[k]) : sentinel;
        ASSERT_TRUE(SameValues(projected[k], expected))
            << "point " << i << " (" << points[k].x << ", " << points[k].y << ", " << points[k].z
            << ") of " << from << ".." << to << " focal " << camera.focal;
    }
}

// The camera after its first step, as the viewer flies it.
TestCamera FirstStepCamera() {
    ResetCamera();
    StepCamera();
    const TestCamera camera{Camera.Position, Camera.Direction, Camera.Up, Camera.FocalDistance};
    ResetCamera();
    return camera;
}

struct Example {
    TestCamera camera;
    Vec3 point;
    ProjectedStar expected;
    double tolerance;
};

TEST(ProjectionExamples, WorkedCasesInBothModes) {
    const double root2 = std::sqrt(2.0);
    const Example examples[] = {
        {{{10, 20, 30}, {1, 0, 0}, {0, 0, 1}, 1000.0}, {1010, -80, 80}, {50, 25, 1000}, 0.0},
        {{{10, 20, 30}, {1, 0, 0}, {0, 0, 1}, 0.0}, {1010, -80, 80}, {100, 50, 1000}, 0.0},
        {{{10, 20, 30}, {1, 0, 0}, {0, 0, 1}, 1000.0}, {10, 20, 30}, {0, 0, 0}, 0.0},
        // An oblique basis from vectors that are not unit length.
        {{{0, 0, 0}, {2, 0, 0}, {1, 0, 1}, 0.0}, {0, 0, 1}, {0, root2, -1}, 1e-15},
        {{{0, 0, 0}, {2, 0, 0}, {1, 0, 1}, 2.0}, {0, 0, 1}, {0, 2 * root2, -1}, 1e-15},
        {FirstStepCamera(), {0, 0, 0}, {-545.0329, 0.0, 878261.076}, 5e-4},
    };
    for (const Example& example : examples) {
        const ProjectedStar out = ProjectOne(example.camera, example.point);
        EXPECT_NEAR(out.x, example.expected.x, example.tolerance);
        EXPECT_NEAR(out.y, example.expected.y, example.tolerance);
        EXPECT_NEAR(out.depth, example.expected.depth, example.tolerance);
    }
    // S = F x U points to the viewer's right: F = +x, U = +z gives S = -y.
    const ViewBasis alongX = MakeViewBasis({3, 0, 0}, {0, 0, 5});
    EXPECT_TRUE(alongX.Side.x == 0.0 && alongX.Side.y == -1.0 && alongX.Side.z == 0.0);
}

TEST(ProjectionDegenerate, BadCamerasGiveNaNOrInfinityNeverATrap) {
    const Vec3 point{3.0, 4.0, 5.0};
    const TestCamera allNaN[] = {
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 1}, 1000.0},    // zero-length direction
        {{0, 0, 0}, {1, 0, 0}, {0, 0, 0}, 0.0},       // zero-length up
        {{0, 0, 0}, {NaN, 0, 0}, {0, 0, 1}, 1000.0},  // NaN direction
        {{0, 0, 0}, {1, 0, 0}, {0, NaN, 1}, 1000.0},  // NaN up
        {{0, 0, 0}, {1, 0, 0}, {0, 0, NaN}, 0.0},
    };
    for (const TestCamera& camera : allNaN) {
        const ProjectedStar out = ProjectOne(camera, point);
        EXPECT_TRUE(std::isnan(out.x) && std::isnan(out.y) && std::isnan(out.depth));
    }
    for (double focal : {0.0, 1000.0}) {  // direction along up
        const ProjectedStar out = ProjectOne({{0, 0, 0}, {0, 0, 2}, {0, 0, 1}, focal}, point);
        EXPECT_FALSE(std::isfinite(out.x) || std::isfinite(out.y) || std::isfinite(out.depth));
    }
    // A point in the eye's plane has no finite screen position, but a depth.
    const ProjectedStar eyePlane = ProjectOne({{0, 0, 0}, {2, 0, 0}, {1, 0, 1}, 1.0}, {0, 0, 1});
    EXPECT_FALSE(std::isfinite(eyePlane.x) || std::isfinite(eyePlane.y));
    EXPECT_NEAR(eyePlane.depth, -1.0, 1e-15);
}

std::vector<TestCamera> RandomCameras(std::mt19937_64& random, int count) {
    std::uniform_real_distribution<double> position(-2e6, 2e6);
    std::uniform_real_distribution<double> axis(-3.0, 3.0);
    std::vector<TestCamera> cameras;
    for (int n = 0; n < count; ++n) {
        // Parallel, the viewer's focal distance, any other, and NaN (parallel too).
        const double focals[] = {0.0, 1000.0, axis(random) * 500.0, NaN};
        cameras.push_back({{position(random), position(random), position(random)},
                           {axis(random), axis(random), axis(random)},
                           {axis(random), axis(random), axis(random)},
                           focals[n % 4]});
    }
    return cameras;
}

TEST(ProjectionReference, RangesMatchTheLiteralFormulasBitForBitAndTouchNothingElse) {
    std::mt19937_64 random(11);
    std::vector<TestCamera> cameras = RandomCameras(random, 40);
    cameras.push_back(FirstStepCamera());
    std::uniform_real_distribution<double> coordinate(-2e6, 2e6);
    std::vector<Vec3> points(1037);
    for (Vec3& point : points) {
        point = {coordinate(random), coordinate(random), coordinate(random)};
    }
    const int32_t count = static_cast<int32_t>(points.size());
    for (std::size_t n = 0; n < cameras.size(); ++n) {
        // Starts and ends at every offset within four points, short ranges of 1 to 9 points,
        // and empty or reversed ones that must write nothing.
        const int32_t from = static_cast<int32_t>(n % 4) + (n % 5 == 4 ? 500 : 0);
        const int32_t to = n % 5 == 4   ? from + static_cast<int32_t>(n % 9) + 1
                           : n % 7 == 6 ? from - static_cast<int32_t>(n % 2)
                                        : count - static_cast<int32_t>(n % 3);
        ExpectRangeMatchesReference(cameras[n], points, from, to);
    }
}

// Upright cameras (up along +z) take a shortened form on AVX2 that must keep the
// literal formulas' bits; these points give it zero and non-finite sums, one per block of 16,
// between blocks of ordinary points that it keeps.
TEST(ProjectionReference, UprightCamerasKeepTheLiteralBitsOnZeroAndNonFiniteSums) {
    constexpr double Inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> coordinate(-2e6, 2e6);
    std::uniform_real_distribution<double> angle(-4.0, 4.0);
    // Two on the special coordinates below, one with no forward axis, the rest anywhere, looking
    // level or tilted.
    std::vector<TestCamera> cameras{{{0, 0, 0}, {1, 0, 0}, {0, 0, 1}, 1000.0},
                                    {{1, 1, -0.0}, {-0.0, -3, 0}, {0, 0, 2}, 500.0},
                                    {{1, 1, 0}, {NaN, 1, 0}, {0, 0, 1}, 1000.0}};
    for (int n = 0; n < 6; ++n) {
        const double a = angle(random);
        cameras.push_back({{coordinate(random), coordinate(random), n % 2 ? 0.0 : coordinate(random)},
                           {std::cos(a), std::sin(a), n % 3 ? 0.0 : a},
                           {0, 0, 1},
                           1000.0});
    }
    // Exact zeros where a point shares a coordinate with the camera or lies in the eye plane,
    // signed zeros, infinities, NaN and products that overflow.
    const double specials[] = {0.0, -0.0, 1.0, -1000.0, -500.0, Inf, -Inf, NaN, 1e300};
    std::vector<Vec3> points;
    for (double x : specials) {
        for (double y : specials) {
            for (double z : specials) {
                points.push_back({x, y, z});
                for (int k = 0; k < 31; ++k) {
                    points.push_back({coordinate(random), coordinate(random), coordinate(random)});
                }
            }
        }
    }
    points.shrink_to_fit();  // no spare capacity: a read past the last point trips ASan
    const int32_t count = static_cast<int32_t>(points.size());
    for (std::size_t n = 0; n < cameras.size(); ++n) {
        const TestCamera& camera = cameras[n];
        ASSERT_TRUE(MakeProjector(camera.position, camera.direction, camera.up, camera.focal).Upright);
        // Ranges that start and end anywhere within a block of sixteen, up to the array's end.
        ExpectRangeMatchesReference(camera, points, static_cast<int32_t>(n % 5),
                                    count - static_cast<int32_t>(n % 3));
    }
}

TEST(ProjectionReference, AgreesWithClosedForms) {
    std::mt19937_64 random(7);
    for (const TestCamera& camera : RandomCameras(random, 60)) {
        const ViewBasis basis = MakeViewBasis(camera.direction, camera.up);
        const Vec3 s = basis.Side, u = basis.Up, f = basis.Forward;
        const double fu = Dot(f, u), s2 = 1.0 - fu * fu;
        if (s2 < 0.05) {
            continue;  // nearly parallel axes amplify rounding beyond a fixed tolerance
        }
        const Vec3 p{1e5, -3e5, 7e4};  // relative to the camera
        const double pu = Dot(p, u), pf = Dot(p, f);
        double a = Dot(p, s) / s2, b = (pu - pf * fu) / s2;
        const double c = (pf - pu * fu) / s2;
        if (camera.focal != 0.0 && !std::isnan(camera.focal)) {
            const double scale = camera.focal / (camera.focal + c);
            if (std::fabs(scale) > 1e3) {
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
