// data_test.cpp: the galaxy file loader on well-formed, awkward, damaged and hostile files (huge
// ones made at run time, paths that cannot be read), its two paths held to the C library and to
// each other, the quick path's digit arithmetic; cell keys, centres and ranges, and the fast
// grouping against the plain gather.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <random>
#include <set>

#include "app/scene.h"
#include "data/cells.h"
#include "data/parallel.h"
#include "data/startup.h"
#include "tests/loader_test.h"

namespace {

const std::string H = "#abc\r\n";  // the usual header line

// Loads bytes by both paths, expects the two to agree in every bit, and gives the quick run.
LoadRun LoadBoth(const std::string& bytes, int32_t capacity = MaxStars, int32_t stride = 1) {
    LoadRun quick = RunLoader(bytes, capacity, stride, true);
    EXPECT_EQ(Describe(quick), Describe(RunLoader(bytes, capacity, stride, false)))
        << "quick path versus exact path";
    return quick;
}

// One load: the file, what it must print and return, and the records it must store as
// "x y z tag|x y z tag|...", each value as the C library rounds it; later slots hold zeros.
struct LoadCase {
    std::string bytes, out, err;
    int32_t passes;
    std::string stored;
    int32_t capacity = MaxStars, stride = 1;
};

void ExpectLoads(const std::vector<LoadCase>& cases) {
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 60));
        LoadRun want{c.passes, c.out, c.err, {}, {}};
        char* at = const_cast<char*>(c.stored.c_str());
        for (; *at != '\0'; at += *at == '|') {
            const float x = std::strtof(at, &at), y = std::strtof(at, &at),
                        z = std::strtof(at, &at);
            want.stars.push_back({x * 100000.0, y * 100000.0, z * 100000.0});
            want.tags.push_back(static_cast<uint8_t>(std::strtol(at, &at, 10)));
        }
        EXPECT_EQ(Describe(LoadBoth(c.bytes, c.capacity, c.stride)), Describe(want));
    }
}

// Records "n 0 0 n" for n from 1, as a file or (with "|" and no header) as for LoadCase.
std::string Records(int count, const char* end = "\r\n", const std::string& head = H) {
    std::string text = head;
    for (int record = 1; record <= count; ++record) {
        text += std::to_string(record) + " 0 0 " + std::to_string(record) + end;
    }
    return text;
}

TEST(Loader, WellFormedAndAwkwardFiles) {
    const std::string zeros(300, '0');
    const std::string tie = "1.000000059604644775390625" + std::string(900, '0');
    std::vector<LoadCase> cases = {
        {"", "", "", 0, ""},
        {"#no line end", "no line end\n", "", 0, ""},
        {"#" + std::string(300, 'h') + "\r\n1 2 3 4", std::string(254, 'h') + "\n", "", 1,
         "1 2 3 4"},
        {H + "#def\r\n1.5 -2 0.25 7\r\n1 1 1 300\r\n2 2 2 -1\r\n", "abc\n.", "", 3,
         "1.5 -2 0.25 7|1 1 1 44|2 2 2 255"},
        // Rounded once to float: through double this would round to even, to 1.
        {H + "0.1 1.0000000596046447753906251 -0.1 0\r\n", "abc\n", "", 1, "0.1 1.0000001 -0.1 0"},
        {H + "+1. .5 -.25e1 +12\r\n1E+1 2e-1 3.0E0 -0\r\n", "abc\n", "", 2,
         "1 .5 -2.5 12|10 .2 3 0"},
        {Records(7), "abc\n", "", 7, "1 0 0 1|4 0 0 4|7 0 0 7", MaxStars, 3},
        {H + "1 2 3 4\r\n  \r\n# trailing\r\n", "abc\n.", "", 1, "1 2 3 4"},
        {H + "1\t2\v3\f4\t# note\r\n5\r\n6 7\r\n\t8\r\n", "abc\n.", "", 2, "1 2 3 4|5 6 7 8"},
        {"12 3 4 5\r\n", "", "", 1, "12 3 4 5"},
        {Records(3), "abc\n", "galaxy.dat: 1 record not stored: 3 slots hold only 2 records\n", 3,
         "1 0 0 1|2 0 0 2|0 0 0 3", 3},
        {Records(2), "abc\n", "", 2, "1 0 0 1|2 0 0 2", 3},
        // A full array sends the last slot back to the origin; its tag stays.
        {Records(MaxStars + 2), "abc\n",
         "galaxy.dat: 3 records not stored: 17225 slots hold only 17224 records\n", MaxStars + 2,
         Records(MaxStars - 1, "|", "") + "0 0 0 " + std::to_string(MaxStars)},
        {"\xEF\xBB\xBF#abc\r\n1 2 3 4\r\n", "abc\n", "", 1, "1 2 3 4"},
        {"\xEF\xBB\xBF"
         "1 2 3 4",
         "", "", 1, "1 2 3 4"},
        {H + "-0 -0.0 -0e5 -0\r\n", "abc\n", "", 1, "-0 -0 -0 0"},
        // A digit past the 900th decides one rounding; an exact tie rounds to even.
        {H + "1" + zeros + "e-300 0." + zeros + "5e301 3." + std::string(400, '1') + " 1\r\n" +
             tie + "1 " + tie + " 0." + zeros + "1 2\r\n1" + zeros + " 0 0 3\r\n",
         "abc\n",
         "galaxy.dat:4: x value \"100000000000000000000000...\" is too large for a float\n", 3,
         "1 5 3." + std::string(400, '1') + " 1|1.0000001 1 0 2"},
    };
    for (const char* end : {"\r\n", "\n", "\r"}) {
        cases.push_back({std::string("#abc") + end + "#def" + end + "1 2 3 4" + end + "# x" + end +
                             "5 6 7 8" + end,
                         "abc\n..", "", 2, "1 2 3 4|5 6 7 8"});
    }
    ExpectLoads(cases);
}

