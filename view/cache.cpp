// cache.cpp: the per-cell projection cache: which cells to re-project, and re-projecting them.
//
// This is the plain form: cells flagged, then re-projected one run after another on this
// thread. For galaxies of 32768 stars and more, cache_slices.cpp re-projects them instead, cut
// into slices of equal star counts for the threads, with the same values.
#include "view/cache.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "data/cells.h"
#include "data/parallel.h"
#include "view/cache_internal.h"
#include "view/camera.h"
#include "view/lanes_avx2.h"
#include "view/simd.h"

SlotArray<ProjectedStar> ProjectedStarArray;
std::vector<ProjectedStar> ProjectedCentre;
std::vector<OffsetBounds> ProjectedBounds;

namespace cache {

bool StarRangeValid(const Cell& cell) {
    return 0 <= cell.FirstStar && cell.FirstStar <= cell.EndStar &&
           Index(cell.EndStar) <= StarArray.size() &&
           Index(cell.EndStar) <= ProjectedStarArray.size();
}

void Widen(OffsetBounds& bounds, const ProjectedStar& star) {
    bounds.MinX = star.x < bounds.MinX ? star.x : bounds.MinX;
    bounds.MaxX = star.x > bounds.MaxX ? star.x : bounds.MaxX;
    bounds.MinY = star.y < bounds.MinY ? star.y : bounds.MinY;
    bounds.MaxY = star.y > bounds.MaxY ? star.y : bounds.MaxY;
    bounds.MaxDepth = star.depth > bounds.MaxDepth ? star.depth : bounds.MaxDepth;
}

void Widen(OffsetBounds& bounds, const OffsetBounds& more) {
    bounds.MinX = std::min(bounds.MinX, more.MinX);  // bounds hold no NaN
    bounds.MaxX = std::max(bounds.MaxX, more.MaxX);
    bounds.MinY = std::min(bounds.MinY, more.MinY);
    bounds.MaxY = std::max(bounds.MaxY, more.MaxY);
    bounds.MaxDepth = std::max(bounds.MaxDepth, more.MaxDepth);
}

void RecordCell(int32_t i, const OffsetBounds& bounds) {
    CellTable[Index(i)].CameraAtProjection = Camera.Position;
    if (Index(i) < ProjectedBounds.size()) {
        ProjectedBounds[Index(i)] = {bounds.MinX + 0.0, bounds.MaxX + 0.0, bounds.MinY + 0.0,
                                     bounds.MaxY + 0.0, bounds.MaxDepth + 0.0};
    }
}

}  // namespace cache

