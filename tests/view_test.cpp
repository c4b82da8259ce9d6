// view_test.cpp: the camera's orbit; the projection against closed forms and the literal
// formulas, and its AVX2 path against its plain one, bit for bit; the cache's re-projection rules
// in every AVX2 lane and the scalar tail, and its cached offsets over a long flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "app/scene.h"
#include "data/cells.h"
#include "data/parallel.h"
#include "data/startup.h"
#include "view/cache.h"
#include "view/camera.h"
#include "view/projection.h"
#include "view/projection_point.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

struct TestCamera {
    Vec3 position, direction, up;
    double focal;
};

// The viewer's camera, as the tests here give cameras.
TestCamera Viewed(const CameraState& camera) {
    return {camera.Position, camera.Direction, camera.Up, camera.FocalDistance};
}

Projector Prepare(const TestCamera& camera) {
    return MakeProjector(camera.position, camera.direction, camera.up, camera.focal);
}

template <typename T>
bool SameBits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
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
    ProjectedStar out{};
    ProjectRange(Prepare(camera), &point, &out, 0, 1);
    return out;
}

// The camera after its first step, as the viewer flies it.
TestCamera FirstStepCamera() {
    ResetCamera();
    StepCamera();
    const TestCamera camera = Viewed(Camera);
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
            ASSERT_TRUE(SameValues(actual[k], wanted[k])) << "camera " << n << " point " << k;
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

constexpr double Far = -1e6;  // distance^2 = 1e12 along x

class CacheTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetScene(); }
    void TearDown() override {
        ResetScene();
        SetThreadCount(ProcessorCount());
    }

    // One cell per centre, each with `stars[i]` stars scattered around it, back to back from
    // slot 0.
    void InstallCells(const std::vector<Vec3>& centres, const std::vector<int32_t>& stars) {
        std::uniform_real_distribution<double> offset(-50000.0, 50000.0);
        CellCount = static_cast<int32_t>(centres.size());
        CellTable.assign(centres.size(), Cell{0, 0, Vec3{}, 7});  // 7: what an earlier frame left
        CellCentre = centres;
        for (std::size_t i = 0, next = 0; i < centres.size(); ++i) {
            CellTable[i].FirstStar = static_cast<int32_t>(next);
            for (int32_t n = 0; n < stars[i]; ++n, ++next) {
                const Vec3& c = centres[i];
                StarArray[next] = {c.x + offset(random), c.y + offset(random),
                                   c.z + offset(random)};
            }
            CellTable[i].EndStar = static_cast<int32_t>(next);
        }
        AllocateProjectedCentre();
    }

    std::mt19937_64 random{2024};
};

// The bounds of a cell's offsets found the plain way: least and greatest of every value that is
// not NaN.
OffsetBounds BoundsOf(const Cell& cell) {
    OffsetBounds bounds = NoOffsets;
    for (int32_t j = cell.FirstStar; j < cell.EndStar; ++j) {
        const ProjectedStar& star = ProjectedStarArray[std::size_t(j)];
        for (const auto& [value, least, greatest] :
             {std::tuple{star.x, &bounds.MinX, &bounds.MaxX},
              std::tuple{star.y, &bounds.MinY, &bounds.MaxY},
              std::tuple{star.depth, static_cast<double*>(nullptr), &bounds.MaxDepth}}) {
            if (std::isnan(value)) {
                continue;
            }
            if (least != nullptr) {
                *least = std::min(*least, value);
            }
            *greatest = std::max(*greatest, value);
        }
    }
    return {bounds.MinX + 0.0, bounds.MaxX + 0.0, bounds.MinY + 0.0, bounds.MaxY + 0.0,
            bounds.MaxDepth + 0.0};  // a zero as +0.0
}

// With the camera at the origin, toCentre is -centre and moved is -last (the camera position at
// the cell's last projection).
const struct {
    Vec3 centre;
    Vec3 last;
    int32_t flag;
} RuleCases[] = {
    // The ratio rule flags from moved^2 / distance^2 = 5e-6 exactly.
    {{Far, 0, 0}, {0, 2300, 0}, 1},          // 5.29e-6
    {{Far, 0, 0}, {0, 2200, 0}, 0},          // 4.84e-6
    {{Far, 0, 0}, {2000, -1000, 0}, 1},      // 5e6 / 1e12 is the double 5e-6 itself
    {{Far, 0, 0}, {-2000, 999.9999, 0}, 0},  // just below
    // The proximity rule needs the camera strictly inside the cube, on every axis.
    {{-500000, 0, 0}, {0, 0, 0}, 0},
    {{0, 500000, 0}, {0, 0, 0}, 0},
    {{0, 0, -500000}, {0, 0, 0}, 0},
    {{-499999.9, -499999.9, -500000}, {0, 0, 0}, 0},
    {{-499999.9, 0, 0}, {0, 0, 0}, 1},
    {{499999.9, 499999.9, -499999.9}, {0, 0, 0}, 1},
    {{0, 0, -5e300}, {0, 0, 0}, 0},
    // Camera exactly at the centre: distance^2 = moved^2 = 0 flags without a fault.
    {{0, 0, 0}, {0, 0, 0}, 1},
    // NaN fails every comparison: it flags only through a rule that holds without it.
    {{NaN, 0, 0}, {0, 0, 0}, 0},
    {{Far, 0, 0}, {NaN, 0, 0}, 0},
    {{1000, 0, 0}, {NaN, 0, 0}, 1},
};

