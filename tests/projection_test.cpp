// projection_test.cpp: ProjectPoints against worked examples, closed forms and a literal
// one-point-at-a-time reference, bit for bit.
#include "view/projection.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
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

bool SameBits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

bool SameBits(const ProjectedStar& a, const ProjectedStar& b) {
    return SameBits(a.x, b.x) && SameBits(a.y, b.y) && SameBits(a.depth, b.depth);
}

// The projection written out term by term, one point at a time, as a check on the fast path.
ProjectedStar ReferenceProject(const TestCamera& camera, const Vec3& p) {
    const Vec3 d = camera.direction;
    const Vec3 w = camera.up;
    const double l = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    const double m = std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z);
    const double fx = d.x / l, fy = d.y / l, fz = d.z / l;
    const double ux = w.x / m, uy = w.y / m, uz = w.z / m;
    const double sx = fy * uz - fz * uy, sy = fz * ux - fx * uz, sz = fx * uy - fy * ux;
    const double delta =
        sx * (uy * fz - uz * fy) + sy * (uz * fx - ux * fz) + sz * (ux * fy - uy * fx);
    const double inverseDelta = 1.0 / delta;
    const Vec3 c = camera.position;
    const double px = p.x - c.x, py = p.y - c.y, pz = p.z - c.z;
    const double depth =
        (sx * (uy * pz - uz * py) + sy * (uz * px - ux * pz) + sz * (ux * py - uy * px)) *
        inverseDelta;
    const double f = camera.focal;
    if (f == 0.0 || std::isnan(f)) {
        const double a =
            (px * (uy * fz - uz * fy) + py * (uz * fx - ux * fz) + pz * (ux * fy - uy * fx)) *
            inverseDelta;
        const double b =
            (sx * (py * fz - pz * fy) + sy * (pz * fx - px * fz) + sz * (px * fy - py * fx)) *
            inverseDelta;
        return {a, b, depth};
    }
    const double ex = c.x - f * fx, ey = c.y - f * fy, ez = c.z - f * fz;
    const double qx = p.x - ex, qy = p.y - ey, qz = p.z - ez;
    const double deltaI =
        sx * (uy * qz - uz * qy) + sy * (uz * qx - ux * qz) + sz * (ux * qy - uy * qx);
    const double r = 1.0 / deltaI;
    const double x =
        (px * (uy * qz - uz * qy) + py * (uz * qx - ux * qz) + pz * (ux * qy - uy * qx)) * r;
    const double y =
        (sx * (py * qz - pz * qy) + sy * (pz * qx - px * qz) + sz * (px * qy - py * qx)) * r;
    return {x, y, depth};
}

TEST(ProjectionExamples, AxisAlignedCameraInBothModes) {
    const Vec3 point{1010.0, -80.0, 80.0};
    const ProjectedStar central = ProjectOne({{10, 20, 30}, {1, 0, 0}, {0, 0, 1}, 1000.0}, point);
    EXPECT_EQ(central.x, 50.0);
    EXPECT_EQ(central.y, 25.0);
    EXPECT_EQ(central.depth, 1000.0);
    const ProjectedStar parallel = ProjectOne({{10, 20, 30}, {1, 0, 0}, {0, 0, 1}, 0.0}, point);
    EXPECT_EQ(parallel.x, 100.0);
    EXPECT_EQ(parallel.y, 50.0);
    EXPECT_EQ(parallel.depth, 1000.0);
    for (double focal : {1000.0, 0.0}) {
        const ProjectedStar origin =
            ProjectOne({{10, 20, 30}, {1, 0, 0}, {0, 0, 1}, focal}, {10, 20, 30});
        EXPECT_EQ(origin.x, 0.0);
        EXPECT_EQ(origin.y, 0.0);
        EXPECT_EQ(origin.depth, 0.0);
    }
}

