// cells_test.cpp: cell keys, centres and ranges, and the fast grouping against the slow one.
#include "data/cells.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "data/star.h"
#include "tests/support/literal_grouping.h"

namespace {

using Rng = std::mt19937_64;

class CellGrouping : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetStars();
        ResetCells();
    }
    void TearDown() override {
        ResetStars();
        ResetCells();
    }
};

void GroupStarArray() {
    SortStarsByCell();
    CountCells();
    AllocateCellArrays();
    BuildCells();
}

bool SameBits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}
bool SameBits(const Vec3& a, const Vec3& b) {
    return SameBits(a.x, b.x) && SameBits(a.y, b.y) && SameBits(a.z, b.z);
}

// Groups `input` both ways and names the first slot, count, range or centre that differs.
::testing::AssertionResult MatchesLiteral(const literal::Stars& input) {
    literal::Stars expected = input;
    literal::SortStarsByCell(expected);
    const int32_t expectedCount = literal::CountCells(expected);
    const std::vector<literal::CellEntry> expectedCells = literal::BuildCells(expected);
    StarArray = input;
    ResetCells();
    GroupStarArray();
    for (int32_t slot = 0; slot < MaxStars; ++slot) {
        if (!SameBits(StarArray[slot], expected[slot])) {
            return ::testing::AssertionFailure() << "order differs at slot " << slot;
        }
    }
    if (CellCount != expectedCount || CellTable.size() != expectedCells.size()) {
        return ::testing::AssertionFailure()
               << "CellCount " << CellCount << ", expected " << expectedCount;
    }
    for (std::size_t e = 0; e < expectedCells.size(); ++e) {
        const literal::CellEntry& want = expectedCells[e];
        if (CellTable[e].FirstStar != want.first || CellTable[e].EndStar != want.end ||
            !SameBits(CellCentre[e], want.centre)) {
            return ::testing::AssertionFailure() << "cell " << e << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

// Checks what any grouping must give, without the reference: one key per entry, each key in
// one entry only, entries tiling the array.
::testing::AssertionResult IsGrouped() {
    std::vector<CellKey> seen;
    int32_t expectedFirst = 0;
    for (const Cell& cell : CellTable) {
        if (cell.FirstStar != expectedFirst || cell.EndStar <= cell.FirstStar) {
            return ::testing::AssertionFailure() << "ranges do not tile at " << expectedFirst;
        }
        const CellKey key = KeyOf(StarArray[cell.FirstStar]);
        for (int32_t slot = cell.FirstStar; slot < cell.EndStar; ++slot) {
            if (!(KeyOf(StarArray[slot]) == key)) {
                return ::testing::AssertionFailure() << "mixed keys in cell at " << slot;
            }
        }
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            return ::testing::AssertionFailure() << "key split at " << cell.FirstStar;
        }
        seen.push_back(key);
        expectedFirst = cell.EndStar;
    }
    if (expectedFirst != MaxStars) {
        return ::testing::AssertionFailure() << "ranges end at " << expectedFirst;
    }
    return ::testing::AssertionSuccess();
}

// Coordinates on and beside cell edges, where truncation toward zero matters, and the loader's
// extremes.
constexpr double EdgeValues[] = {
    0.0,          -0.0,      1.0,       -1.0,         99999.0,       -99999.0,     99999.99999,
    -99999.99999, 100000.0,  -100000.0, 100000.00001, -100000.00001, 199999.0,     200000.0,
    -200000.0,    -250000.0, 250000.0,  5e-324,       -5e-324,       2147399999.0, -2147499999.0};

double Pick(Rng& rng, const std::vector<double>& values) {
    return values[rng() % values.size()];
}

// A coordinate whose key is `key` up to rounding at the edge; `wrap` adds multiples of 2^32
// to the key, which the low 32 bits must not see.
double InCell(Rng& rng, int32_t key, int32_t wrap) {
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    const double whole = static_cast<double>(key) + 4294967296.0 * wrap;
    const double offset = whole > 0 ? u : (whole < 0 ? -u : 2 * u - 1);
    return (whole + offset) * 100000.0;
}

// Stars from a palette of `cells` anchors: edge values, or random keys with jitter inside.
std::vector<Star> MakePalette(Rng& rng, int32_t cells, bool edges, bool wrap) {
    std::vector<double> axis[3];
    for (auto& values : axis) {
        const int32_t count = 1 + static_cast<int32_t>(rng() % 4);
        for (int32_t v = 0; v < count; ++v) {
            values.push_back(EdgeValues[rng() % std::size(EdgeValues)]);
        }
    }
    std::vector<Star> palette;
    for (int32_t c = 0; c < cells; ++c) {
        if (edges) {
            palette.push_back(Star{Pick(rng, axis[0]), Pick(rng, axis[1]), Pick(rng, axis[2])});
        } else {
            const auto key = [&rng] { return static_cast<int32_t>(rng() % 41) - 20; };
            const auto turns = [&rng, wrap] {
                return wrap ? static_cast<int32_t>(rng() % 3) - 1 : 0;
            };
            palette.push_back(Star{InCell(rng, key(), turns()), InCell(rng, key(), turns()),
                                   InCell(rng, key(), turns())});
        }
    }
    return palette;
}

// One random input: palette stars laid out in one of several patterns, the rest at the origin.
literal::Stars MakeStars(Rng& rng, int32_t cells, bool edges, bool wrap) {
    const std::vector<Star> palette = MakePalette(rng, cells, edges, wrap);
    literal::Stars stars{};
    const int32_t pattern = static_cast<int32_t>(rng() % 4);
    const int32_t loaded = pattern == 1 ? static_cast<int32_t>(rng() % MaxStars) : MaxStars;
    const int32_t period = 1 + static_cast<int32_t>(rng() % palette.size());
    std::size_t block = 0;
    for (int32_t slot = 0; slot < loaded; ++slot) {
        if (pattern == 2 && rng() % 64 == 0) {
            block = rng() % palette.size();  // long blocks of one star each
        } else if (pattern == 3) {
            block = static_cast<std::size_t>(slot % period);  // strict interleave
        } else if (pattern < 2) {
            block = rng() % palette.size();
        }
        stars[slot] = pattern == 0 && rng() % 8 == 0 ? Star{0.0, 0.0, 0.0} : palette[block];
    }
    return stars;
}

TEST_F(CellGrouping, AllAtOriginIsOneCell) {
    GroupStarArray();
    EXPECT_EQ(CellCount, 1);
    ASSERT_EQ(CellTable.size(), 1u);
    EXPECT_EQ(CellTable[0].FirstStar, 0);
    EXPECT_EQ(CellTable[0].EndStar, MaxStars);
    EXPECT_TRUE(SameBits(CellCentre[0], Vec3{50000.0, 50000.0, 50000.0}));
}

TEST_F(CellGrouping, KeysTruncateTowardZeroAndCentresFollowTheKey) {
    struct Case {
        double x;
        int32_t key;
        double centre;
    };
    const Case cases[] = {{-99999.0, 0, 50000.0},
                          {99999.0, 0, 50000.0},
                          {-100000.0, -1, -50000.0},
                          {-250000.0, -2, -150000.0},
                          {250000.0, 2, 250000.0},
                          {100000.0, 1, 150000.0},
                          {-2147499999.0, -21474, -2147350000.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.x);
        EXPECT_EQ(KeyOf(Vec3{c.x, 0.0, 0.0}), (CellKey{c.key, 0, 0}));
        ResetStars();
        StarArray[0] = Vec3{c.x, 0.0, 0.0};
        StarArray[1] = Vec3{0.0, 0.0, 300000.0};
        GroupStarArray();
        ASSERT_GE(CellCount, 2);
        EXPECT_TRUE(SameBits(CellCentre[0], Vec3{c.centre, 50000.0, 50000.0}));
    }
}

TEST_F(CellGrouping, KeysAreDefinedForEveryDouble) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(KeyOf(Vec3{std::nan(""), -std::nan(""), 0.0}), (CellKey{0, 0, 0}));
    EXPECT_EQ(KeyOf(Vec3{inf, -inf, 1e300}), (CellKey{-1, 0, -1}));
    EXPECT_EQ(KeyOf(Vec3{-1e300, 9.3e23, -9.3e23}), (CellKey{0, -1, 0}));
    // Keys that fit 64 bits wrap in their low 32 bits, exactly as the plain conversion does.
    for (const double x : {4294967296.0 * 100000.0 + 50000.0, -6e14, 1e10, 9.2e23, -9.2e23}) {
        EXPECT_EQ(KeyOf(Vec3{x, 0.0, 0.0}).x, literal::KeyComponent(x)) << x;
    }
    EXPECT_EQ(KeyOf(Vec3{4294967296.0 * 100000.0 + 250000.0, 0.0, 0.0}).x, 2);
}

TEST_F(CellGrouping, NonFiniteStarsStillGroupCleanly) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const Star odd[] = {{std::nan(""), 0.0, 0.0},
                        {inf, 0.0, 0.0},
                        {-inf, 1e300, 0.0},
                        {0.0, 0.0, 1e300},
                        {1e20, 0.0, 0.0}};
    for (int32_t slot = 0; slot < MaxStars; slot += 7) {
        StarArray[slot] = odd[static_cast<std::size_t>(slot) % std::size(odd)];
    }
    GroupStarArray();
    EXPECT_TRUE(IsGrouped());
}

