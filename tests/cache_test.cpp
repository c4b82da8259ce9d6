// cache_test.cpp: the re-projection rules of MarkCells, and the cached offsets' invariant over a
// long flight.
#include "view/cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "data/cells.h"
#include "data/star.h"
#include "view/camera.h"

namespace {

struct TestCell {
    Vec3 centre;
    int32_t starCount;
};

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Far = -1e6;  // distance^2 = 1e12 along x

bool SameBits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

bool SameXY(const ProjectedStar& a, double x, double y) {
    return SameBits(a.x, x) && SameBits(a.y, y);
}

ProjectedStar ProjectWith(const CameraState& camera, const Vec3& point) {
    ProjectedStar out{};
    ProjectPoints(&point, &out, camera.Position, camera.Direction, camera.Up, camera.FocalDistance,
                  0, 1);
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

    // Lays the cells' stars out back to back from slot 0, each star scattered around its centre.
    static void InstallCells(const std::vector<TestCell>& cells, std::mt19937_64& random) {
        std::uniform_real_distribution<double> offset(-50000.0, 50000.0);
        CellCount = static_cast<int32_t>(cells.size());
        CellTable.assign(cells.size(), Cell{});
        CellCentre.clear();
        int32_t next = 0;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            CellCentre.push_back(cells[i].centre);
            CellTable[i].FirstStar = next;
            for (int32_t n = 0; n < cells[i].starCount; ++n, ++next) {
                const Vec3& c = cells[i].centre;
                StarArray[static_cast<std::size_t>(next)] =
                    Vec3{c.x + offset(random), c.y + offset(random), c.z + offset(random)};
            }
            CellTable[i].EndStar = next;
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
    for (size_t shift = 0; shift < 4; ++shift) {
        std::vector<TestCell> cells(shift, TestCell{{3e7, 3e7, 3e7}, 1});
        for (const auto& rule : RuleCases) {
            cells.push_back({rule.centre, 1});
        }
        InstallCells(cells, random);
        int32_t expected = 0;
        for (size_t i = 0; i < cells.size(); ++i) {
            CellTable[i].ReprojectFlag = 7;  // whatever an earlier frame left
            CellTable[i].CameraAtProjection = i < shift ? Vec3{} : RuleCases[i - shift].last;
            expected += i < shift ? 0 : RuleCases[i - shift].flag;
        }
        Camera.Position = {0, 0, 0};
        MarkCells();
        for (size_t i = 0; i < cells.size(); ++i) {
            EXPECT_EQ(CellTable[i].ReprojectFlag, i < shift ? 0 : RuleCases[i - shift].flag)
                << "case " << i - shift << " shifted by " << shift;
        }
        EXPECT_EQ(FlaggedCellCount(), expected);
    }
}

// Cells at real cell centres around the orbit, every slot in some cell.
std::vector<TestCell> RandomCells(std::mt19937_64& random) {
    std::uniform_int_distribution<int> keyXY(-14, 12), keyZ(-2, 2), size(1, 80);
    std::vector<TestCell> cells;
    for (int32_t remaining = MaxStars; remaining > 0; remaining -= cells.back().starCount) {
        const int32_t count = std::min(remaining, size(random));
        cells.push_back({{100000.0 * keyXY(random) + 50000.0, 100000.0 * keyXY(random) + 50000.0,
                          100000.0 * keyZ(random) + 50000.0},
                         count});
    }
    return cells;
}

// Checks the invariant of every cell against the full camera state of its last projection.
void ExpectOffsetsMatchStoredCameras(const std::vector<CameraState>& stored) {
    for (int32_t i = 0; i < CellCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const Cell& cell = CellTable[k];
        const CameraState& camera = stored[k];
        ASSERT_TRUE(SameBits(cell.CameraAtProjection.x, camera.Position.x) &&
                    SameBits(cell.CameraAtProjection.y, camera.Position.y));
        const ProjectedStar fresh = ProjectWith(Camera, CellCentre[k]);
        ASSERT_TRUE(SameXY(ProjectedCentre[k], fresh.x, fresh.y));
        const ProjectedStar centre = ProjectWith(camera, CellCentre[k]);
        for (int32_t j = cell.FirstStar; j < cell.EndStar; ++j) {
            const ProjectedStar star = ProjectWith(camera, StarArray[static_cast<std::size_t>(j)]);
            const ProjectedStar& cached = ProjectedStarArray[static_cast<std::size_t>(j)];
            ASSERT_TRUE(SameXY(cached, star.x - centre.x, star.y - centre.y) &&
                        SameBits(cached.depth, star.depth))
                << "cell " << i << " star " << j;
        }
    }
}

TEST_F(CacheTest, CachedOffsetsAlwaysMatchTheCellsLastProjection) {
    InstallCells(RandomCells(random), random);
    StepCamera();
    BuildProjectionCache();
    std::vector<CameraState> stored(static_cast<std::size_t>(CellCount), Camera);
    ExpectOffsetsMatchStoredCameras(stored);
    int64_t flaggedTotal = 0;
    for (int frame = 1; frame <= 2600; ++frame) {
        MarkCells();
        for (std::size_t i = 0; i < stored.size(); ++i) {
            if (CellTable[i].ReprojectFlag == 1) {
                stored[i] = Camera;
            }
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