TEST(Loader, DamagedLinesCostOnlyThemselves) {
    std::vector<LoadCase> cases = {
        {H + "1 1 1 1\r\nabc 2 2 2\r\n3 3 3 7.0 9 9\r\n4 1.5abc 4 4\r\n5 5 # cut\r\n"
             "6 6 6 6\r\n7 7\r\n\r\n",
         "abc\n.",
         "galaxy.dat:3: x field \"abc\" is not a decimal number; line skipped\n"
         "galaxy.dat:4: tag field \"7.0\" is not a decimal integer; line skipped\n"
         "galaxy.dat:5: y field \"1.5abc\" is not a decimal number; line skipped\n"
         "galaxy.dat:6: record cut short by a comment after its y field\n"
         "galaxy.dat:8: record cut short by the end of the file after its y field\n",
         2, "1 1 1 1|6 6 6 6"},
        {H + "21475 0 0 1\r\n0 -21476 0 2\r\n0 0 1e39 3\r\n21474.998 -21475.99 0 4\r\n", "abc\n",
         "galaxy.dat:2: x value \"21475\" is outside the range -21476 to 21475 (exclusive)\n"
         "galaxy.dat:3: y value \"-21476\" is outside the range -21476 to 21475 (exclusive)\n"
         "galaxy.dat:4: z value \"1e39\" is too large for a float\n",
         4, "21474.998 -21475.99 0 4"},
        {"\xEF\xBB"
         "1 2 3 4\r\n5 6 7 8\r\n",
         "", "galaxy.dat:1: unreadable bytes at the start of the file; line skipped\n", 1,
         "5 6 7 8"},
        {"\xEF\n1 2 3 4", "",
         "galaxy.dat:1: unreadable bytes at the start of the file; line skipped\n", 1, "1 2 3 4"},
        {H + "1 2 # 3 4\r\n5 6 7 8\r\n1 2 3#4\r\n", "abc\n..",
         "galaxy.dat:2: record cut short by a comment after its y field\n"
         "galaxy.dat:4: record cut short by a comment after its z field\n",
         1, "5 6 7 8"},
        {H + "1e39 0 0 1\r\n0 -1e99999999999999999999999 0 2\r\n0 0 3.4028236e38 3\r\n"
             "3.4028235e38 0 0 4\r\n1e-400 -1e-99999999999999999999 1e-45 5\r\n",
         "abc\n",
         "galaxy.dat:2: x value \"1e39\" is too large for a float\n"
         "galaxy.dat:3: y value \"-1e999999999999999999999...\" is too large for a float\n"
         "galaxy.dat:4: z value \"3.4028236e38\" is too large for a float\n"
         "galaxy.dat:5: x value \"3.4028235e38\" is outside the range -21476 to 21475 "
         "(exclusive)\n",
         5, "0 -0 1e-45 5"},
        {H + "1 1 1 2147483648\r\n2 2 2 -2147483649\r\n3 3 3 99999999999999999999999\r\n"
             "4 4 4 2147483647\r\n5 5 5 -2147483648\r\n6 6 6 +0000000000000000000000000000042\r\n",
         "abc\n",
         "galaxy.dat:2: tag value \"2147483648\" does not fit in a 32-bit integer\n"
         "galaxy.dat:3: tag value \"-2147483649\" does not fit in a 32-bit integer\n"
         "galaxy.dat:4: tag value \"99999999999999999999999\" does not fit in a 32-bit integer\n",
         6, "4 4 4 255|5 5 5 0|6 6 6 42"},
    };
    for (const char* field : {"nan", "inf", "-", "+", ".", "e5", "1e", "1e+", "1..2", "1e5.0",
                              "0x10", "1-2", "--1", "1e--2", "1,5"}) {
        cases.push_back({H + field + " 1 1 1\r\n2 2 2 2\r\n", "abc\n",
                         "galaxy.dat:2: x field \"" + std::string(field) +
                             "\" is not a decimal number; line skipped\n",
                         1, "2 2 2 2"});
    }
    // NUL and bytes past ASCII are quoted in hexadecimal, 24 characters at most.
    std::string escaped;
    for (int n = 0; n < 24; ++n) {
        escaped += "\\xAF";
    }
    cases.push_back({H + "1 2 3 4\r\n" + std::string("\0\0 1 2 3 4\r\n5 6\0 7 8\r\n", 22) +
                         std::string(30, '\xAF') + "\r\n9 9 9 9\r\n",
                     "abc\n",
                     "galaxy.dat:3: x field \"\\x00\\x00\" is not a decimal number; line skipped\n"
                     "galaxy.dat:4: y field \"6\\x00\" is not a decimal number; line skipped\n"
                     "galaxy.dat:5: x field \"" +
                         escaped + "...\" is not a decimal number; line skipped\n",
                     2, "1 2 3 4|9 9 9 9"});
    LoadCase many{H, "abc\n", "", 1, "1 2 3 4"};
    for (int line = 2; line <= 26; ++line) {
        many.bytes += "bad\r\n";
        many.err += line <= 21 ? std::string("galaxy.dat:") + std::to_string(line) +
                                     ": x field \"bad\" is not a decimal number; line skipped\n"
                               : "";
    }
    many.bytes += "1 2 3 4\r\n";
    many.err += "galaxy.dat: 5 more damaged lines not shown\n";
    cases.push_back(many);
    ExpectLoads(cases);
}

