// cells_test.cpp: cell keys, centres and ranges, and the fast grouping against the plain gather.
#include "data/cells.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>

namespace {

using Rng = std::mt19937_64;
using Stars = std::array<Star, MaxStars>;
using Bits = std::array<uint64_t, 3>;
constexpr double Inf = std::numeric_limits<double>::infinity();

class Cells : public testing::Test {
  protected:
    void SetUp() override {
        ResetStars();
        ResetCells();
    }
};

void Group() {
    SortStarsByCell();
    CountCells();
    AllocateCellArrays();
    BuildCells();
}

bool SameBits(const Vec3& a, const Vec3& b) {
    return std::bit_cast<Bits>(a) == std::bit_cast<Bits>(b);
}

// What any grouping of `input` must give: the same stars, and cells that tile StarArray in
// runs of one key each, no key in two cells, with the centre 100000 k + 50000 on each axis.
testing::AssertionResult IsGrouped(const Stars& input) {
    const auto less = [](const Star& a, const Star& b) {
        return std::bit_cast<Bits>(a) < std::bit_cast<Bits>(b);
    };
    Stars before = input, after = StarArray;
    std::sort(before.begin(), before.end(), less);
    std::sort(after.begin(), after.end(), less);
    if (!std::equal(before.begin(), before.end(), after.begin(), SameBits)) {
        return testing::AssertionFailure() << "the stars changed";
    }
    const auto centre = [](int32_t k) { return static_cast<double>(int64_t{100000} * k + 50000); };
    std::set<std::array<int32_t, 3>> keys;
    int32_t first = 0;
    for (std::size_t cell = 0; cell < CellTable.size() && first < MaxStars; ++cell) {
        const CellKey key = KeyOf(StarArray[first]);
        bool ok = CellTable[cell].FirstStar == first && keys.insert({key.x, key.y, key.z}).second &&
                  SameBits(CellCentre[cell], {centre(key.x), centre(key.y), centre(key.z)});
        for (; ok && first < CellTable[cell].EndStar; ++first) {
            ok = first < MaxStars && KeyOf(StarArray[first]) == key;
        }
        if (!ok) {
            return testing::AssertionFailure() << "cell " << cell << " is wrong";
        }
    }
    return testing::AssertionResult(first == MaxStars && CellTable.size() == keys.size() &&
                                    CellCount == static_cast<int32_t>(keys.size()))
           << CellCount << " cells end at " << first;
}

// Groups `input` both ways and names the first slot where the orders differ.
testing::AssertionResult MatchesPlain(const Stars& input) {
    StarArray = input;
    GatherStarsByCell();
    const Stars expected = StarArray;
    StarArray = input;
    Group();
    const auto slot = std::mismatch(StarArray.begin(), StarArray.end(), expected.begin(), SameBits);
    if (slot.first != StarArray.end()) {
        return testing::AssertionFailure() << "order differs at " << slot.first - StarArray.begin();
    }
    return IsGrouped(input);
}

// Coordinates on and beside cell edges, where truncation toward zero matters; loader extremes.
constexpr double EdgeValues[] = {
    0.0,          -0.0,      1.0,       -1.0,         99999.0,       -99999.0,     99999.99999,
    -99999.99999, 100000.0,  -100000.0, 100000.00001, -100000.00001, 199999.0,     200000.0,
    -200000.0,    -250000.0, 250000.0,  5e-324,       -5e-324,       2147399999.0, -2147499999.0};

// A coordinate in cell `key` (edges aside), plus `wrap` times 2^32 cells, which the low 32 bits
// of the key must not see.
double InCell(Rng& rng, int32_t key, int32_t wrap) {
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    const double whole = static_cast<double>(key) + 4294967296.0 * wrap;
    return (whole + (whole > 0 ? u : whole < 0 ? -u : 2 * u - 1)) * 100000.0;
}

// A palette of `cells` stars, from edge values or random keys, laid out in `pattern`: random
// (0, with some origins), a random prefix (1), long blocks of one star (2), strict interleave
// (3, with a random period). The rest stays at the origin.
Stars MakeStars(Rng& rng, int32_t cells, int pattern, bool edges, bool wrap) {
    std::vector<double> axis[3];
    for (auto& values : axis) {
        for (int32_t v = 0, count = 1 + static_cast<int32_t>(rng() % 4); v < count; ++v) {
            values.push_back(EdgeValues[rng() % std::size(EdgeValues)]);
        }
    }
    const auto coordinate = [&](int a) {
        return edges ? axis[a][rng() % axis[a].size()]
                     : InCell(rng, static_cast<int32_t>(rng() % 41) - 20,
                              wrap ? static_cast<int32_t>(rng() % 3) - 1 : 0);
    };
    std::vector<Star> palette;
    for (int32_t c = 0; c < cells; ++c) {
        palette.push_back(Star{coordinate(0), coordinate(1), coordinate(2)});
    }
    Stars stars{};
    const auto loaded = pattern == 1 ? static_cast<int32_t>(rng() % MaxStars) : MaxStars;
    const std::size_t period = 1 + rng() % palette.size();
    std::size_t block = 0;
    for (int32_t slot = 0; slot < loaded; ++slot) {
        if (pattern < 2 || (pattern == 2 && rng() % 64 == 0)) {
            block = rng() % palette.size();
        }
        block = pattern == 3 ? static_cast<std::size_t>(slot) % period : block;
        stars[slot] = pattern == 0 && rng() % 8 == 0 ? Star{0.0, 0.0, 0.0} : palette[block];
    }
    return stars;
}

TEST_F(Cells, KeysTruncateTowardZeroWrapToTheLow32BitsAndSaturate) {
    const double cases[][2] = {
        {-99999.0, 0},           {99999.0, 0},          {-100000.0, -1},
        {-250000.0, -2},         {250000.0, 2},         {100000.0, 1},
        {-2147499999.0, -21474}, {1e10, 100000},        {4294967296.0 * 100000.0 + 250000.0, 2},
        {-6e14, -1705032704},    {9.2e23, -1650981888}, {-9.2e23, 1650981888}};
    for (const auto& [x, key] : cases) {
        EXPECT_EQ(KeyOf(Vec3{x, 0.0, 0.0}), (CellKey{static_cast<int32_t>(key), 0, 0})) << x;
    }
    EXPECT_EQ(KeyOf(Vec3{std::nan(""), -std::nan(""), 0.0}), (CellKey{0, 0, 0}));
    EXPECT_EQ(KeyOf(Vec3{Inf, -Inf, 1e300}), (CellKey{-1, 0, -1}));
    EXPECT_EQ(KeyOf(Vec3{-1e300, 9.3e23, -9.3e23}), (CellKey{0, -1, 0}));
}

TEST_F(Cells, BuildCellsWritesOnlyRangesAndCentresWithinTheTable) {
    StarArray[5] = Star{500000.0, 0.0, 0.0};
    StarTag[5] = 9;
    Group();
    EXPECT_EQ(StarTag[MaxStars - 1], 9);  // the tag moved with its star to the end
    ASSERT_EQ(CellTable.size(), 2u);
    CellTable.assign(2, Cell{0, 0, Vec3{1.0, 2.0, 3.0}, 1});
    BuildCells();
    EXPECT_TRUE(SameBits(CellTable[1].CameraAtProjection, {1.0, 2.0, 3.0}));
    EXPECT_EQ(CellTable[1].ReprojectFlag, 1);
    // A table shorter than the runs takes only what it has room for.
    CellTable.resize(1);
    CellCentre.resize(1);
    CellTable.shrink_to_fit();  // so that a write past the end trips ASan
    CellCentre.shrink_to_fit();
    StarArray[1] = Star{0.0, 900000.0, 0.0};
    BuildCells();
    EXPECT_EQ(CellTable[0].EndStar, 1);
    ResetCells();
    EXPECT_TRUE(CellCount == 0 && CellTable.empty() && CellCentre.empty());
}

// Every combination of layout, edge or random keys and wrapped keys, with few cells (where the
// gather moves most) and many (where the large moved groups take the bitmap); then all stars at
// the origin, non-finite stars, and every star in its own cell.
TEST_F(Cells, FastGroupingMatchesThePlainGather) {
    Rng rng(20261206);
    for (int32_t round = 0; round < 96; ++round) {
        const int pattern = round % 4;
        const bool edges = round / 4 % 2 == 0;
        const bool wrap = round / 8 % 2 == 0;
        const auto cells = static_cast<int32_t>(round < 72 ? 1 + rng() % 6 : 20 + rng() % 400);
        ASSERT_TRUE(MatchesPlain(MakeStars(rng, cells, pattern, edges, wrap))) << round;
    }
    Stars input{};
    ASSERT_TRUE(MatchesPlain(input));
    EXPECT_EQ(CellCount, 1);
    const Star odd[] = {
        {std::nan(""), 0, 0}, {Inf, 0, 0}, {-Inf, 1e300, 0}, {0, 0, 1e300}, {1e20, 0, 0}};
    for (int32_t slot = 0; slot < MaxStars; slot += 7) {
        input[slot] = odd[static_cast<std::size_t>(slot) % std::size(odd)];
    }
    ASSERT_TRUE(MatchesPlain(input));
    // Five bits of the slot per axis, z clear of the origin.
    for (int32_t slot = 0; slot < MaxStars - 1; ++slot) {
        const auto middle = [slot](int32_t axis) {
            const int32_t key = ((slot >> (5 * axis)) & 31) - 16 + (axis == 2 ? 20 : 0);
            return (key + (key < 0 ? -0.5 : 0.5)) * 100000.0;
        };
        input[slot] = Star{middle(0), middle(1), middle(2)};
    }
    std::shuffle(input.begin(), input.end(), rng);
    ASSERT_TRUE(MatchesPlain(input));
    EXPECT_EQ(CellCount, MaxStars);
}

}  // namespace
