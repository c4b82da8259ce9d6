// cache.cpp: the per-cell projection cache: which cells to re-project, and re-projecting them.
#include "view/cache.h"

#include <cassert>
#include <cmath>
#include <cstddef>

#include "data/cells.h"
#include "view/camera.h"

std::array<ProjectedStar, MaxStars> ProjectedStarArray{};
std::vector<ProjectedStar> ProjectedCentre;

namespace {

// A cell's stars are re-projected once moved^2 / distance^2 reaches this (0.2236 % in distance).
constexpr double StaleRatio = 5e-6;
// Half-edge of the cube around a cell centre inside which the camera forces a re-projection.
constexpr double ProximityHalfEdge = 500000.0;

int32_t FlaggedCells = 0;  // number of cells the last MarkCells flagged

std::size_t Index(int32_t i) {
    return static_cast<std::size_t>(i);
}

void ProjectWithCamera(const Vec3* points, ProjectedStar* projected, int32_t fromIndex,
                       int32_t toIndex) {
    ProjectPoints(points, projected, Camera.Position, Camera.Direction, Camera.Up,
                  Camera.FocalDistance, fromIndex, toIndex);
}

// The grouping guarantees every cell's run lies within StarArray.
[[maybe_unused]] bool StarRangeValid(const Cell& cell) {
    return 0 <= cell.FirstStar && cell.FirstStar <= cell.EndStar && cell.EndStar <= MaxStars;
}

// Records the camera in cell i and turns its freshly projected stars' x and y into offsets
// from ProjectedCentre entry i; depth stays absolute.
void AnchorCellStars(int32_t i) {
    Cell& cell = CellTable[Index(i)];
    assert(StarRangeValid(cell));
    cell.CameraAtProjection = Camera.Position;
    const ProjectedStar& centre = ProjectedCentre[Index(i)];
    for (int32_t j = cell.FirstStar; j < cell.EndStar; ++j) {
        ProjectedStar& star = ProjectedStarArray[Index(j)];
        star.x = star.x - centre.x;
        star.y = star.y - centre.y;
    }
}

// Start-up sizes the three per-cell arrays to CellCount; nothing resizes them later.
[[maybe_unused]] bool CellArraysSized() {
    return CellCount >= 0 && CellTable.size() >= Index(CellCount) &&
           CellCentre.size() >= Index(CellCount) && ProjectedCentre.size() >= Index(CellCount);
}

void ProjectAllCentres() {
    assert(CellArraysSized());
    ProjectWithCamera(CellCentre.data(), ProjectedCentre.data(), 0, CellCount);
}

// The ratio rule: 1 once the camera has moved far enough, against its distance to the centre,
// for the cached picture to be wrong. A camera exactly at the centre gives 1 without dividing.
int32_t RatioFlag(const Vec3& moved, const Vec3& toCentre) {
    const double moved2 = moved.x * moved.x + moved.y * moved.y + moved.z * moved.z;
    const double distance2 =
        toCentre.x * toCentre.x + toCentre.y * toCentre.y + toCentre.z * toCentre.z;
    if (distance2 == 0.0) {
        return 1;
    }
    return moved2 / distance2 >= StaleRatio ? 1 : 0;
}

// The proximity rule: the camera strictly inside the cube around the centre, tried x, y, z.
bool InsideProximityCube(const Vec3& toCentre) {
    return std::fabs(toCentre.x) < ProximityHalfEdge && std::fabs(toCentre.y) < ProximityHalfEdge &&
           std::fabs(toCentre.z) < ProximityHalfEdge;
}

}  // namespace

void AllocateProjectedCentre() {
    ProjectedCentre.assign(Index(CellCount < 0 ? 0 : CellCount), ProjectedStar{});
}

void BuildProjectionCache() {
    ProjectWithCamera(StarArray.data(), ProjectedStarArray.data(), 0, MaxStars);
    ProjectAllCentres();
    for (int32_t i = 0; i < CellCount; ++i) {
        AnchorCellStars(i);
    }
}

void MarkCells() {
    assert(CellArraysSized());
    const Vec3& camera = Camera.Position;
    int32_t flagged = 0;
    for (int32_t i = 0; i < CellCount; ++i) {
        Cell& cell = CellTable[Index(i)];
        const Vec3& centre = CellCentre[Index(i)];
        const Vec3& last = cell.CameraAtProjection;
        const Vec3 moved{camera.x - last.x, camera.y - last.y, camera.z - last.z};
        const Vec3 toCentre{camera.x - centre.x, camera.y - centre.y, camera.z - centre.z};
        // Written for every cell, so no flag survives from an earlier frame.
        cell.ReprojectFlag = RatioFlag(moved, toCentre);
        if (InsideProximityCube(toCentre)) {
            cell.ReprojectFlag = 1;
        }
        flagged += cell.ReprojectFlag;
    }
    FlaggedCells = flagged;
}

void ReprojectCells() {
    // Every centre every frame: unflagged cells are drawn around it from their cached offsets.
    ProjectAllCentres();
    for (int32_t i = 0; i < CellCount; ++i) {
        const Cell& cell = CellTable[Index(i)];
        if (cell.ReprojectFlag == 1) {
            assert(StarRangeValid(cell));
            ProjectWithCamera(StarArray.data(), ProjectedStarArray.data(), cell.FirstStar,
                              cell.EndStar);
            AnchorCellStars(i);
        }
    }
}

int32_t FlaggedCellCount() {
    return FlaggedCells;
}

void ResetProjectionCache() {
    ProjectedStarArray.fill(ProjectedStar{});
    ProjectedCentre.clear();
    FlaggedCells = 0;
}