// Short numbers take a quicker path than long ones; both must round like the C library.
TEST(Loader, RandomDecimalsRoundLikeTheCLibrary) {
    std::mt19937_64 random(11);
    const auto randomDecimal = [&random] {
        std::string digits = std::to_string(random() % 100000000000ull);
        digits.resize(1 + random() % digits.size());
        const std::size_t point = random() % (digits.size() + 1);
        std::string field = random() % 2 ? "-" : "";
        field += digits.substr(0, point) + "." + digits.substr(point);
        return random() % 4 ? field : field + "e" + std::to_string(int(random() % 25) - 16);
    };
    std::string stored;
    for (int field = 0; field < 3 * 3000; ++field) {
        std::string value = randomDecimal();
        while (std::fabs(std::strtof(value.c_str(), nullptr)) >= 21475.0f) {
            value = randomDecimal();
        }
        stored += value + (field % 3 == 2 ? " 0|" : " ");
    }
    std::string text = H + stored;
    std::replace(text.begin(), text.end(), '|', '\n');
    ExpectLoads({{text, "abc\n", "", 3000, stored}});
}

// The quick path must match the byte-by-byte path on random numbers around its limits (7
// significant digits, 10 after the point, 9 tag digits, the range of cell keys) with signs,
// exponents, comments and damage between them.
TEST(Loader, QuickPathMatchesTheExactPath) {
    std::mt19937_64 random(3);
    const auto digits = [&random](std::size_t count) {
        std::string text;
        while (text.size() < count) {
            text += static_cast<char>('0' + (random() % 3 == 0 ? 0 : random() % 10));
        }
        return text;
    };
    const std::string odd[] = {
        "\r\n", "\n", "\r", "\t", "#c\r\n", "e5", "E-2", "x", "..", "-", std::string(1, '\0')};
    // The last file spans several of the reader's blocks, so that records straddle refills.
    for (int file = 0; file < 41; ++file) {
        std::string text = file % 2 ? H : "";
        for (int field = 0; field < (file < 40 ? 2000 : 100000); ++field) {
            text += random() % 3 == 0 ? (random() % 2 ? "-" : "+") : "";
            text += digits(random() % 10);
            if (random() % 2 == 0) {
                text += '.';
                text.append(random() % 3 ? 0 : random() % 10, '0');
            }
            text += digits(random() % 10);
            text += random() % 20 == 0 ? odd[random() % std::size(odd)] : field % 4 ? " " : "\r\n";
        }
        LoadBoth(text, 200, 1 + file % 3);
        ASSERT_FALSE(HasFailure()) << "file " << file;
    }
}

