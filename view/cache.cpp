// cache.cpp: the per-cell projection cache: which cells to re-project, and re-projecting them.
#include "view/cache.h"

#include <immintrin.h>

#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "data/cells.h"
#include "view/camera.h"
#include "view/simd.h"

SlotArray<ProjectedStar> ProjectedStarArray;
std::vector<ProjectedStar> ProjectedCentre;

namespace {

// A cell's stars are re-projected once moved^2 / distance^2 reaches this (0.2236 % in distance).
constexpr double StaleRatio = 5e-6;
// Half-edge of the cube around a cell centre inside which the camera forces a re-projection:
// five cell edges, 500000 world units.
constexpr double ProximityHalfEdge = 5 * CellSize;

int32_t FlaggedCells = 0;  // number of cells the last MarkCells flagged

std::size_t Index(int32_t i) {
    return static_cast<std::size_t>(i);
}

// The camera's axes and constants, derived once for all the ranges one frame projects.
Projector CurrentProjector() {
    return MakeProjector(Camera.Position, Camera.Direction, Camera.Up, Camera.FocalDistance);
}

// The grouping guarantees every cell's run lies within StarArray, and start-up sizes
// ProjectedStarArray to match it.
[[maybe_unused]] bool StarRangeValid(const Cell& cell) {
    return 0 <= cell.FirstStar && cell.FirstStar <= cell.EndStar &&
           Index(cell.EndStar) <= StarArray.size() &&
           Index(cell.EndStar) <= ProjectedStarArray.size();
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

// One past the last of the flagged cells from first on whose star runs follow each other.
int32_t FlaggedRunEnd(int32_t first) {
    assert(StarRangeValid(CellTable[Index(first)]));
    int32_t end = first + 1;
    while (end < CellCount && CellTable[Index(end)].ReprojectFlag == 1 &&
           CellTable[Index(end)].FirstStar == CellTable[Index(end - 1)].EndStar) {
        assert(StarRangeValid(CellTable[Index(end)]));
        ++end;
    }
    return end;
}

void ProjectAllCentres(const Projector& projector) {
    assert(CellArraysSized());
    ProjectRange(projector, CellCentre.data(), ProjectedCentre.data(), 0, CellCount);
}

// The ratio rule: 1 once the camera has moved far enough, against its distance to the centre,
// for the cached picture to be wrong; a camera exactly at the centre gives 1 without a division
// by zero. The proximity rule: 1 with the camera strictly inside the cube around the centre.
// NaN fails every comparison, so it flags nothing. Written without branches, for one cell or four
// AVX2 lanes, so that the two give the same flags.
template <typename Real, typename Flag>
[[gnu::always_inline]] inline Flag CellFlags(const Xyz<Real>& moved, const Xyz<Real>& to) {
    const Real moved2 = Dot(moved, moved);
    const Real distance2 = Dot(to, to);
    const Flag atCentre = distance2 == 0.0;
    const Real divisor = atCentre ? Real{} + 1.0 : distance2;
    const Flag stale = moved2 / divisor >= StaleRatio;
    const Flag near = (to.x < ProximityHalfEdge) & (to.x > -ProximityHalfEdge) &
                      (to.y < ProximityHalfEdge) & (to.y > -ProximityHalfEdge) &
                      (to.z < ProximityHalfEdge) & (to.z > -ProximityHalfEdge);
    return atCentre | stale | near;
}

// Flags cells[from, to) and returns how many it flagged; every flag is written, so none
// survives from an earlier frame.
[[gnu::always_inline]] inline int32_t MarkScalar(const Vec3& camera, int32_t from, int32_t to) {
    int32_t flagged = 0;
    for (int32_t i = from; i < to; ++i) {
        Cell& cell = CellTable[Index(i)];
        const Vec3& centre = CellCentre[Index(i)];
        const Vec3& last = cell.CameraAtProjection;
        const bool flag = CellFlags<double, bool>(Minus(camera, last), Minus(camera, centre));
        cell.ReprojectFlag = flag ? 1 : 0;
        flagged += cell.ReprojectFlag;
    }
    return flagged;
}

// Picked once at load time by the CPU: AVX2 takes four cells per step, other processors one.
[[gnu::target("default")]] int32_t MarkAll(const Vec3& camera) {
    return MarkScalar(camera, 0, CellCount);
}

// The x, y and z of four Vec3 at the given addresses, as lanes: the x y pairs are loaded whole
// and unpacked, the z values one by one.
[[gnu::target("avx2"), gnu::always_inline]] inline Lanes4 GatherFour(const Vec3* v0, const Vec3* v1,
                                                                     const Vec3* v2,
                                                                     const Vec3* v3) {
    const __m256d even = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(&v0->x)),
                                              _mm_loadu_pd(&v2->x), 1);  // x0 y0 x2 y2
    const __m256d odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(&v1->x)),
                                             _mm_loadu_pd(&v3->x), 1);  // x1 y1 x3 y3
    return {_mm256_unpacklo_pd(even, odd), _mm256_unpackhi_pd(even, odd),
            Double4{v0->z, v1->z, v2->z, v3->z}};
}

