// cache_test.cpp: the re-projection rules of MarkCells in every AVX2 lane and the scalar tail,
// and the cached offsets' invariant over a long flight.
#include "view/cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "data/cells.h"
#include "view/camera.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Far = -1e6;  // distance^2 = 1e12 along x

template <typename T>
bool SameBits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

ProjectedStar ProjectWith(const CameraState& camera, const Vec3& point) {
    ProjectedStar out{};
    ProjectRange(MakeProjector(camera.Position, camera.Direction, camera.Up, camera.FocalDistance),
                 &point, &out, 0, 1);
    return out;
}

class CacheTest : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        ResetStars();
        ResetCells();
        ResetCamera();
        ResetProjectionCache();
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
        ASSERT_TRUE(SameBits(ProjectedCentre[i], ProjectWith(Camera, CellCentre[i])));
        const ProjectedStar centre = ProjectWith(stored[i], CellCentre[i]);
        for (int32_t j = cell.FirstStar; j < cell.EndStar; ++j) {
            const ProjectedStar star = ProjectWith(stored[i], StarArray[std::size_t(j)]);
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

}  // namespace
