// catalogue.h: the stars an import gathers from a table's rows, the rows it skips and why, and
// the galaxy file it writes from them.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/import/columns.h"
#include "tools/import/large_arrays.h"
#include "tools/import/sky.h"

// One field of a row as its table held it.
struct Field {
    enum class State : uint8_t { Absent, Empty, Invalid, Number };
    State state = State::Absent;
    double value = 0.0;   // when Number: may be infinite or NaN, as the table wrote it
    std::string excerpt;  // when Invalid: its first characters, unprintable bytes escaped
};

// Reads a field's text: blank (spaces and tabs) is Empty; a decimal number, with an optional
// sign, exponent, "inf" or "nan", is a Number (rounded to the nearest double); anything else
// is Invalid.
void ParseField(const char* text, std::size_t length, Field* field);

// The fields of one row, indexed by Role; roles the plan does not read stay Absent.
struct Row {
    int64_t line = 0;  // the line the row starts on, or its row number in a binary table
    std::array<Field, RoleCount> fields;
};

// A star taken from a usable row: its position in parsecs in the import's frame.
struct ImportedStar {
    SkyVector position;
    double magnitude;
    int64_t line;
    uint8_t tag;  // its colour class
    bool hasMagnitude;
};

// A skipped row's line and what was wrong with it.
struct Skip {
    int64_t line;
    std::string what;
};

inline constexpr std::size_t ShownSkips = 20;  // skipped rows described one by one

struct Catalogue {
    std::string source;  // the table's name in diagnostics and in the file's header
    Frame frame = Frame::Galactic;
    ColumnPlan plan;
    LargeArray<ImportedStar> stars;
    std::vector<Skip> shownSkips;  // the ShownSkips skipped rows of the lowest lines, in order
    int64_t skipped = 0;           // all skipped rows
};

// Takes a row: its star if the position is usable, a skip with the reason otherwise.
void AddRow(Catalogue& catalogue, const Row& row);

// Counts a skipped row, keeping its reason if it is among the first ShownSkips by line.
void SkipRow(Catalogue& catalogue, int64_t line, std::string what);

// A star's place in the file: its magnitude (infinite when it has none) and its index in the
// catalogue's stars; ordered by the two, brightest first and then in table order.
struct WriteKey {
    double magnitude;
    std::size_t index;
    auto operator<=>(const WriteKey&) const = default;
};
using WriteOrder = LargeArray<WriteKey>;

// The order in which to write the stars at `pcPerUnit`: brightest first, stars without a
// magnitude last, rows of equal magnitude in table order. Skips the stars that have a file
// value outside the loader's range.
WriteOrder OrderForWriting(Catalogue& catalogue, double pcPerUnit);

// Prints the shown skips as "SOURCE:LINE: what" and then how many more there were.
void ReportSkips(const Catalogue& catalogue, std::FILE* err);

// Writes the galaxy file: a header line naming the source, the star count, the frame and the
// scale, then one record "x y z tag" per star, each value the shortest text that reads back as
// the same float, all lines ending in CR LF. With 2 threads, half of the records are formatted
// on a helper thread; the file is the same with 1. False when a write fails.
bool WriteGalaxy(std::FILE* out, const Catalogue& catalogue, const WriteOrder& order,
                 double pcPerUnit, int threads);

// A position in parsecs as a file value at `pcPerUnit`, when the loader takes it.
bool FileValue(double parsecs, double pcPerUnit, float* value);
