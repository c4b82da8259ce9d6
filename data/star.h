// star.h: star records, the program-wide star arrays and their fixed capacity.
#pragma once

#include <array>
#include <cstdint>

// A point in world space. One world unit is 1/100000 of a unit of the galaxy file.
struct Vec3 {
    double x;
    double y;
    double z;
};

// A star is nothing but its position; the cache and renderer treat every slot as a star.
using Star = Vec3;

inline constexpr int32_t MaxStars = 17225;    // capacity of StarArray, loaded or not
inline constexpr float FileUnit = 100000.0f;  // world units in one unit of the galaxy file
inline constexpr double CellSize = FileUnit;  // a cell's edge is one file unit

// Star positions, zero-filled at start; the loader fills it, the grouping reorders it once.
// Aligned to a cache line, like ProjectedStarArray, so that the projection's 32-byte loads and
// stores of four records never straddle a line.
extern std::array<Star, MaxStars> StarArray;
// Low 8 bits of each record's fourth field, index-parallel to StarArray: the grouping moves each
// tag with its star. galaxy-import writes a colour class there, which the renderer shows when
// star colours are on (render/palette.h).
extern std::array<uint8_t, MaxStars> StarTag;

// Puts both arrays back to all zeros, as at program start.
void ResetStars();