namespace {

using cache::Index;

// A cell's stars are re-projected once moved^2 / distance^2 reaches this (0.2236 % in distance).
constexpr double StaleRatio = 5e-6;
// Half-edge of the cube around a cell centre inside which the camera forces a re-projection:
// five cell edges, 500000 world units.
constexpr double ProximityHalfEdge = 5 * CellSize;
// Cells below this are marked and their centres projected on one thread.
constexpr int64_t MinCellsPerSlice = 16384;
// Bounds are kept for galaxies of this many stars and more, which the renderer may plot on
// several threads; it never looks at them for smaller ones.
constexpr int32_t MinBoundedStars = 65536;
// Below this many stars, anchoring goes star by star rather than four at a time.
constexpr int32_t ShortRun = 16;

int32_t FlaggedCells = 0;  // number of cells the last MarkCells flagged

// The camera's axes and constants, derived once for all the ranges one frame projects.
Projector CurrentProjector() {
    return MakeProjector(Camera.Position, Camera.Direction, Camera.Up, Camera.FocalDistance);
}

void AnchorStarByStar(int32_t i, int32_t from, int32_t to, OffsetBounds& bounds) {
    const ProjectedStar centre = ProjectedCentre[Index(i)];
    for (int32_t j = from; j < to; ++j) {
        ProjectedStar& star = ProjectedStarArray[Index(j)];
        star.x = star.x - centre.x;
        star.y = star.y - centre.y;
        cache::Widen(bounds, star);
    }
}

// Picked once at load time by the CPU, like MarkAll.
[[gnu::target("default")]] void AnchorFourAtATime(int32_t i, int32_t from, int32_t to,
                                                  OffsetBounds& bounds) {
    AnchorStarByStar(i, from, to, bounds);
}

// The same subtractions four stars at a time, with four running bounds per field (minpd and
// maxpd keep their second operand when the first is NaN, as Widen keeps the bound), so that the
// comparisons do not wait on one another. The bounds may differ from Widen's in the sign of a
// zero only, which RecordCell settles.
[[gnu::target("avx2")]] void AnchorFourAtATime(int32_t i, int32_t from, int32_t to,
                                               OffsetBounds& bounds) {
    const ProjectedStar centre = ProjectedCentre[Index(i)];
    ProjectedStar* const stars = ProjectedStarArray.data();
    __m256d minX = _mm256_set1_pd(bounds.MinX), maxX = _mm256_set1_pd(bounds.MaxX);
    __m256d minY = _mm256_set1_pd(bounds.MinY), maxY = _mm256_set1_pd(bounds.MaxY);
    __m256d maxDepth = _mm256_set1_pd(bounds.MaxDepth);
    int32_t j = from;
    for (; to - j >= 4; j += 4) {
        Lanes4 four = LoadFourRecords(&stars[j].x);
        four.x = four.x - centre.x;
        four.y = four.y - centre.y;
        StoreFourRecords(&stars[j].x, four);
        minX = _mm256_min_pd(four.x, minX);
        maxX = _mm256_max_pd(four.x, maxX);
        minY = _mm256_min_pd(four.y, minY);
        maxY = _mm256_max_pd(four.y, maxY);
        maxDepth = _mm256_max_pd(four.z, maxDepth);
    }
    for (int k = 0; k < 4; ++k) {
        cache::Widen(bounds, OffsetBounds{minX[k], maxX[k], minY[k], maxY[k], maxDepth[k]});
    }
    AnchorStarByStar(i, j, to, bounds);
}

// Start-up sizes the four per-cell arrays to CellCount (the bounds, for galaxies that keep
// them); nothing resizes them later.
[[maybe_unused]] bool CellArraysSized() {
    return CellCount >= 0 && CellTable.size() >= Index(CellCount) &&
           CellCentre.size() >= Index(CellCount) && ProjectedCentre.size() >= Index(CellCount);
}

// Every centre with the projector, a slice of them per thread when there are many.
void ProjectAllCentres(const Projector& projector) {
    assert(CellArraysSized());
    const int32_t slices = SliceCount(CellCount, MinCellsPerSlice);
    RunSlices(slices, [&](int32_t slice) {
        ProjectRange(projector, CellCentre.data(), ProjectedCentre.data(),
                     static_cast<int32_t>(SliceStart(CellCount, slices, slice)),
                     static_cast<int32_t>(SliceStart(CellCount, slices, slice + 1)));
    });
}

// Records the camera in cell i and turns its freshly projected stars' x and y into offsets
// from ProjectedCentre entry i; depth stays absolute.
void AnchorCellStars(int32_t i) {
    Cell& cell = CellTable[Index(i)];
    assert(cache::StarRangeValid(cell));
    cell.CameraAtProjection = Camera.Position;
    const ProjectedStar& centre = ProjectedCentre[Index(i)];
    for (int32_t j = cell.FirstStar; j < cell.EndStar; ++j) {
        ProjectedStar& star = ProjectedStarArray[Index(j)];
        star.x = star.x - centre.x;
        star.y = star.y - centre.y;
    }
}

// One past the last of the flagged cells from first on whose star runs follow each other.
int32_t FlaggedRunEnd(int32_t first) {
    assert(cache::StarRangeValid(CellTable[Index(first)]));
    int32_t end = first + 1;
    while (end < CellCount && CellTable[Index(end)].ReprojectFlag == 1 &&
           CellTable[Index(end)].FirstStar == CellTable[Index(end - 1)].EndStar) {
        assert(cache::StarRangeValid(CellTable[Index(end)]));
        ++end;
    }
    return end;
}

// The flagged cells' stars of a small galaxy, on this thread. Flagged cells whose runs adjoin are
// projected in one call: the same values, with the per-call cost paid once for a whole
// neighbourhood of one-star cells.
void ProjectFlaggedInOrder(const Projector& projector) {
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
[[gnu::target("default")]] int32_t MarkAll(const Vec3& camera, int32_t from, int32_t to) {
    return MarkScalar(camera, from, to);
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

[[gnu::target("avx2")]] int32_t MarkAll(const Vec3& camera, int32_t from, int32_t to) {
    Cell* const cells = CellTable.data();
    const Vec3* const centres = CellCentre.data();
    const Vec3 eye = camera;  // a copy the flag stores cannot alias
    int32_t flagged = 0;
    int32_t i = from;
    for (; to - i >= 4; i += 4) {
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
    return flagged + MarkScalar(eye, i, to);
}

}  // namespace

void cache::AnchorStars(int32_t i, int32_t from, int32_t to, OffsetBounds& bounds) {
    if (to - from < ShortRun) {
        AnchorStarByStar(i, from, to, bounds);  // one-star cells, where the lanes cost more
    } else {
        AnchorFourAtATime(i, from, to, bounds);
    }
}

void AllocateProjectedCentre() {
    if (!ProjectedStarArray.Resize(StarArray.size())) {
        throw std::bad_alloc();
    }
    const std::size_t cells = Index(CellCount < 0 ? 0 : CellCount);
    ProjectedCentre.assign(cells, ProjectedStar{});
    ProjectedBounds.assign(StarSlots() >= MinBoundedStars ? cells : 0, AnyOffsets);
    cache::ReserveSlices(cells);
}

void BuildProjectionCache() {
    const Projector projector = CurrentProjector();
    assert(ProjectedStarArray.size() == StarArray.size());
    ProjectAllCentres(projector);
    cache::ProjectInSlices(projector, cache::Chosen::All, true);
}

void MarkCells() {
    assert(CellArraysSized());
    const Vec3 camera = Camera.Position;
    const int32_t slices = SliceCount(CellCount, MinCellsPerSlice);
    if (slices == 1) {
        FlaggedCells = MarkAll(camera, 0, CellCount);
        return;
    }
    std::array<int32_t, MaxThreads> flagged{};
    RunSlices(slices, [&](int32_t slice) {
        flagged[Index(slice)] =
            MarkAll(camera, static_cast<int32_t>(SliceStart(CellCount, slices, slice)),
                    static_cast<int32_t>(SliceStart(CellCount, slices, slice + 1)));
    });
    FlaggedCells = 0;
    for (int32_t slice = 0; slice < slices; ++slice) {
        FlaggedCells += flagged[Index(slice)];
    }
}

void ReprojectCells() {
    // Every centre every frame: unflagged cells are drawn around it from their cached offsets.
    const Projector projector = CurrentProjector();
    ProjectAllCentres(projector);
    if (cache::SlicesPay() || !ProjectedBounds.empty()) {  // only the sliced form keeps bounds
        cache::ProjectInSlices(projector, cache::Chosen::Flagged, false);
    } else {
        ProjectFlaggedInOrder(projector);
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
    ProjectedBounds.clear();
    cache::ReleaseSlices();
    FlaggedCells = 0;
}