TEST_F(CacheTest, RulesHoldInEveryLaneAndTheTail) {
    // Far cells in front shift every case through each position of four and into the tail.
    for (std::size_t shift = 0; shift < 4; ++shift) {
        std::vector<Vec3> centres(shift, Vec3{3e7, 3e7, 3e7});
        for (const auto& rule : RuleCases) {
            centres.push_back(rule.centre);
        }
        InstallCells(centres, std::vector<int32_t>(centres.size(), 1));
        int32_t expected = 0;
        for (std::size_t i = shift; i < centres.size(); ++i) {
            CellTable[i].CameraAtProjection = RuleCases[i - shift].last;
            expected += RuleCases[i - shift].flag;
        }
        Camera.Position = {0, 0, 0};
        MarkCells();
        for (std::size_t i = 0; i < centres.size(); ++i) {
            EXPECT_EQ(CellTable[i].ReprojectFlag, i < shift ? 0 : RuleCases[i - shift].flag)
                << "case " << i - shift << " shifted by " << shift;
        }
        EXPECT_EQ(FlaggedCellCount(), expected);
    }
}

// Checks every cell against the full camera state of its last projection: the centre projected
// with this frame's camera, each star's x and y relative to the centre and its depth with that
// cell's last camera.
void ExpectOffsetsMatchStoredCameras(const std::vector<CameraState>& stored) {
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const Cell& cell = CellTable[i];
        ASSERT_TRUE(SameBits(cell.CameraAtProjection, stored[i].Position));
        ASSERT_TRUE(SameBits(ProjectedCentre[i], ProjectOne(Viewed(Camera), CellCentre[i])));
        const ProjectedStar centre = ProjectOne(Viewed(stored[i]), CellCentre[i]);
        for (int32_t j = cell.FirstStar; j < cell.EndStar; ++j) {
            const ProjectedStar star = ProjectOne(Viewed(stored[i]), StarArray[std::size_t(j)]);
            const ProjectedStar offset{star.x - centre.x, star.y - centre.y, star.depth};
            ASSERT_TRUE(SameBits(ProjectedStarArray[std::size_t(j)], offset))
                << "cell " << i << " star " << j;
        }
    }
}

// Cells of 1 to 80 stars at real cell centres around the orbit, every slot in some cell.
TEST_F(CacheTest, CachedOffsetsAlwaysMatchTheCellsLastProjection) {
    std::uniform_int_distribution<int> keyXY(-14, 12), keyZ(-2, 2), size(1, 80);
    std::vector<Vec3> centres;
    std::vector<int32_t> stars;
    for (int32_t remaining = MaxStars; remaining > 0; remaining -= stars.back()) {
        const auto middle = [](int key) { return 100000.0 * key + 50000.0; };
        centres.push_back({middle(keyXY(random)), middle(keyXY(random)), middle(keyZ(random))});
        stars.push_back(std::min(remaining, size(random)));
    }
    InstallCells(centres, stars);
    StepCamera();
    BuildProjectionCache();
    std::vector<CameraState> stored(centres.size(), Camera);
    ExpectOffsetsMatchStoredCameras(stored);
    int64_t flaggedTotal = 0;
    for (int frame = 1; frame <= 2600; ++frame) {
        MarkCells();
        for (std::size_t i = 0; i < stored.size(); ++i) {
            stored[i] = CellTable[i].ReprojectFlag == 1 ? Camera : stored[i];
        }
        flaggedTotal += FlaggedCellCount();
        ReprojectCells();
        if (frame % 200 == 0 || (frame >= 2060 && frame <= 2080)) {
            ExpectOffsetsMatchStoredCameras(stored);
            ASSERT_FALSE(HasFatalFailure()) << "frame " << frame;
        }
        StepCamera();
    }
    // Cells were flagged, yet most were skipped most of the time.
    EXPECT_GT(flaggedTotal, 2600);
    EXPECT_LT(flaggedTotal, 2600 * static_cast<int64_t>(CellCount) / 2);
}