// The quick path's digit arithmetic against plain arithmetic: random runs of mostly digits, and
// every quotient the quick path rounds.
TEST(Loader, QuickDigitArithmeticMatchesPlainArithmetic) {
    std::mt19937_64 random(5);
    for (int trial = 0; trial < 200000; ++trial) {
        uint64_t bytes = 0;
        for (int place = 0; place < 8; ++place) {
            bytes |= (random() % 8 ? '0' + random() % 10 : random() % 256) << (8 * place);
        }
        int count = 0;
        uint64_t value = 0;
        for (; count < 8 && (bytes >> (8 * count) & 0xFF) - '0' < 10; ++count) {
            value = value * 10 + ((bytes >> (8 * count) & 0xFF) - '0');
        }
        ASSERT_EQ(loader::LeadingDigits(bytes), count) << std::hex << bytes;
        ASSERT_EQ(loader::DigitsValue(bytes, count), value) << std::hex << bytes;
    }
    float power = 1.0f;
    for (int fraction = 0; fraction <= 7; ++fraction, power *= 10.0f) {
        for (uint32_t digits = 0; digits < 10000000; ++digits) {
            const float exact = static_cast<float>(digits) / power;
            if (std::bit_cast<uint32_t>(loader::QuotientToFloat(digits, fraction)) !=
                std::bit_cast<uint32_t>(exact)) {
                FAIL() << digits << " / 10^" << fraction;
            }
        }
    }
}

