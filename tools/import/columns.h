// columns.h: the roles a catalogue's columns can play and how they are found by name.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "tools/import/sky.h"

// What a column holds: Cartesian x, y, z in parsecs; or RA and Dec in degrees with a parallax
// in milliarcseconds or a distance in parsecs; and optionally a magnitude and a colour index.
enum class Role { X, Y, Z, Ra, Dec, Parallax, Distance, Magnitude, Colour };
inline constexpr std::size_t RoleCount = 9;

// The role as an index into arrays of RoleCount.
constexpr std::size_t Index(Role role) {
    return static_cast<std::size_t>(role);
}

// The role's name in diagnostics and in --columns: x, y, z, ra, dec, parallax, dist, mag, colour.
const char* RoleName(Role role);

// Column names given for roles with --columns; an empty name leaves the role to the defaults.
using ColumnOverrides = std::array<std::string, RoleCount>;

// Reads "ROLE=COLUMN,ROLE=COLUMN" (roles as RoleName gives them, also "distance" and "color").
// False, with a message in *error, for an unknown role, a role given twice or a bad pair.
bool ParseColumnOverrides(const std::string& text, ColumnOverrides* overrides, std::string* error);

// The columns an import reads: the index of each role's column, or -1 when it plays no part.
// Either x, y and z are all set (Cartesian) or ra, dec and one of parallax and distance.
struct ColumnPlan {
    std::array<int, RoleCount> column;
    std::array<std::string, RoleCount> name;  // the column's name as the table spells it
    bool cartesian = false;
    ColourIndex colourIndex = ColourIndex::BMinusV;
};

// Chooses the columns among the table's names, matched case-insensitively: an override names
// its column; otherwise the first column of a default name (x; y; z; ra; dec; parallax; dist or
// distance; phot_g_mean_mag, mag or vmag; bp_rp, b_v, b-v or ci). Cartesian columns win unless a
// spherical role is overridden. A colour column whose name contains "bp" holds BP-RP, any other
// B-V. False, with a message in *error, when an override names no column or the position
// columns are missing.
bool PlanColumns(const std::vector<std::string>& names, const ColumnOverrides& overrides,
                 ColumnPlan* plan, std::string* error);

// Whether the role's column is read under the plan.
inline bool Reads(const ColumnPlan& plan, Role role) {
    return plan.column[Index(role)] >= 0;
}