TEST_F(CellGrouping, KeyMetAgainLaterJoinsItsFirstRun) {
    const Star a{150000.0, 0.0, 0.0};
    const Star b{-150000.0, 0.0, 0.0};
    const Star c{0.0, 0.0, 0.0};
    StarArray[0] = a;
    StarArray[1] = b;
    StarArray[2] = a;
    GroupStarArray();
    EXPECT_TRUE(SameBits(StarArray[1], a));
    EXPECT_TRUE(SameBits(StarArray[2], b));
    EXPECT_TRUE(SameBits(StarArray[3], c));
    ASSERT_EQ(CellCount, 3);
    const int32_t ranges[3][2] = {{0, 2}, {2, 3}, {3, MaxStars}};
    for (std::size_t e = 0; e < 3; ++e) {
        EXPECT_EQ(CellTable[e].FirstStar, ranges[e][0]);
        EXPECT_EQ(CellTable[e].EndStar, ranges[e][1]);
    }
}

TEST_F(CellGrouping, BuildCellsWritesOnlyRangesAndCentres) {
    StarArray[5] = Star{500000.0, 0.0, 0.0};
    SortStarsByCell();
    CountCells();
    AllocateCellArrays();
    ASSERT_EQ(CellTable.size(), 2u);
    EXPECT_EQ(CellTable[1].ReprojectFlag, 0);  // value-initialised
    for (Cell& cell : CellTable) {
        cell.CameraAtProjection = Vec3{1.0, 2.0, 3.0};
        cell.ReprojectFlag = 1;
    }
    BuildCells();
    for (const Cell& cell : CellTable) {
        EXPECT_TRUE(SameBits(cell.CameraAtProjection, Vec3{1.0, 2.0, 3.0}));
        EXPECT_EQ(cell.ReprojectFlag, 1);
    }
    // A table shorter than the runs takes only the entries it has room for.
    CellTable.resize(1);
    CellCentre.resize(1);
    StarArray[1] = Star{0.0, 900000.0, 0.0};
    BuildCells();
    EXPECT_EQ(CellTable[0].EndStar, 1);
}