// A fresh temporary path, removed with all it holds when the owner goes.
struct TempPath {
    static inline int counter = 0;
    std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("loader-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    ~TempPath() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// What a load into the program's arrays gave, with the text it wrote.
LoadRun TakeArrays(int32_t passes) {
    std::string out = testing::internal::GetCapturedStdout();
    return {passes, out, testing::internal::GetCapturedStderr(),
            std::vector<Star>(StarArray.begin(), StarArray.end()),
            std::vector<uint8_t>(StarTag.begin(), StarTag.end())};
}

// LoadGalaxy on a file into the program's arrays, cleared first, capturing both output streams.
LoadRun LoadPath(const std::filesystem::path& path) {
    ResetStars();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    return TakeArrays(LoadGalaxy(StarArray.data(), StarTag.data(), path.c_str(), MaxStars, 1));
}

// LoadStars on a file with `threads` threads: a file of 16 MB or more is read in parts.
LoadRun LoadStarsWith(const std::filesystem::path& path, int32_t threads) {
    const int32_t before = ThreadCount();
    SetThreadCount(threads);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int32_t passes = 0;
    EXPECT_EQ(LoadStars(path.c_str(), MaxStars, &passes), LoadStatus::Loaded);
    SetThreadCount(before);
    return TakeArrays(passes);
}

// Each file is the header, a record, a pattern repeated to a size, then a tail; each must load
// in one pass and report what it says after the file name.
TEST(LoaderHostile, HugeFilesEndInOnePass) {
    struct Huge {
        std::string pattern;
        std::size_t size;
        std::string tail, err;
        int32_t passes;
        double secondX, lastY;  // what slots 1 and MaxStars - 2 hold
    };
    const Huge cases[] = {
        {"garbage ", 50u << 20, "\r\n5 6 7 8\r\n",
         ":3: x field \"garbage\" is not a decimal number; line skipped\n", 2, 500000.0, 0.0},
        {"1234567890", 100u << 20, "",
         ":3: record cut short by the end of the file after its x field\n", 1, 0.0, 0.0},
        {"1 -2.5 0.125 7\r\n", 16000000, "",
         ": 982777 records not stored: 17225 slots hold only 17224 records\n", 1000001, 100000.0,
         -250000.0},
    };
    for (const Huge& c : cases) {
        TempPath file;
        std::string text = "#abc\r\n1 2 3 4\r\n";
        for (std::size_t written = 0; written < c.size; written += c.pattern.size()) {
            text += c.pattern;
        }
        ASSERT_TRUE(std::ofstream(file.path, std::ios::binary) << text << c.tail << std::flush);
        const LoadRun outcome = LoadPath(file.path);
        EXPECT_EQ(outcome.err, file.path.string() + c.err);
        EXPECT_EQ(outcome.passes, c.passes);
        EXPECT_EQ(StarArray[1].x, c.secondX);
        EXPECT_EQ(StarArray[MaxStars - 2].y, c.lastY);
        // Read in two parts at once, the same in every byte.
        EXPECT_EQ(Describe(LoadStarsWith(file.path, 2)), Describe(outcome));
    }
    ResetStars();
}

// A file cut into parts at every line end, and into a part per line, reads as in one pass: the
// header and comment dots, the first 20 damaged lines told with their numbers and the rest
// counted, records that go on across a cut (sound or not), the capacity rule, and every record
// kept when the capacity fits the file.
TEST(Loader, PartsReadAsOnePass) {
    std::string text = "#parts\r\n1 2 3 4\r\n5 6\n7 8\r\n# comment\n9 10 11 12 13\n";
    for (int line = 0; line < 12; ++line) {
        text += "x 1 2 3\r\n1 1 1 1\n2 2 99999 2\n";
    }
    text += "3 3\n3 3\n6 99999\n7 8\n4 4 4";
    std::vector<std::vector<int64_t>> cutsToTry = {{}};
    std::vector<int64_t> everyLine;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\n') {
            cutsToTry.push_back({static_cast<int64_t>(at) + 1});
            everyLine.push_back(static_cast<int64_t>(at) + 1);
        }
    }
    cutsToTry.push_back(everyLine);
    for (const int32_t capacity : {5, MaxStars}) {
        const std::string want = Describe(RunLoader(text, capacity, 1, true));
        ASSERT_NE(want.find("more damaged lines not shown"), std::string::npos);
        for (const auto& cuts : cutsToTry) {
            EXPECT_EQ(Describe(RunSplitLoader(text, capacity, cuts)), want)
                << capacity << " slots, " << cuts.size() << " cuts";
        }
    }
    const LoadRun fit = RunSplitLoader(text, FitCapacity, everyLine);
    EXPECT_EQ(fit.stars.size(), 17u);  // 16 sound records and the origin
    EXPECT_EQ(Describe(fit), Describe(RunLoader(text, 17, 1, true)));
    ResetStars();
}

TEST(LoaderHostile, PathsThatCannotBeRead) {
    TempPath missing;
    EXPECT_EQ(LoadPath(missing.path).err,
              missing.path.string() + ": cannot open: No such file or directory\n");
    std::filesystem::create_directory(missing.path);
    const LoadRun directory = LoadPath(missing.path);
    EXPECT_EQ(directory.err, missing.path.string() + ":1: read error: Is a directory\n");
    EXPECT_EQ(std::tie(directory.passes, directory.out), std::make_tuple(0, ""));

    // Any reason the file cannot be opened is the system's own words for it.
    ASSERT_TRUE(std::ofstream(missing.path / "file"));
    const std::filesystem::path within = missing.path / "file" / "galaxy.dat";
    EXPECT_EQ(LoadPath(within).err, within.string() + ": cannot open: Not a directory\n");
}

using Rng = std::mt19937_64;
using Stars = std::vector<Star>;

Stars CurrentStars() {
    return Stars(StarArray.begin(), StarArray.end());
}
void PutStars(const Stars& stars) {
    std::copy(stars.begin(), stars.end(), StarArray.begin());
}
using Bits = std::array<uint64_t, 3>;
constexpr double Inf = std::numeric_limits<double>::infinity();