TEST(ProjectionExamples, ObliqueBasisFromUnnormalisedVectors) {
    const Vec3 point{0.0, 0.0, 1.0};
    const ProjectedStar parallel = ProjectOne({{0, 0, 0}, {2, 0, 0}, {1, 0, 1}, 0.0}, point);
    EXPECT_EQ(parallel.x, 0.0);
    EXPECT_NEAR(parallel.y, std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(parallel.depth, -1.0, 1e-15);
    const ProjectedStar central = ProjectOne({{0, 0, 0}, {2, 0, 0}, {1, 0, 1}, 2.0}, point);
    EXPECT_EQ(central.x, 0.0);
    EXPECT_NEAR(central.y, 2.0 * std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(central.depth, -1.0, 1e-15);
    // With f = 1 the point lies in the plane of the eye: no finite screen position.
    const ProjectedStar eyePlane = ProjectOne({{0, 0, 0}, {2, 0, 0}, {1, 0, 1}, 1.0}, point);
    EXPECT_FALSE(std::isfinite(eyePlane.x));
    EXPECT_FALSE(std::isfinite(eyePlane.y));
    EXPECT_NEAR(eyePlane.depth, -1.0, 1e-15);
}

TEST(ProjectionExamples, WorldOriginFromTheStartUpCamera) {
    ResetCamera();
    StepCamera();
    const ProjectedStar origin =
        ProjectOne({Camera.Position, Camera.Direction, Camera.Up, Camera.FocalDistance}, {0, 0, 0});
    ResetCamera();
    EXPECT_NEAR(origin.x, -545.0329, 5e-5);
    EXPECT_EQ(origin.y, 0.0);
    EXPECT_NEAR(origin.depth, 878261.076, 5e-4);
}

TEST(ProjectionExamples, NotANumberFocalDistanceProjectsInParallel) {
    const TestCamera nanFocal{{5, -7, 2}, {1, 2, 0.5}, {0.3, -0.1, 1}, NaN};
    TestCamera zeroFocal = nanFocal;
    zeroFocal.focal = 0.0;
    for (const Vec3& point : {Vec3{1e5, 3e5, -2e4}, Vec3{-7, 0.25, 9e6}}) {
        EXPECT_TRUE(SameBits(ProjectOne(nanFocal, point), ProjectOne(zeroFocal, point)));
    }
}

TEST(ProjectionBasis, StartUpCameraHasAnOrthonormalBasis) {
    const ViewBasis basis = MakeViewBasis({std::cos(-0.4995), std::sin(-0.4995), 0}, {0, 0, 1});
    EXPECT_NEAR(basis.Delta, -1.0, 1e-15);
    EXPECT_NEAR(std::hypot(basis.Side.x, basis.Side.y, basis.Side.z), 1.0, 1e-15);
    // S = F x U points to the viewer's right: F = +x, U = +z gives S = -y.
    const ViewBasis alongX = MakeViewBasis({3, 0, 0}, {0, 0, 5});
    EXPECT_EQ(alongX.Side.x, 0.0);
    EXPECT_EQ(alongX.Side.y, -1.0);
    EXPECT_EQ(alongX.Side.z, 0.0);
}

class ProjectionRange : public ::testing::Test {
  protected:
    static constexpr double Sentinel = 12345.678;
    std::array<Vec3, 40> points{};
    std::array<ProjectedStar, 40> projected{};
    TestCamera camera{{100, 200, 300}, {1, 1, 0}, {0, 0, 1}, 1000.0};

    void SetUp() override { Fill(); }
    // Fresh inputs, and sentinels in every output record.
    void Fill() {
        for (std::size_t i = 0; i < points.size(); ++i) {
            const double v = static_cast<double>(i);
            points[i] = {1000.0 * v, -500.0 + v, 42.0 * v};
        }
        projected.fill({Sentinel, Sentinel, Sentinel});
    }
    void Project(int32_t fromIndex, int32_t toIndex) {
        ProjectPoints(points.data(), projected.data(), camera.position, camera.direction, camera.up,
                      camera.focal, fromIndex, toIndex);
    }
    bool Untouched(std::size_t i) const {
        return projected[i].x == Sentinel && projected[i].y == Sentinel &&
               projected[i].depth == Sentinel;
    }
};

TEST_F(ProjectionRange, EmptyOrReversedRangesWriteNothing) {
    const std::array<std::array<int32_t, 2>, 6> ranges{
        {{0, 0}, {5, 5}, {7, 3}, {-1, -1}, {-3, -8}, {INT32_MAX, INT32_MIN}}};
    for (const auto& range : ranges) {
        Project(range[0], range[1]);
    }
    for (std::size_t i = 0; i < projected.size(); ++i) {
        EXPECT_TRUE(Untouched(i)) << "record " << i;
    }
}

TEST_F(ProjectionRange, WritesExactlyTheRangeIndexForIndex) {
    const std::array<std::array<int32_t, 2>, 4> ranges{{{3, 7}, {1, 38}, {5, 6}, {0, 40}}};
    for (const auto& [from, to] : ranges) {
        for (double focal : {1000.0, 0.0}) {
            Fill();
            camera.focal = focal;
            Project(from, to);
            for (std::size_t i = 0; i < projected.size(); ++i) {
                const int32_t index = static_cast<int32_t>(i);
                if (index < from || index >= to) {
                    ASSERT_TRUE(Untouched(i)) << "record " << i << " of " << from << ".." << to;
                } else {
                    ASSERT_TRUE(SameBits(projected[i], ProjectOne(camera, points[i])))
                        << "record " << i << " of " << from << ".." << to;
                }
            }
        }
    }
}

TEST(ProjectionDegenerate, BadCamerasGiveNaNOrInfinityNeverATrap) {
    const Vec3 point{3.0, 4.0, 5.0};
    const std::array<TestCamera, 6> allNaN{{
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 1}, 1000.0},    // zero-length direction
        {{0, 0, 0}, {1, 0, 0}, {0, 0, 0}, 0.0},       // zero-length up
        {{0, 0, 0}, {NaN, 0, 0}, {0, 0, 1}, 1000.0},  // NaN direction
        {{0, 0, 0}, {1, 0, 0}, {0, NaN, 1}, 1000.0},  // NaN up
        {{0, 0, 0}, {1, 0, 0}, {0, 0, NaN}, 0.0},
        {{0, 0, 0}, {0, NaN, 0}, {0, 0, 1}, 0.0},
    }};
    for (const TestCamera& camera : allNaN) {
        const ProjectedStar out = ProjectOne(camera, point);
        EXPECT_TRUE(std::isnan(out.x) && std::isnan(out.y) && std::isnan(out.depth));
    }
    for (double focal : {0.0, 1000.0}) {
        const ProjectedStar out = ProjectOne({{0, 0, 0}, {0, 0, 2}, {0, 0, 1}, focal}, point);
        EXPECT_FALSE(std::isfinite(out.x) || std::isfinite(out.y) || std::isfinite(out.depth));
    }
}

