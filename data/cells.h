// cells.h: the grouping of stars into cubic cells, the cell table and cell centres.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "data/star.h"

// Names a star's cell: on each axis, how many cell edges from the origin (see KeyOf).
struct CellKey {
    int32_t x;
    int32_t y;
    int32_t z;
    friend bool operator==(const CellKey&, const CellKey&) = default;
};

// One run of StarArray whose stars share a key.
struct Cell {
    int32_t FirstStar;        // first StarArray slot of the cell (inclusive)
    int32_t EndStar;          // one past the last slot (exclusive)
    Vec3 CameraAtProjection;  // camera position when the cell's stars were last projected
    int32_t ReprojectFlag;    // 1 when this frame must project the cell's stars again
};

extern std::vector<Cell> CellTable;   // CellCount entries, in StarArray order
extern std::vector<Vec3> CellCentre;  // CellCount centres, index-parallel to CellTable
extern int32_t CellCount;             // number of runs of keys among all StarSlots() slots
// Where each run of one key ends, in slot order, as SortStarsByCell found them: CountCells and
// BuildCells then need not look at every star again. Empty otherwise; BuildCells empties it.
extern SlotArray<int32_t> CellRunEnds;

// The key of a point: on each axis the coordinate times 1 / CellSize (a double), truncated
// toward zero to 64 bits, of which the low 32 bits are kept. Defined for every double, even
// those the loader never admits: a product beyond the 64-bit range saturates (so +inf gives -1
// and -inf gives 0, the low halves of INT64_MAX and INT64_MIN), and NaN gives 0.
// The keys are made with that product, not by dividing by CellSize, which can differ in the
// last bit; 1 / CellSize rounds to the same double as the constant 1e-5. Inline, as KeyOf is:
// the grouping's passes over every star call it three times a star.
inline int64_t TruncatedKeyComponent(double coordinate) {
    const double scaled = coordinate * (1.0 / CellSize);
    constexpr double TwoTo63 = 9223372036854775808.0;
    if (std::fabs(scaled) < TwoTo63) {
        return static_cast<int64_t>(scaled);
    }
    if (std::isnan(scaled)) {
        return 0;
    }
    return scaled > 0 ? INT64_MAX : INT64_MIN;
}

// Keys compare by their low 32 bits; the conversion wraps modulo 2^32.
inline int32_t KeyComponent(double coordinate) {
    return static_cast<int32_t>(TruncatedKeyComponent(coordinate));
}

inline CellKey KeyOf(const Vec3& point) {
    return CellKey{KeyComponent(point.x), KeyComponent(point.y), KeyComponent(point.z)};
}

// Sizes CellTable and CellCentre to CellCount value-initialised entries; throws
// std::bad_alloc on failure.
void AllocateCellArrays();

// The plain grouping: rearranges StarArray, each StarTag entry moving with its star, so that
// every key forms one contiguous run. Each run starts at the first slot not yet in a run, and
// the later stars of its key, met in increasing slot order, are swapped one by one into the
// slot just after the run. Its work grows with the slots times the number of cells; the program
// calls SortStarsByCell instead.
void GatherStarsByCell();
// GatherStarsByCell's order in about N log N steps (cells_sort.cpp); the tags move with their
// stars here too. False, with the order incomplete, when its scratch memory cannot be had or a
// stop was requested (see startup.h).
[[nodiscard]] bool SortStarsByCell();
// Sets CellCount to the number of runs in StarArray.
void CountCells();
// Fills CellTable ranges and CellCentre; both must already hold CellCount entries (any run
// beyond their size is left out rather than written past the end).
void BuildCells();

// Empties the cell table and centres and sets CellCount to 0, as at program start.
void ResetCells();