class Cells : public testing::Test {
  protected:
    void SetUp() override { ResetScene(); }
};

void Group() {
    ASSERT_TRUE(SortStarsByCell());
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
    Stars before = input, after = CurrentStars();
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

bool SameCells(const std::vector<Cell>& a, const std::vector<Cell>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Cell& x, const Cell& y) {
        return x.FirstStar == y.FirstStar && x.EndStar == y.EndStar;
    });
}

// Groups `input` both ways and names the first slot where the orders differ; the cells the
// grouping noted must be those a scan of the plain gather's order finds.
testing::AssertionResult MatchesPlain(const Stars& input) {
    PutStars(input);
    GatherStarsByCell();
    CountCells();
    AllocateCellArrays();
    BuildCells();
    const Stars expected = CurrentStars();
    const std::vector<Cell> expectedCells = CellTable;
    const std::vector<Vec3> expectedCentres = CellCentre;
    PutStars(input);
    Group();
    const auto slot = std::mismatch(StarArray.begin(), StarArray.end(), expected.begin(), SameBits);
    if (slot.first != StarArray.end()) {
        return testing::AssertionFailure() << "order differs at " << slot.first - StarArray.begin();
    }
    if (!SameCells(CellTable, expectedCells) ||
        !std::equal(CellCentre.begin(), CellCentre.end(), expectedCentres.begin(),
                    expectedCentres.end(), SameBits)) {
        return testing::AssertionFailure() << "the cells differ from a scan's";
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
    Stars stars(MaxStars);
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
    Stars input(MaxStars);
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

// A galaxy of `slots` stars in 120 cells, tagged with their slots' low bytes: large enough for
// the passes over all stars to be split between threads, and for the gather to run on two.
void MakeFewCellGalaxy(int32_t slots, uint64_t seed) {
    ASSERT_TRUE(AllocateStars(slots));
    Rng rng(seed);
    for (std::size_t slot = 0; slot < static_cast<std::size_t>(slots); ++slot) {
        const auto cell = static_cast<double>(rng() % 40);
        StarArray[slot] = Star{cell * 1e5 + 5.0, static_cast<double>(rng() % 3) * -1e5, 7.0};
        StarTag[slot] = static_cast<uint8_t>(slot);
    }
}

// Groups the present stars on two threads and expects the plain gather's order, tags included.
void ExpectTheOrderOfThePlainGather() {
    const Stars input = CurrentStars();
    const std::vector<uint8_t> tags(StarTag.begin(), StarTag.end());
    GatherStarsByCell();
    const Stars expected = CurrentStars();
    const std::vector<uint8_t> expectedTags(StarTag.begin(), StarTag.end());
    PutStars(input);
    std::copy(tags.begin(), tags.end(), StarTag.begin());
    const int32_t before = ThreadCount();
    SetThreadCount(2);
    ASSERT_TRUE(SortStarsByCell());
    SetThreadCount(before);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), StarArray.begin(), SameBits));
    EXPECT_TRUE(std::equal(expectedTags.begin(), expectedTags.end(), StarTag.begin()));
}

TEST_F(Cells, GroupingOnTwoThreadsMatchesThePlainGather) {
    MakeFewCellGalaxy(700000, 7);
    ExpectTheOrderOfThePlainGather();
}

// A stop that comes at any moment of a grouping on two threads ends it with false rather than
// leaving a thread waiting, and leaves nothing behind: the next grouping is exact. The stop
// comes with the n-th look for one that polls, 20 ms apart, so later and later into the work.
int PollsBeforeTheStop = 0;

TEST_F(Cells, AStopAtAnyMomentEndsTheGrouping) {
    MakeFewCellGalaxy(1500000, 11);
    const Stars input = CurrentStars();
    const int32_t before = ThreadCount();
    SetThreadCount(2);
    int32_t stopped = 0;
    for (int polls = 1; polls <= 8; ++polls) {
        PutStars(input);
        ResetStartup();
        PollsBeforeTheStop = polls;
        SetStartupPoll([] {
            if (--PollsBeforeTheStop == 0) {
                RequestStop(SIGTERM);
            }
        });
        BeginStartup("grouping");
        const bool grouped = SortStarsByCell();
        EXPECT_EQ(grouped, !StopRequested()) << polls;
        stopped += grouped ? 0 : 1;
        EndStartup();
    }
    SetThreadCount(before);
    ResetStartup();
    EXPECT_GT(stopped, 0);
    PutStars(input);
    ExpectTheOrderOfThePlainGather();
}

}  // namespace

