// cache_test.cpp: the re-projection rules of MarkCells, and the cached offsets' invariant over a
// long flight.
#include "view/cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
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

bool SameBits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

ProjectedStar ProjectWith(const CameraState& camera, const Vec3& point) {
    ProjectedStar out{};
    ProjectPoints(&point, &out, camera.Position, camera.Direction, camera.Up, camera.FocalDistance,
                  0, 1);
    return out;
}

class CacheTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetAll(); }
    void TearDown() override { ResetAll(); }
    static void ResetAll() {
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
        CellCentre.assign(cells.size(), Vec3{});
        int32_t next = 0;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            CellCentre[i] = cells[i].centre;
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

    // One far cell at the origin with the camera (1e6, 0, 0) away on x, last projected from
    // `last`: only the ratio rule can flag it.
    static int32_t FlagAfterMovingFrom(const Vec3& last) {
        CellTable[0].CameraAtProjection = last;
        MarkCells();
        return CellTable[0].ReprojectFlag;
    }

    // The camera placed at `camera`, never moved since the cell's last projection.
    static int32_t FlagWithCameraAt(const Vec3& camera) {
        Camera.Position = camera;
        CellTable[0].CameraAtProjection = camera;
        MarkCells();
        return CellTable[0].ReprojectFlag;
    }

    std::mt19937_64 random{2024};
};

TEST_F(CacheTest, RatioRuleFlagsFromExactlyFiveMillionths) {
    InstallCells({{{0, 0, 0}, 3}}, random);
    Camera.Position = {1000000.0, 0.0, 0.0};
    EXPECT_EQ(FlagAfterMovingFrom({1000000.0, 2300.0, 0.0}), 1);  // ratio 5.29e-6
    EXPECT_EQ(FlaggedCellCount(), 1);
    EXPECT_EQ(FlagAfterMovingFrom({1000000.0, 2200.0, 0.0}), 0);  // ratio 4.84e-6
    EXPECT_EQ(FlaggedCellCount(), 0);
    // moved^2 = 2000^2 + 1000^2 = 5e6 exactly, so the ratio is the double 5e-6 itself.
    ASSERT_EQ(5e6 / 1e12, 5e-6);
    EXPECT_EQ(FlagAfterMovingFrom({1002000.0, -1000.0, 0.0}), 1);
    const double justBelow = 999.9999;
    ASSERT_LT((2000.0 * 2000.0 + justBelow * justBelow) / 1e12, 5e-6);
    EXPECT_EQ(FlagAfterMovingFrom({998000.0, justBelow, 0.0}), 0);
}

TEST_F(CacheTest, ProximityRuleNeedsTheCameraStrictlyInsideTheCube) {
    InstallCells({{{0, 0, 0}, 3}}, random);
    EXPECT_EQ(FlagWithCameraAt({500000.0, 0.0, 0.0}), 0);
    EXPECT_EQ(FlagWithCameraAt({0.0, -500000.0, 0.0}), 0);
    EXPECT_EQ(FlagWithCameraAt({0.0, 0.0, 500000.0}), 0);
    EXPECT_EQ(FlagWithCameraAt({499999.9, 499999.9, 500000.0}), 0);
    EXPECT_EQ(FlagWithCameraAt({499999.9, 0.0, 0.0}), 1);
    EXPECT_EQ(FlagWithCameraAt({-499999.9, 0.0, 0.0}), 1);
    EXPECT_EQ(FlagWithCameraAt({0.0, 499999.9, -499999.9}), 1);
    EXPECT_EQ(FlagWithCameraAt({-499999.9, -499999.9, 499999.9}), 1);
    EXPECT_EQ(FlagWithCameraAt({0.0, 0.0, 5e300}), 0);
}

TEST_F(CacheTest, CameraExactlyAtACellCentreFlagsItWithoutFault) {
    InstallCells({{{50000, 50000, 50000}, 4}, {{3e6, 0, 0}, 4}}, random);
    Camera.Position = {50000, 50000, 50000};
    CellTable[0].CameraAtProjection = Camera.Position;  // moved^2 = distance^2 = 0
    CellTable[1].CameraAtProjection = Camera.Position;
    MarkCells();
    EXPECT_EQ(CellTable[0].ReprojectFlag, 1);
    EXPECT_EQ(CellTable[1].ReprojectFlag, 0);
    EXPECT_EQ(FlaggedCellCount(), 1);
    ReprojectCells();
    EXPECT_EQ(ProjectedCentre[0].depth, 0.0);
}

TEST_F(CacheTest, FlagsAreRewrittenEveryFrame) {
    InstallCells({{{0, 0, 0}, 5}, {{-3e6, 2e6, 0}, 5}}, random);
    Camera.Position = {1000000.0, 0.0, 0.0};
    BuildProjectionCache();
    CellTable[0].ReprojectFlag = 1;  // left over from some earlier frame
    CellTable[1].ReprojectFlag = 1;
    MarkCells();
    EXPECT_EQ(CellTable[0].ReprojectFlag, 0);
    EXPECT_EQ(CellTable[1].ReprojectFlag, 0);
    EXPECT_EQ(FlaggedCellCount(), 0);

    Camera.Position.y = 3000.0;  // far enough for the near cell, not for the far one
    MarkCells();
    EXPECT_EQ(CellTable[0].ReprojectFlag, 1);
    EXPECT_EQ(CellTable[1].ReprojectFlag, 0);
    ReprojectCells();
    EXPECT_EQ(CellTable[0].CameraAtProjection.y, 3000.0);
    EXPECT_EQ(CellTable[1].CameraAtProjection.y, 0.0);
    MarkCells();
    EXPECT_EQ(CellTable[0].ReprojectFlag, 0);
    EXPECT_EQ(FlaggedCellCount(), 0);
}

