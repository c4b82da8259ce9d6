// columns.cpp: finds a catalogue's columns by role, from default names or --columns.
#include "tools/import/columns.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>

namespace {

constexpr const char* RoleNames[RoleCount] = {"x",        "y",    "z",   "ra",    "dec",
                                              "parallax", "dist", "mag", "colour"};
constexpr std::size_t ListedColumnLimit = 12;  // table columns named in a missing-column message

std::string Lower(const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool RoleFromName(const std::string& name, Role* role) {
    const std::string lower = Lower(name);
    for (std::size_t r = 0; r < RoleCount; ++r) {
        if (lower == RoleNames[r]) {
            *role = static_cast<Role>(r);
            return true;
        }
    }
    if (lower == "distance" || lower == "color") {
        *role = lower == "distance" ? Role::Distance : Role::Colour;
        return true;
    }
    return false;
}

std::vector<const char*> DefaultNames(Role role) {
    switch (role) {
        case Role::Distance:
            return {"dist", "distance"};
        case Role::Magnitude:
            return {"phot_g_mean_mag", "mag", "vmag"};
        case Role::Colour:
            return {"bp_rp", "b_v", "b-v", "ci"};
        default:
            return {RoleNames[Index(role)]};
    }
}

// The first column named `wanted`, case-insensitively, or -1.
int FindColumn(const std::vector<std::string>& lowerNames, const std::string& wanted) {
    const auto found = std::find(lowerNames.begin(), lowerNames.end(), Lower(wanted));
    return found == lowerNames.end() ? -1 : static_cast<int>(found - lowerNames.begin());
}

std::string ListColumns(const std::vector<std::string>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < ListedColumnLimit; ++i) {
        list += (i == 0 ? "" : ", ") + names[i];
    }
    if (names.size() > ListedColumnLimit) {
        list += ", ...";
    }
    return names.empty() ? "none" : list;
}

bool IsSpherical(Role role) {
    return role == Role::Ra || role == Role::Dec || role == Role::Parallax ||
           role == Role::Distance;
}

void Drop(ColumnPlan* plan, std::initializer_list<Role> roles) {
    for (const Role role : roles) {
        plan->column[Index(role)] = -1;
    }
}

// Keeps the position columns of one kind: Cartesian or spherical, parallax before distance.
bool ChoosePosition(ColumnPlan* plan, bool sphericalOverridden, bool distanceOverridden) {
    const bool cartesian = Reads(*plan, Role::X) && Reads(*plan, Role::Y) && Reads(*plan, Role::Z);
    if (cartesian && !sphericalOverridden) {
        plan->cartesian = true;
        Drop(plan, {Role::Ra, Role::Dec, Role::Parallax, Role::Distance});
        return true;
    }
    Drop(plan, {Role::X, Role::Y, Role::Z});
    if (Reads(*plan, Role::Parallax) && Reads(*plan, Role::Distance)) {
        Drop(plan, {distanceOverridden ? Role::Parallax : Role::Distance});
    }
    return Reads(*plan, Role::Ra) && Reads(*plan, Role::Dec) &&
           (Reads(*plan, Role::Parallax) || Reads(*plan, Role::Distance));
}

}  // namespace

const char* RoleName(Role role) {
    return RoleNames[Index(role)];
}

bool ParseColumnOverrides(const std::string& text, ColumnOverrides* overrides, std::string* error) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        const std::string pair = text.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        Role role = Role::X;
        if (equals == std::string::npos || equals + 1 == pair.size()) {
            *error = "--columns: \"" + pair + "\" is not ROLE=COLUMN";
            return false;
        }
        if (!RoleFromName(pair.substr(0, equals), &role)) {
            *error = "--columns: unknown role \"" + pair.substr(0, equals) +
                     "\" (roles: x, y, z, ra, dec, parallax, dist, mag, colour)";
            return false;
        }
        std::string& slot = (*overrides)[Index(role)];
        if (!slot.empty()) {
            *error = std::string("--columns: ") + RoleName(role) + " is given twice";
            return false;
        }
        slot = pair.substr(equals + 1);
        start = end + 1;
    }
    return true;
}

bool PlanColumns(const std::vector<std::string>& names, const ColumnOverrides& overrides,
                 ColumnPlan* plan, std::string* error) {
    std::vector<std::string> lowerNames;
    for (const std::string& name : names) {
        lowerNames.push_back(Lower(name));
    }
    bool sphericalOverridden = false;
    for (std::size_t r = 0; r < RoleCount; ++r) {
        const Role role = static_cast<Role>(r);
        int column = -1;
        if (!overrides[r].empty()) {
            column = FindColumn(lowerNames, overrides[r]);
            if (column < 0) {
                *error = "--columns names \"" + overrides[r] + "\" for " + RoleName(role) +
                         ", but the table has no such column (it has: " + ListColumns(names) + ")";
                return false;
            }
            sphericalOverridden = sphericalOverridden || IsSpherical(role);
        }
        for (const char* name : DefaultNames(role)) {
            column = column >= 0 ? column : FindColumn(lowerNames, name);
        }
        plan->column[r] = column;
    }
    const bool distanceOverridden = !overrides[Index(Role::Distance)].empty();
    if (!ChoosePosition(plan, sphericalOverridden, distanceOverridden)) {
        *error =
            "the table has no position columns: it needs x, y and z, or ra, dec and "
            "parallax (or dist); it has: " +
            ListColumns(names);
        return false;
    }
    for (std::size_t r = 0; r < RoleCount; ++r) {
        plan->name[r] =
            plan->column[r] >= 0 ? names[static_cast<std::size_t>(plan->column[r])] : "";
    }
    const std::string colourName = Lower(plan->name[Index(Role::Colour)]);
    plan->colourIndex =
        colourName.find("bp") != std::string::npos ? ColourIndex::BpMinusRp : ColourIndex::BMinusV;
    return true;
}