[[gnu::target("avx2")]] int32_t MarkAll(const Vec3& camera) {
    Cell* const cells = CellTable.data();
    const Vec3* const centres = CellCentre.data();
    const Vec3 eye = camera;  // a copy the flag stores cannot alias
    int32_t flagged = 0;
    int32_t i = 0;
    for (; CellCount - i >= 4; i += 4) {
        Cell* const c = cells + i;
        const Lanes4 last = GatherFour(&c[0].CameraAtProjection, &c[1].CameraAtProjection,
                                       &c[2].CameraAtProjection, &c[3].CameraAtProjection);
        const Lanes4 centre =
            GatherFour(centres + i, centres + i + 1, centres + i + 2, centres + i + 3);
        const Mask4 flags = CellFlags<Double4, Mask4>(Minus(eye, last), Minus(eye, centre));
        const int bits = _mm256_movemask_pd(reinterpret_cast<__m256d>(flags));
        for (int k = 0; k < 4; ++k) {
            c[k].ReprojectFlag = (bits >> k) & 1;
        }
        flagged += __builtin_popcount(static_cast<unsigned>(bits));
    }
    return flagged + MarkScalar(eye, i, CellCount);
}

}  // namespace

void AllocateProjectedCentre() {
    if (!ProjectedStarArray.Resize(StarArray.size())) {
        throw std::bad_alloc();
    }
    ProjectedCentre.assign(Index(CellCount < 0 ? 0 : CellCount), ProjectedStar{});
}

void BuildProjectionCache() {
    const Projector projector = CurrentProjector();
    assert(ProjectedStarArray.size() == StarArray.size());
    ProjectRange(projector, StarArray.data(), ProjectedStarArray.data(), 0, StarSlots());
    ProjectAllCentres(projector);
    for (int32_t i = 0; i < CellCount; ++i) {
        AnchorCellStars(i);
    }
}

void MarkCells() {
    assert(CellArraysSized());
    const Vec3 camera = Camera.Position;
    FlaggedCells = MarkAll(camera);
}

void ReprojectCells() {
    // Every centre every frame: unflagged cells are drawn around it from their cached offsets.
    const Projector projector = CurrentProjector();
    ProjectAllCentres(projector);
    // Flagged cells whose runs adjoin are projected in one call: the same values, with the
    // per-call cost paid once for a whole neighbourhood of one-star cells.
    int32_t first = 0;
    while (first < CellCount) {
        if (CellTable[Index(first)].ReprojectFlag != 1) {
            ++first;
            continue;
        }
        const int32_t end = FlaggedRunEnd(first);
        ProjectRange(projector, StarArray.data(), ProjectedStarArray.data(),
                     CellTable[Index(first)].FirstStar, CellTable[Index(end - 1)].EndStar);
        for (int32_t i = first; i < end; ++i) {
            AnchorCellStars(i);
        }
        first = end;
    }
}

int32_t FlaggedCellCount() {
    return FlaggedCells;
}

void ResetProjectionCache() {
    ProjectedStarArray.Release();
    if (!ProjectedStarArray.Resize(MaxStars)) {
        std::abort();  // 400 kB the program cannot start without
    }
    ProjectedCentre.clear();
    FlaggedCells = 0;
}
