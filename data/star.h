// star.h: star records, the program-wide star arrays and their capacity.
#pragma once

#include <cstdint>

#include "data/slots.h"

// A point in world space. One world unit is 1/100000 of a unit of the galaxy file.
struct Vec3 {
    double x;
    double y;
    double z;
};

// A star is nothing but its position; the cache and renderer treat every slot as a star.
using Star = Vec3;

inline constexpr int32_t MaxStars = 17225;    // slots in StarArray unless chosen otherwise
inline constexpr float FileUnit = 100000.0f;  // world units in one unit of the galaxy file
inline constexpr double CellSize = FileUnit;  // a cell's edge is one file unit

// Star positions, every slot a star whether loaded or not (unloaded slots stay at the origin);
// the loader fills it, the grouping reorders it once. Page-aligned, so that the projection's
// 32-byte loads and stores of four records never straddle a cache line.
extern SlotArray<Star> StarArray;
// Low 8 bits of each record's fourth field, index-parallel to StarArray: the grouping moves each
// tag with its star. galaxy-import writes a colour class there, which the renderer shows when
// star colours are on (render/palette.h).
extern SlotArray<uint8_t> StarTag;

// The number of slots in both arrays.
inline int32_t StarSlots() {
    return static_cast<int32_t>(StarArray.size());
}

// Gives both arrays `slots` zero slots (1 to INT32_MAX); false, with both left empty, when
// memory cannot be had.
[[nodiscard]] bool AllocateStars(int32_t slots);

// Puts both arrays back to MaxStars zero slots, as at program start.
void ResetStars();
