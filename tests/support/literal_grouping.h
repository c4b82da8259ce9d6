// literal_grouping.h: the cell grouping done step by step, slowly, as the reference to match.
// Keys are recomputed at every comparison and the gather rescans the array for every run.
// Precondition: every truncated key fits 64 bits and every low-32-bit key lies within +-21474.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "data/star.h"

namespace literal {

using Stars = std::array<Star, MaxStars>;

struct CellEntry {
    int32_t first, end;
    Vec3 centre;
};

inline int32_t KeyComponent(double coordinate) {
    return static_cast<int32_t>(static_cast<int64_t>(coordinate * 0.00001));
}

// Axis by axis, x first, stopping at the first difference.
inline bool SameKey(const Star& a, const Star& b) {
    return KeyComponent(a.x) == KeyComponent(b.x) && KeyComponent(a.y) == KeyComponent(b.y) &&
           KeyComponent(a.z) == KeyComponent(b.z);
}

// Each run takes the first slot not yet in a run and swaps the later stars of its key, in slot
// order, into the slot just after it.
inline void SortStarsByCell(Stars& stars) {
    for (int32_t i = 0, k = 0; i < MaxStars; i = k) {
        while (k < MaxStars && SameKey(stars[k], stars[i])) {
            ++k;
        }
        for (int32_t m = k + 1; m < MaxStars; ++m) {
            if (SameKey(stars[m], stars[i])) {
                std::swap(stars[k++], stars[m]);
            }
        }
    }
}

inline int32_t CountCells(const Stars& stars) {
    int32_t counter = 1;
    for (int32_t p = 1, r = 0; p < MaxStars; ++p) {
        if (!SameKey(stars[p], stars[r])) {
            ++counter;
            r = p;
        }
    }
    return counter;
}

// 50000 + 100000 k on each axis, in 32-bit arithmetic.
inline Vec3 Centre(const Star& s) {
    const auto c = [](double v) { return static_cast<double>(50000 + 100000 * KeyComponent(v)); };
    return Vec3{c(s.x), c(s.y), c(s.z)};
}

inline std::vector<CellEntry> BuildCells(const Stars& stars) {
    std::vector<CellEntry> cells;
    int32_t r = 0;
    for (int32_t p = 1; p < MaxStars; ++p) {
        if (!SameKey(stars[p], stars[r])) {
            cells.push_back(CellEntry{r, p, Centre(stars[r])});
            r = p;
        }
    }
    cells.push_back(CellEntry{r, MaxStars, Centre(stars[r])});
    return cells;
}

}  // namespace literal