TEST_F(CellGrouping, ResetEmptiesTheTable) {
    StarArray[3].x = 700000.0;
    StarTag[3] = 9;
    GroupStarArray();
    EXPECT_EQ(StarTag[3], 9);  // tags stay parallel to the stars as loaded
    ResetCells();
    EXPECT_EQ(CellCount, 0);
    EXPECT_TRUE(CellTable.empty());
    EXPECT_TRUE(CellCentre.empty());
}

TEST_F(CellGrouping, MatchesLiteralWithFewCellsInterleaved) {
    Rng rng(20261206);
    for (int32_t round = 0; round < 1500; ++round) {
        const int32_t cells = 1 + static_cast<int32_t>(rng() % 6);
        const literal::Stars input = MakeStars(rng, cells, round % 2 == 0, round % 3 == 0);
        ASSERT_TRUE(MatchesLiteral(input)) << "round " << round;
    }
}

TEST_F(CellGrouping, MatchesLiteralWithManyCells) {
    Rng rng(77);
    for (int32_t round = 0; round < 60; ++round) {
        const auto cells = static_cast<int32_t>(20 + rng() % 400);
        const literal::Stars input = MakeStars(rng, cells, round % 4 == 0, round % 3 == 0);
        ASSERT_TRUE(MatchesLiteral(input)) << "round " << round;
    }
}

TEST_F(CellGrouping, MatchesLiteralWithEveryStarInItsOwnCell) {
    Rng rng(5);
    literal::Stars input{};
    for (int32_t slot = 0; slot < MaxStars - 1; ++slot) {
        // Five bits of the slot per axis, so every key differs, and z keeps clear of the origin.
        const auto middle = [slot](int32_t axis) {
            const int32_t key = ((slot >> (5 * axis)) & 31) - 16 + (axis == 2 ? 20 : 0);
            return (key + (key < 0 ? -0.5 : 0.5)) * 100000.0;
        };
        input[slot] = Star{middle(0), middle(1), middle(2)};
    }
    std::shuffle(input.begin(), input.end(), rng);
    ASSERT_TRUE(MatchesLiteral(input));
    EXPECT_EQ(CellCount, MaxStars);
    EXPECT_TRUE(IsGrouped());
}

}  // namespace