TEST_F(CacheTest, UnflaggedCellMovesRigidlyWithItsCentre) {
    InstallCells({{{-3e6, 2e6, 0}, 6}}, random);
    ResetCamera();
    StepCamera();
    BuildProjectionCache();
    const std::vector<ProjectedStar> built(ProjectedStarArray.begin(),
                                           ProjectedStarArray.begin() + 6);
    const ProjectedStar centreBefore = ProjectedCentre[0];
    StepCamera();
    MarkCells();
    ReprojectCells();
    ASSERT_EQ(CellTable[0].ReprojectFlag, 0);
    EXPECT_NE(ProjectedCentre[0].x, centreBefore.x);
    for (std::size_t j = 0; j < built.size(); ++j) {
        EXPECT_TRUE(SameBits(ProjectedStarArray[j].x, built[j].x));
        EXPECT_TRUE(SameBits(ProjectedStarArray[j].depth, built[j].depth));
    }
}

TEST_F(CacheTest, FirstFrameReprojectsOnlyCellsAroundTheCamera) {
    // The camera starts at (-1000500, 0, 0).
    InstallCells({{{-950000, 50000, 50000}, 20},
                  {{-1450000, -350000, 50000}, 20},
                  {{-1550000, 50000, 50000}, 20},
                  {{50000, 50000, 50000}, 20},
                  {{-950000, 50000, 650000}, 20}},
                 random);
    StepCamera();
    BuildProjectionCache();
    const auto built = ProjectedStarArray;
    const std::vector<ProjectedStar> centres = ProjectedCentre;
    MarkCells();
    const std::vector<int32_t> expected{1, 1, 0, 0, 0};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(CellTable[i].ReprojectFlag, expected[i]) << "cell " << i;
    }
    EXPECT_EQ(FlaggedCellCount(), 2);
    ReprojectCells();
    for (std::size_t j = 0; j < built.size(); ++j) {
        ASSERT_TRUE(SameBits(ProjectedStarArray[j].x, built[j].x) &&
                    SameBits(ProjectedStarArray[j].y, built[j].y) &&
                    SameBits(ProjectedStarArray[j].depth, built[j].depth))
            << "star " << j;
    }
    for (std::size_t i = 0; i < centres.size(); ++i) {
        EXPECT_TRUE(SameBits(ProjectedCentre[i].x, centres[i].x));
    }
    // Slots outside every cell are projected at build time like any other star.
    EXPECT_TRUE(SameBits(built[MaxStars - 1].depth, ProjectWith(Camera, {0, 0, 0}).depth));
}

// Cells at real cell centres around the orbit, every slot in some cell.
std::vector<TestCell> RandomCells(std::mt19937_64& random) {
    std::uniform_int_distribution<int> keyXY(-14, 12);
    std::uniform_int_distribution<int> keyZ(-2, 2);
    std::uniform_int_distribution<int32_t> size(1, 80);
    std::vector<TestCell> cells;
    int32_t remaining = MaxStars;
    while (remaining > 0) {
        const int32_t count = std::min(remaining, size(random));
        cells.push_back({{100000.0 * keyXY(random) + 50000.0, 100000.0 * keyXY(random) + 50000.0,
                          100000.0 * keyZ(random) + 50000.0},
                         count});
        remaining -= count;
    }
    return cells;
}

// Checks the invariant of every cell against the full camera state of its last projection.
void ExpectOffsetsMatchStoredCameras(const std::vector<CameraState>& stored) {
    for (int32_t i = 0; i < CellCount; ++i) {
        const std::size_t cellIndex = static_cast<std::size_t>(i);
        const Cell& cell = CellTable[cellIndex];
        const CameraState& camera = stored[cellIndex];
        ASSERT_TRUE(SameBits(cell.CameraAtProjection.x, camera.Position.x) &&
                    SameBits(cell.CameraAtProjection.y, camera.Position.y));
        const ProjectedStar fresh = ProjectWith(Camera, CellCentre[cellIndex]);
        ASSERT_TRUE(SameBits(ProjectedCentre[cellIndex].x, fresh.x) &&
                    SameBits(ProjectedCentre[cellIndex].y, fresh.y));
        const ProjectedStar centre = ProjectWith(camera, CellCentre[cellIndex]);
        for (int32_t j = cell.FirstStar; j < cell.EndStar; ++j) {
            const std::size_t starIndex = static_cast<std::size_t>(j);
            const ProjectedStar star = ProjectWith(camera, StarArray[starIndex]);
            const ProjectedStar& cached = ProjectedStarArray[starIndex];
            ASSERT_TRUE(SameBits(cached.x, star.x - centre.x) &&
                        SameBits(cached.y, star.y - centre.y) && SameBits(cached.depth, star.depth))
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
            if (HasFatalFailure()) {
                FAIL() << "frame " << frame;
            }
        }
        StepCamera();
    }
    // Cells were flagged, yet most were skipped most of the time.
    EXPECT_GT(flaggedTotal, 2600);
    EXPECT_LT(flaggedTotal, 2600 * static_cast<int64_t>(CellCount) / 2);
}

}  // namespace