// Everything the cache keeps, and the flags and count of the last marking, as one number.
uint64_t CacheHash() {
    uint64_t hash = 14695981039346656037ull;
    const auto add = [&hash](const void* data, std::size_t bytes) {
        const auto* byte = static_cast<const unsigned char*>(data);
        for (std::size_t k = 0; k < bytes; ++k) {
            hash = (hash ^ byte[k]) * 1099511628211ull;
        }
    };
    add(ProjectedStarArray.data(), ProjectedStarArray.size() * sizeof(ProjectedStar));
    add(ProjectedCentre.data(), ProjectedCentre.size() * sizeof(ProjectedStar));
    add(ProjectedBounds.data(), ProjectedBounds.size() * sizeof(OffsetBounds));
    for (const Cell& cell : CellTable) {
        add(&cell.CameraAtProjection, sizeof cell.CameraAtProjection);
        add(&cell.ReprojectFlag, sizeof cell.ReprojectFlag);
    }
    const int32_t flagged = FlaggedCellCount();
    add(&flagged, sizeof flagged);
    return hash;
}

// The cache on 1, 2 and 3 threads: cells of tens of thousands of stars, which the slices cut
// through, beside 40000 one-star cells (enough for marking and centres to be split too, and for
// runs of adjoining cells). Every frame's cache, bounds and flags must be the one thread's, bit
// for bit; at the end every cell holds its last camera's offsets and its own bounds.
TEST_F(CacheTest, EveryThreadCountCachesTheSameBits) {
    const auto fly = [this](int32_t threads) {
        SetThreadCount(threads);
        ResetScene();
        random.seed(7);
        std::vector<Vec3> centres;
        std::vector<int32_t> stars;
        const double middles[] = {50000.0, -50000.0, 150000.0, 350000.0, -250000.0, 550000.0};
        const int32_t crowds[] = {30001, 5, 20000, 1, 45000, 17};
        for (std::size_t i = 0; i < std::size(crowds); ++i) {
            centres.push_back({-1000000.0 + middles[i], middles[i], 50000.0});
            stars.push_back(crowds[i]);
        }
        std::uniform_int_distribution<int> key(-300, 300);
        for (int n = 0; n < 40000; ++n) {
            centres.push_back({1e5 * key(random) + 5e4, 1e5 * key(random) + 5e4, 5e4});
            stars.push_back(1);
        }
        int32_t slots = 0;
        for (int32_t count : stars) {
            slots += count;
        }
        EXPECT_TRUE(AllocateStars(slots));
        InstallCells(centres, stars);
        StepCamera();
        BuildProjectionCache();
        std::vector<uint64_t> frames;
        std::vector<CameraState> stored(centres.size(), Camera);
        for (int frame = 1; frame <= 12; ++frame) {
            if (frame > 1) {
                StepCamera();
            }
            MarkCells();
            for (std::size_t i = 0; i < stored.size(); ++i) {
                stored[i] = CellTable[i].ReprojectFlag == 1 ? Camera : stored[i];
            }
            ReprojectCells();
            frames.push_back(CacheHash());
        }
        ExpectOffsetsMatchStoredCameras(stored);
        for (std::size_t i = 0; i < centres.size(); ++i) {
            EXPECT_TRUE(SameBits(ProjectedBounds[i], BoundsOf(CellTable[i]))) << "cell " << i;
        }
        return frames;
    };
    const std::vector<uint64_t> one = fly(1);
    EXPECT_EQ(fly(2), one);
    EXPECT_EQ(fly(3), one);
}

// A stop asked for before the first projection ends it after one chunk of stars per thread,
// with no cell recorded: start-up then gives up rather than draw from it.
TEST_F(CacheTest, FirstProjectionStopsWhenAskedTo) {
    SetThreadCount(2);
    ASSERT_TRUE(AllocateStars(100000));
    InstallCells({{0, 0, 0}, {3e5, 0, 0}}, {60000, 40000});
    StepCamera();
    RequestStop(0);
    BuildProjectionCache();
    EXPECT_FALSE(KeepStarting());
    for (const Cell& cell : CellTable) {
        EXPECT_FALSE(SameBits(cell.CameraAtProjection, Camera.Position));
    }
    int32_t untouched = 0;
    for (const ProjectedStar& star : ProjectedStarArray) {
        untouched += SameBits(star, ProjectedStar{});
    }
    EXPECT_GT(untouched, 80000);
}

}  // namespace