std::vector<TestCamera> RandomCameras(std::mt19937_64& random, int count) {
    std::uniform_real_distribution<double> position(-2e6, 2e6);
    std::uniform_real_distribution<double> axis(-3.0, 3.0);
    std::vector<TestCamera> cameras;
    for (int n = 0; n < count; ++n) {
        const double focal = n % 3 == 0 ? 0.0 : (n % 3 == 1 ? 1000.0 : axis(random) * 500.0);
        cameras.push_back({{position(random), position(random), position(random)},
                           {axis(random), axis(random), axis(random)},
                           {axis(random), axis(random), axis(random)},
                           focal});
    }
    return cameras;
}

std::vector<Vec3> RandomPoints(std::mt19937_64& random, int count) {
    std::uniform_real_distribution<double> coordinate(-2e6, 2e6);
    std::vector<Vec3> points;
    for (int n = 0; n < count; ++n) {
        points.push_back({coordinate(random), coordinate(random), coordinate(random)});
    }
    return points;
}

TEST(ProjectionProperties, AgreesWithClosedForms) {
    std::mt19937_64 random(7);
    const std::vector<Vec3> points = RandomPoints(random, 50);
    for (const TestCamera& camera : RandomCameras(random, 60)) {
        const ViewBasis basis = MakeViewBasis(camera.direction, camera.up);
        const Vec3 s = basis.Side, u = basis.Up, f = basis.Forward;
        const double fu = f.x * u.x + f.y * u.y + f.z * u.z;
        const double s2 = 1.0 - fu * fu;
        if (s2 < 0.05) {
            continue;  // nearly parallel axes amplify rounding beyond a fixed tolerance
        }
        for (const Vec3& point : points) {
            const Vec3 p{point.x - camera.position.x, point.y - camera.position.y,
                         point.z - camera.position.z};
            const double ps = p.x * s.x + p.y * s.y + p.z * s.z;
            const double pu = p.x * u.x + p.y * u.y + p.z * u.z;
            const double pf = p.x * f.x + p.y * f.y + p.z * f.z;
            double a = ps / s2, b = (pu - pf * fu) / s2, c = (pf - pu * fu) / s2;
            if (camera.focal != 0.0) {
                const double scale = camera.focal / (camera.focal + c);
                if (std::fabs(scale) > 1e3) {
                    continue;  // too near the eye plane for a fixed tolerance
                }
                a = a * scale;
                b = b * scale;
            }
            const ProjectedStar out = ProjectOne(camera, point);
            const double tolerance = 1e-8 * (std::fabs(a) + std::fabs(b) + std::fabs(c) + 1e6);
            EXPECT_NEAR(out.x, a, tolerance);
            EXPECT_NEAR(out.y, b, tolerance);
            EXPECT_NEAR(out.depth, c, tolerance);
        }
    }
}

TEST(ProjectionProperties, RangeCallsMatchTheLiteralReferenceBitForBit) {
    std::mt19937_64 random(11);
    std::vector<TestCamera> cameras = RandomCameras(random, 30);
    ResetCamera();
    StepCamera();
    cameras.push_back({Camera.Position, Camera.Direction, Camera.Up, Camera.FocalDistance});
    ResetCamera();
    const std::vector<Vec3> points = RandomPoints(random, 1037);
    std::vector<ProjectedStar> projected(points.size());
    const int32_t count = static_cast<int32_t>(points.size());
    for (std::size_t n = 0; n < cameras.size(); ++n) {
        // Odd starts and ends exercise the widened loop's edges as well as its body.
        const int32_t from = static_cast<int32_t>(n % 4);
        const int32_t to = count - static_cast<int32_t>(n % 3);
        const TestCamera& camera = cameras[n];
        ProjectPoints(points.data(), projected.data(), camera.position, camera.direction, camera.up,
                      camera.focal, from, to);
        for (int32_t i = from; i < to; ++i) {
            const std::size_t k = static_cast<std::size_t>(i);
            ASSERT_TRUE(SameBits(projected[k], ReferenceProject(camera, points[k])))
                << "point " << i << " focal " << camera.focal;
        }
    }
}

}  // namespace