namespace {

bool AllZero(const SlotArray<uint32_t>& array) {
    return std::all_of(array.begin(), array.end(), [](uint32_t v) { return v == 0; });
}

void Fill(SlotArray<uint32_t>& array) {
    std::fill(array.begin(), array.end(), 0xA5A5A5A5u);
}

}  // namespace

// Every slot not yet written reads zero: after growth, after a shrink and regrowth within the
// same page, and in memory handed out again after an array of the same size was freed dirty.
TEST(SlotArrays, UnwrittenSlotsReadZero) {
    for (const std::size_t count : {std::size_t{1}, std::size_t{1000}, std::size_t{17225},
                                    std::size_t{300000}, std::size_t{1} << 20}) {
        SCOPED_TRACE(count);
        for (int round = 0; round < 3; ++round) {
            SlotArray<uint32_t> array;
            ASSERT_TRUE(array.Resize(count));
            EXPECT_TRUE(AllZero(array)) << "fresh or reused memory";
            Fill(array);
            ASSERT_TRUE(array.Resize(count / 2 + 1));
            ASSERT_TRUE(array.Resize(count * 2));
            EXPECT_TRUE(std::all_of(array.begin() + static_cast<std::ptrdiff_t>(count / 2 + 1),
                                    array.end(), [](uint32_t v) { return v == 0; }))
                << "slots dropped and regrown";
            Fill(array);
        }
    }
    // Many arrays freed at once: more than are kept, every one of them dirty.
    std::vector<SlotArray<uint32_t>> arrays(40);
    for (auto& array : arrays) {
        ASSERT_TRUE(array.Resize(5000));
        Fill(array);
    }
    arrays.clear();
    arrays.resize(40);
    for (auto& array : arrays) {
        ASSERT_TRUE(array.Resize(5000));
        EXPECT_TRUE(AllZero(array));
    }
}

namespace {

// An array of `count` slots holding first, first + 1, ...
void Numbered(SlotArray<uint32_t>& array, std::size_t count, uint32_t first) {
    ASSERT_TRUE(array.Resize(count));
    std::iota(array.begin(), array.end(), first);
}

}  // namespace

// Appending keeps the first slots of each array, in order, and every slot past them reads zero
// once the array grows again: whether the slots are copied (small arrays) or their pages moved
// and shifted down (from 2 MiB on), at any offset, and with slots left over in either array.
TEST(SlotArrays, AppendedSlotsFollowTheKeptOnes) {
    constexpr std::size_t Huge = (std::size_t{2} << 20) / sizeof(uint32_t);  // slots a huge page
    struct Case {
        std::size_t intoSize, kept, fromSize, moved;
    } cases[] = {
        {1000, 700, 500, 300},                     // copied
        {0, 0, 3 * Huge, 3 * Huge},                // into an empty array
        {3 * Huge, 1000003, 2 * Huge, Huge + 17},  // pages moved, shifted by an odd amount
        {3 * Huge, Huge, 2 * Huge + 5, 2 * Huge},  // kept ends on a huge page
        {Huge / 2, 1, 5 * Huge, 4 * Huge + 1},     // into grows a long way
        {4 * Huge, 0, Huge, Huge},                 // nothing kept
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.kept << " + " << test.moved);
        SlotArray<uint32_t> into, from;
        Numbered(into, test.intoSize, 0);
        Numbered(from, test.fromSize, 1u << 30);
        ASSERT_TRUE(into.Append(test.kept, from, test.moved));
        EXPECT_EQ(from.size(), 0u);
        ASSERT_EQ(into.size(), test.kept + test.moved);
        std::vector<uint32_t> expected(test.kept + test.moved);
        std::iota(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(test.kept), 0u);
        std::iota(expected.begin() + static_cast<std::ptrdiff_t>(test.kept), expected.end(),
                  1u << 30);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), into.begin()));
        ASSERT_TRUE(into.Resize(into.size() + 3 * Huge));
        EXPECT_TRUE(std::all_of(into.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                into.end(), [](uint32_t v) { return v == 0; }));
    }
}
