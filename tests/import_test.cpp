// import_test.cpp: galaxy-import: its sky geometry against independent spherical trigonometry,
// the column roles, every table format giving the same file, the loader reading it back
// exactly, and the rows and tables it refuses.
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "data/loader.h"
#include "tools/import/catalogue.h"
#include "tools/import/columns.h"
#include "tools/import/sky.h"
#include "tools/import/table.h"

namespace {

namespace fs = std::filesystem;
constexpr double Degree = std::numbers::pi / 180.0;

// Galactic longitude and latitude in degrees by the spherical-trigonometry formulas, from the
// north galactic pole at RA 192.85948, Dec 27.12825 and the longitude 122.93192 of the north
// celestial pole: no rotation matrix involved.
std::pair<double, double> GalacticAngles(double ra, double dec) {
    const double poleDec = 27.12825 * Degree;
    const double a = (ra - 192.85948) * Degree;
    const double d = dec * Degree;
    const double sinB =
        std::sin(d) * std::sin(poleDec) + std::cos(d) * std::cos(poleDec) * std::cos(a);
    const double y = std::cos(d) * std::sin(a);
    const double x =
        std::sin(d) * std::cos(poleDec) - std::cos(d) * std::sin(poleDec) * std::cos(a);
    const double l = std::fmod(122.93192 - std::atan2(y, x) / Degree + 720.0, 360.0);
    return {l, std::asin(sinB) / Degree};
}

struct KnownStar {
    double ra, dec, parallax, l, b;
};
// Hipparcos positions and parallaxes; l and b as star atlases give them, to 0.01 degree:
// Sirius, Vega, Polaris, Betelgeuse, Deneb and Rigil Kentaurus.
constexpr KnownStar KnownStars[] = {
    {101.28715533, -16.71611586, 379.21, 227.23, -8.89},
    {279.23473479, 38.78368896, 130.23, 67.45, 19.24},
    {37.95456067, 89.26410897, 7.54, 123.28, 26.46},
    {88.79293899, 7.40706399, 6.55, 199.79, -8.96},
    {310.35797975, 45.28033881, 2.29, 84.28, 2.00},
    {219.90205833, -60.83399269, 742.12, 315.73, -0.68},
};

void ExpectNear(SkyVector a, SkyVector b, double tolerance) {
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

TEST(ImportSky, KnownStarsLandWhereSphericalTrigonometryPutsThem) {
    for (const KnownStar& star : KnownStars) {
        const auto [l, b] = GalacticAngles(star.ra, star.dec);
        EXPECT_NEAR(l, star.l, 0.01);  // the independent formula itself is right
        EXPECT_NEAR(b, star.b, 0.01);
        const double d = 1000.0 / star.parallax;
        EXPECT_DOUBLE_EQ(DistanceFromParallax(star.parallax), d);
        const SkyVector expected{d * std::cos(b * Degree) * std::cos(l * Degree),
                                 d * std::cos(b * Degree) * std::sin(l * Degree),
                                 d * std::sin(b * Degree)};
        ExpectNear(PlaceStar(d, star.ra, star.dec, Frame::Galactic), expected, 1e-6 * d);
        // ICRS: the distance, the angle from the celestial pole and the RA read back.
        const SkyVector icrs = PlaceStar(d, star.ra, star.dec, Frame::Icrs);
        EXPECT_NEAR(std::hypot(icrs.x, icrs.y, icrs.z), d, 1e-12 * d);
        EXPECT_NEAR(std::asin(icrs.z / d) / Degree, star.dec, 1e-9);
        EXPECT_NEAR(std::fmod(std::atan2(icrs.y, icrs.x) / Degree + 360.0, 360.0), star.ra, 1e-9);
    }
}

TEST(ImportSky, GalacticCentreAndPoleLieAlongXAndZAndTheTurnIsARotation) {
    ExpectNear(IcrsToGalactic(IcrsDirection(266.40499, -28.93617)), {1.0, 0.0, 0.0}, 1e-6);
    ExpectNear(IcrsToGalactic(IcrsDirection(192.85948, 27.12825)), {0.0, 0.0, 1.0}, 1e-6);
    // The images of the ICRS axes are orthonormal and right-handed: a mistyped digit shows.
    const SkyVector x = IcrsToGalactic({1, 0, 0}), y = IcrsToGalactic({0, 1, 0});
    const SkyVector z = IcrsToGalactic({0, 0, 1});
    const auto dot = [](SkyVector a, SkyVector b) { return a.x * b.x + a.y * b.y + a.z * b.z; };
    for (const auto& [a, b, expected] :
         {std::tuple{x, x, 1.0}, {y, y, 1.0}, {z, z, 1.0}, {x, y, 0.0}, {y, z, 0.0}, {x, z, 0.0}}) {
        EXPECT_NEAR(dot(a, b), expected, 1e-15);
    }
    ExpectNear({x.y * y.z - x.z * y.y, x.z * y.x - x.x * y.z, x.x * y.y - x.y * y.x}, z, 1e-15);
}

TEST(ImportSky, ScaleRangeAndColourClasses) {
    std::vector<double> tenStars{10, 3, 5, 1, 9, 2, 8, 4, 7, 6};
    EXPECT_DOUBLE_EQ(ChooseScale(tenStars), 9.0 / 8.0);  // 9 of the 10 within 8 units
    std::vector<double> none, atOrigin{0.0, 0.0};
    EXPECT_EQ(ChooseScale(none), 1.0);
    EXPECT_EQ(ChooseScale(atOrigin), 1.0);
    EXPECT_TRUE(InFileRange(21474.998f) && InFileRange(-21475.998f));
    EXPECT_FALSE(InFileRange(21475.0f) || InFileRange(-21476.0f) || InFileRange(std::nanf("")));
    const ColourIndex bv = ColourIndex::BMinusV, bprp = ColourIndex::BpMinusRp;
    EXPECT_EQ(ColourClass(-0.4, bv), 1);
    EXPECT_EQ(ColourClass(0.8, bv), 128);
    EXPECT_EQ(ColourClass(2.0, bv), 255);
    EXPECT_EQ(ColourClass(-3.0, bv), 1);
    EXPECT_EQ(ColourClass(7.0, bv), 255);
    EXPECT_EQ(ColourClass(-0.5, bprp), 1);
    EXPECT_EQ(ColourClass(1.75, bprp), 128);
    EXPECT_EQ(ColourClass(4.0, bprp), 255);
    EXPECT_EQ(ColourClass(std::nan(""), bv), 0);
    EXPECT_EQ(ColourClass(HUGE_VAL, bprp), 0);
}

ColumnPlan Plan(const std::vector<std::string>& names, const std::string& overrides,
                std::string* error) {
    ColumnOverrides parsed;
    ColumnPlan plan;
    if ((!overrides.empty() && !ParseColumnOverrides(overrides, &parsed, error)) ||
        !PlanColumns(names, parsed, &plan, error)) {
        plan.column.fill(-2);
    }
    return plan;
}

TEST(ImportColumns, RolesFoundByNameOrGivenAndMissingOnesNamed) {
    std::string error;
    const std::vector<std::string> gaia{"source_id",       "RA",   "Dec", "PARALLAX",
                                        "phot_g_mean_mag", "BP_RP"};
    ColumnPlan plan = Plan(gaia, "", &error);
    EXPECT_EQ(plan.column, (std::array<int, RoleCount>{-1, -1, -1, 1, 2, 3, -1, 4, 5}));
    EXPECT_TRUE(!plan.cartesian && plan.colourIndex == ColourIndex::BpMinusRp);
    const std::vector<std::string> both{"x", "y", "z", "ra", "dec", "dist", "parallax", "B-V"};
    plan = Plan(both, "", &error);
    EXPECT_EQ(plan.column, (std::array<int, RoleCount>{0, 1, 2, -1, -1, -1, -1, -1, 7}));
    EXPECT_TRUE(plan.cartesian && plan.colourIndex == ColourIndex::BMinusV);
    plan = Plan(both, "dist=DIST", &error);  // a spherical role given: spherical, by distance
    EXPECT_EQ(plan.column, (std::array<int, RoleCount>{-1, -1, -1, 3, 4, -1, 5, -1, 7}));
    plan = Plan({"RAICRS", "DEICRS", "Plx", "Vmag", "B-V"},
                "ra=raicrs,dec=DEICRS,parallax=Plx,mag=Vmag,color=B-V", &error);
    EXPECT_EQ(plan.column, (std::array<int, RoleCount>{-1, -1, -1, 0, 1, 2, -1, 3, 4}));
    EXPECT_EQ(plan.name[Index(Role::Parallax)], "Plx");
    for (const auto& [names, overrides, message] :
         {std::tuple<std::vector<std::string>, std::string, std::string>{
              {"ra", "dec", "mag"},
              "",
              "no position columns: it needs x, y and z, or ra, "
              "dec and parallax (or dist); it has: ra, dec, mag"},
          {{"ra", "dec"}, "parallax=plx", "names \"plx\" for parallax, but the table has no"},
          {{"ra"}, "size=ra", "unknown role \"size\""},
          {{"ra"}, "ra=a,ra=b", "ra is given twice"},
          {{"ra"}, "ra", "\"ra\" is not ROLE=COLUMN"},
          {{"ra"}, "ra=", "\"ra=\" is not ROLE=COLUMN"}}) {
        error.clear();
        EXPECT_EQ(Plan(names, overrides, &error).column[0], -2) << overrides;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

TEST(ImportFields, NumbersBlanksAndText) {
    using S = Field::State;
    for (const auto& [text, state, value] :
         {std::tuple<std::string, S, double>{" 1.5 ", S::Number, 1.5},
          {"+2e3", S::Number, 2000.0},
          {"-0.25", S::Number, -0.25},
          {"1e999", S::Number, HUGE_VAL},
          {"inf", S::Number, HUGE_VAL},
          {"", S::Empty, 0.0},
          {" \t ", S::Empty, 0.0},
          {"abc", S::Invalid, 0.0},
          {"1.5x", S::Invalid, 0.0},
          {"+-1", S::Invalid, 0.0},
          {"+", S::Invalid, 0.0}}) {
        Field field;
        ParseField(text.data(), text.size(), &field);
        EXPECT_EQ(field.state, state) << text;
        EXPECT_TRUE(state != S::Number || field.value == value) << text;
    }
    Field field;
    ParseField("\x01\"wide field of twenty-four+", 28, &field);
    EXPECT_EQ(field.excerpt, "\\x01\\x22wide field of twenty-f...");
}

// A catalogue in every format galaxy-import reads, with a name column of awkward text.
struct Entry {
    const char* name;
    const char* ra;
    const char* dec;
    const char* parallax;
    const char* magnitude;
    const char* colour;
};
constexpr Entry Entries[] = {
    {"Sirius, \"Dog Star\"", "101.28715533", "-16.71611586", "379.21", "-1.46", "0.0"},
    {"Vega", "279.23473479", "38.78368896", "130.23", "0.03", "0.0"},
    {"Polaris", "37.95456067", "89.26410897", "7.54", "", "0.6"},
    {"Betelgeuse", "88.79293899", "7.40706399", "6.55", "0.42", "1.85"},
    {"Deneb", "310.35797975", "45.28033881", "2.29", "1.25", ""},
    {"Rigil Kentaurus", "219.90205833", "-60.83399269", "742.12", "-0.01", "0.71"},
    {"Rigel", "78.63446707", "-8.20163837", "3.78", "0.13", "-0.03"},
    {"Alnilam", "84.05338894", "-1.20191914", "1.65", "", "-0.18"},
    {"Procyon", "114.82549791", "5.22498756", "285.93", "0.42", "0.42"},
};
constexpr std::size_t BrightestFirst[] = {0, 5, 1, 6, 3, 8, 4, 2, 7};  // equal: table order
constexpr double PcPerUnit = 0.5;

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string TextTable(char delimiter, bool quoteNames, const std::string& preamble) {
    const std::string d(1, delimiter);
    std::string text = preamble + "name" + d + "ra" + d + "dec" + d + "parallax" + d +
                       "phot_g_mean_mag" + d + "bp_rp\r\n";
    for (const Entry& e : Entries) {
        text += (quoteNames ? Quoted(e.name) : std::string(e.name)) + d + e.ra + d + e.dec + d +
                e.parallax + d + e.magnitude + d + e.colour + "\r\n";
    }
    return text;
}

class ImportTool : public testing::Test {
  protected:
    void SetUp() override { fs::create_directories(folder); }
    void TearDown() override { fs::remove_all(folder); }
    std::string File(const std::string& name) const { return (folder / name).string(); }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(File(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Runs galaxy-import in the folder; returns its exit code, keeping its standard error.
    int Run(const std::string& arguments) {
        const std::string command =
            "cd " + folder.string() + " && " GALAXY_IMPORT " " + arguments + " 2>err";
        const int status = std::system(command.c_str());
        err = Read("err");
        fs::remove(File("err"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The folder's files, to show that a failed import leaves nothing behind.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    void WriteGzip(const std::string& name, const std::string& bytes) const {
        gzFile file = gzopen(File(name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size())),
                  static_cast<int>(bytes.size()));
        gzclose(file);
    }
    // The catalogue as a FITS binary table written by cfitsio; an empty field is a NaN.
    void WriteFits(const std::string& name) const {
        char* types[] = {const_cast<char*>("name"),
                         const_cast<char*>("RA"),
                         const_cast<char*>("DEC"),
                         const_cast<char*>("parallax"),
                         const_cast<char*>("phot_g_mean_mag"),
                         const_cast<char*>("bp_rp")};
        char* forms[] = {const_cast<char*>("24A"), const_cast<char*>("1D"),
                         const_cast<char*>("1D"),  const_cast<char*>("1D"),
                         const_cast<char*>("1D"),  const_cast<char*>("1D")};
        fitsfile* fits = nullptr;
        int status = 0;
        std::string path = File(name);
        path.insert(path.begin(), '!');  // "!" overwrites; not "!" + name, which GCC 12 misreads
        fits_create_file(&fits, path.c_str(), &status);
        fits_create_tbl(fits, BINARY_TBL, 0, 6, types, forms, nullptr, "STARS", &status);
        LONGLONG row = 1;
        for (const Entry& e : Entries) {
            char* text = const_cast<char*>(e.name);
            fits_write_col(fits, TSTRING, 1, row, 1, 1, &text, &status);
            const char* numbers[] = {e.ra, e.dec, e.parallax, e.magnitude, e.colour};
            for (int column = 0; column < 5; ++column) {
                double value =
                    *numbers[column] != '\0' ? std::strtod(numbers[column], nullptr) : std::nan("");
                fits_write_col(fits, TDOUBLE, column + 2, row, 1, 1, &value, &status);
            }
            ++row;
        }
        fits_close_file(fits, &status);
        ASSERT_EQ(status, 0);
    }
    const fs::path folder = fs::temp_directory_path() / ("import-" + std::to_string(getpid()));
    std::string err;
};

// Everything after the header line; the header with the source's name taken out.
std::string Records(const std::string& file) {
    return file.substr(file.find('\n') + 1);
}
std::string HeaderWithout(const std::string& file, const std::string& source) {
    std::string header = file.substr(0, file.find('\n'));
    return header.replace(header.find(source), source.size(), "SOURCE");
}

TEST_F(ImportTool, EveryFormatGivesTheSameFileWhichTheLoaderReadsBackExactly) {
    Write("stars.csv", TextTable(',', true, ""));
    Write("stars.tsv", TextTable('\t', false, ""));
    Write("stars.ecsv", TextTable(' ', true, "# %ECSV 1.0\r\n# ---\r\n# delimiter: ' '\r\n"));
    WriteGzip("stars.csv.gz", TextTable(',', true, ""));
    WriteFits("stars.fits");
    const std::string reference = "stars.fits";
    ASSERT_EQ(Run(reference + " --out fits.dat --pc-per-unit 0.5"), 0) << err;
    const std::string expected = Read("fits.dat");
    EXPECT_EQ(err, "galaxy-import: 9 stars written to fits.dat, 0 rows skipped\n");
    EXPECT_EQ(HeaderWithout(expected, reference),
              "# galaxy-import of SOURCE: 9 stars, galactic frame, 0.5 pc per unit\r");
    for (const std::string source : {"stars.csv", "stars.tsv", "stars.ecsv", "stars.csv.gz"}) {
        ASSERT_EQ(Run(source + " --out out.dat --force --pc-per-unit 0.5"), 0) << err;
        const std::string file = Read("out.dat");
        EXPECT_EQ(Records(file), Records(expected)) << source;
        EXPECT_EQ(HeaderWithout(file, source), HeaderWithout(expected, reference)) << source;
    }
    // The records: brightest first, each value the float of its position over the scale,
    // read back by the loader to exactly that float.
    std::vector<Star> stars(MaxStars);
    std::vector<uint8_t> tags(MaxStars);
    ASSERT_EQ(LoadGalaxy(stars.data(), tags.data(), File("fits.dat").c_str(), MaxStars, 1), 9);
    for (std::size_t slot = 0; slot < 9; ++slot) {
        const Entry& e = Entries[BrightestFirst[slot]];
        const SkyVector p =
            PlaceStar(1000.0 / std::strtod(e.parallax, nullptr), std::strtod(e.ra, nullptr),
                      std::strtod(e.dec, nullptr), Frame::Galactic);
        const double unit = FileUnit;
        EXPECT_EQ(stars[slot].x, static_cast<float>(p.x / PcPerUnit) * unit) << slot;
        EXPECT_EQ(stars[slot].y, static_cast<float>(p.y / PcPerUnit) * unit) << slot;
        EXPECT_EQ(stars[slot].z, static_cast<float>(p.z / PcPerUnit) * unit) << slot;
        const bool hasColour = *e.colour != '\0';
        EXPECT_EQ(
            tags[slot],
            hasColour ? ColourClass(std::strtod(e.colour, nullptr), ColourIndex::BpMinusRp) : 0)
            << slot;
    }
}

// Each unusable row is skipped with its line and reason, in the loader's style; line numbers
// stay right across blank lines, CR LF, comments before the header and quoted line ends.
TEST_F(ImportTool, BadRowsAreSkippedWithTheirLinesAndReasons) {
    Write("bad.csv",
          "# comment\r\nra,dec,parallax,mag\r\n"  // lines 1 and 2
          "10,20,,1\r\n"                          // 3
          "x,20,5,1\r\n"                          // 4
          "10,95,5,1\r\n"                         // 5
          "10,20,0,1\n\n"                         // 6, then a blank line 7
          "10,20,-2.5,1\n"                        // 8
          "10,20,nan,1\r"                         // 9, ended by a bare CR
          "10,inf,5,1\r\n"                        // 10
          "10,20,1e-320,1\r\n"                    // 11
          "10,20,5\r\n"                           // 12
          "\"10,20\",5,5,1\r\n"                   // 13
          "\"a\r\nb\",1,1,1\r\n"                  // 14 and 15
          "10,20,0.001,1\r\n"                     // 16: 1e6 pc, beyond the range at 0.01
          "10,20,5,\r\n"                          // 17: sound, without a magnitude
          "1,2,3,4,5\r\n");                       // 18
    ASSERT_EQ(Run("bad.csv --pc-per-unit 0.01"), 0);
    const std::string expected =
        "bad.csv:3: parallax field is empty; row skipped\n"
        "bad.csv:4: ra field \"x\" is not a number; row skipped\n"
        "bad.csv:5: dec 95 is outside -90 to 90 degrees; row skipped\n"
        "bad.csv:6: parallax 0 is not above zero; row skipped\n"
        "bad.csv:8: parallax -2.5 is not above zero; row skipped\n"
        "bad.csv:9: parallax nan is not finite; row skipped\n"
        "bad.csv:10: dec inf is not finite; row skipped\n"
        "bad.csv:11: parallax 1e-320 is too small for a finite distance; row skipped\n"
        "bad.csv:12: has 3 fields where the header has 4; row skipped\n"
        "bad.csv:13: ra field \"10,20\" is not a number; row skipped\n"
        "bad.csv:14: ra field \"a\\x0D\\x0Ab\" is not a number; row skipped\n"
        "bad.csv:16: position (";
    EXPECT_EQ(err.substr(0, expected.size()), expected);
    EXPECT_NE(err.find(") pc is beyond the file's range (-21476 to 21475 units, exclusive) at "
                       "0.01 pc per unit; row skipped\n"
                       "bad.csv:18: has 5 fields where the header has 4; row skipped\n"
                       "galaxy-import: 1 star written to galaxy.dat, 13 rows skipped\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(Read("galaxy.dat").substr(0, 62),
              "# galaxy-import of bad.csv: 1 star, galactic frame, 0.01 pc pe");
    // Past 20, the rest are counted.
    std::string many = "ra,dec,parallax\n";
    for (int row = 0; row < 25; ++row) {
        many += "1,2,-1\n";
    }
    Write("many.csv", many + "1,2,3\n");
    ASSERT_EQ(Run("many.csv --out many.dat"), 0);
    EXPECT_NE(err.find("many.csv:21: parallax -1 is not above zero; row skipped\n"
                       "many.csv: 5 more skipped rows not shown\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("many.csv:22:"), std::string::npos);
}

// Tables it cannot use, files it must not touch and arguments it refuses: exit code 1, a clear
// message, and nothing written, temporary files included.
TEST_F(ImportTool, FailuresWriteNothing) {
    Write("header.csv", "ra,dec,parallax\r\n");
    Write("stars.csv", TextTable(',', true, ""));
    Write("nocolumns.csv", "ra,dec,mag\n1,2,3\n");
    Write("allbad.tsv", "# bare CR\r# LF\nra\tdec\tparallax\n1\t2\t0\n");
    Write("long.csv", "ra,dec,parallax\n1,2,\"" + std::string(1100000, '7') + "\"\n");
    Write("truncated.csv.gz", "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x2b\x4a\x04");
    WriteFits("good.fits");
    Write("truncated.fits", Read("good.fits").substr(0, 2880 + 1000));
    fs::remove(File("good.fits"));
    const std::vector<std::string> inputs = Files();
    for (const auto& [arguments, message] :
         std::initializer_list<std::pair<std::string, std::string>>{
             {"header.csv", "header.csv: no row with a usable position; nothing written\n"},
             {"nocolumns.csv", "nocolumns.csv:1: the table has no position columns"},
             {"allbad.tsv",
              "allbad.tsv:4: parallax 0 is not above zero; row skipped\n"
              "allbad.tsv: no row with a usable position; nothing written\n"},
             {"long.csv", "long.csv:2: a field longer than 1048576 bytes"},
             {"truncated.csv.gz", "truncated.csv.gz: cannot read: unexpected end of file\n"},
             {"truncated.fits", "truncated.fits: not a readable FITS table: "},
             {"missing.csv", "missing.csv: cannot open: No such file or directory\n"},
             {"header.csv --columns size=ra", "galaxy-import: --columns: unknown role \"size\""},
             {"stars.csv --out missing/galaxy.dat",
              "galaxy-import: cannot create a file beside missing/galaxy.dat: No such file"}}) {
        EXPECT_EQ(Run(arguments), 1) << arguments;
        EXPECT_NE(err.find(message), std::string::npos) << arguments << ": " << err;
        EXPECT_EQ(Files(), inputs) << arguments;
    }
    EXPECT_NE(Run("header.csv --frame ecliptic"), 0);
    EXPECT_NE(Run("header.csv --pc-per-unit 0"), 0);
    EXPECT_NE(Run(""), 0);
    EXPECT_EQ(Files(), inputs);
}

// An existing file is replaced only with --force; the new file's mode is an ordinary one.
TEST_F(ImportTool, ExistingOutputNeedsForce) {
    Write("stars.csv", TextTable(',', true, ""));
    Write("galaxy.dat", "keep me");
    EXPECT_EQ(Run("stars.csv"), 1);
    EXPECT_EQ(err, "galaxy-import: galaxy.dat exists; use --force to overwrite it\n");
    EXPECT_EQ(Read("galaxy.dat"), "keep me");
    EXPECT_EQ(Run("stars.csv --force"), 0);
    EXPECT_EQ(Read("galaxy.dat").substr(0, 30), "# galaxy-import of stars.csv: ");
    EXPECT_EQ(Files(), (std::vector<std::string>{"galaxy.dat", "stars.csv"}));
    const auto permissions = fs::status(File("galaxy.dat")).permissions();
    EXPECT_NE(permissions & fs::perms::group_read, fs::perms::none);
}

// Other column names through --columns, Cartesian tables, the ICRS frame and the chosen scale.
TEST_F(ImportTool, ColumnsFramesAndScale) {
    std::string renamed = "RAICRS;DEICRS;Plx;Vmag;B-V\n";
    for (const Entry& e : Entries) {
        renamed += std::string(e.ra) + "," + e.dec + "," + e.parallax + "," + e.magnitude + "," +
                   e.colour + "\n";
    }
    renamed.replace(renamed.find('\n') - 20, 20, "RAICRS,DEICRS,Plx,Vmag,B-V");
    Write("renamed.csv", renamed.substr(renamed.find("RAICRS,")));
    Write("stars.csv", TextTable(',', true, ""));
    ASSERT_EQ(Run("stars.csv --out a.dat --frame icrs --pc-per-unit 2"), 0) << err;
    ASSERT_EQ(Run("renamed.csv --out b.dat --frame icrs --pc-per-unit 2 --columns "
                  "ra=RAICRS,dec=deicrs,parallax=Plx,mag=Vmag,colour=B-V"),
              0)
        << err;
    const std::string a = Read("a.dat"), b = Read("b.dat");
    EXPECT_EQ(HeaderWithout(a, "stars.csv"),
              "# galaxy-import of SOURCE: 9 stars, ICRS frame, 2 pc per unit\r");
    // B-V and BP-RP classes differ; the positions do not.
    const auto positions = [](const std::string& file) {
        std::string text;
        for (std::size_t at = file.find('\n') + 1; at < file.size(); at = file.find('\n', at) + 1) {
            text += file.substr(at, file.rfind(' ', file.find('\n', at)) - at) + "\n";
        }
        return text;
    };
    EXPECT_EQ(positions(a), positions(b));
    // The first record: Sirius, its B-V class from the renamed colour column.
    const SkyVector sirius = PlaceStar(1000.0 / 379.21, 101.28715533, -16.71611586, Frame::Icrs);
    char first[128];
    const auto x = static_cast<double>(static_cast<float>(sirius.x / 2));
    const auto y = static_cast<double>(static_cast<float>(sirius.y / 2));
    const auto z = static_cast<double>(static_cast<float>(sirius.z / 2));
    std::snprintf(first, sizeof first, "%.9g %.9g %.9g %d", x, y, z,
                  ColourClass(0.0, ColourIndex::BMinusV));
    float read[3] = {0, 0, 0};
    int tag = -1;
    ASSERT_EQ(std::sscanf(Records(b).c_str(), "%f %f %f %d", &read[0], &read[1], &read[2], &tag),
              4);
    char got[128];
    std::snprintf(got, sizeof got, "%.9g %.9g %.9g %d", static_cast<double>(read[0]),
                  static_cast<double>(read[1]), static_cast<double>(read[2]), tag);
    EXPECT_STREQ(got, first);
    // Cartesian columns, as given; the scale that puts 9 of 10 stars within 8 units.
    std::string cartesian = "X,Y,Z\n";
    for (int star = 1; star <= 10; ++star) {
        cartesian += std::to_string(star * 10) + ",0,0\n";
    }
    Write("xyz.csv", cartesian);
    ASSERT_EQ(Run("xyz.csv --out c.dat"), 0);
    EXPECT_EQ(err.rfind("galaxy-import: 11.25 pc per unit, which puts 90% of the stars within 8 "
                        "units (--pc-per-unit sets it)\n",
                        0),
              0u)
        << err;
    const std::string c = Read("c.dat");
    EXPECT_EQ(HeaderWithout(c, "xyz.csv"),
              "# galaxy-import of SOURCE: 10 stars, x y z as the table gives them, 11.25 pc per "
              "unit\r");
    EXPECT_EQ(Records(c).substr(0, 20), "0.8888889 0 0 0\r\n1.7");
}

// Splitting on one thread and converting on another gives, batch after batch, exactly the
// catalogue that one thread gives: the same stars, bit for bit, and the same skips.
TEST_F(ImportTool, TwoThreadsReadWhatOneReads) {
    std::string text = "# comment\nra,dec,parallax,mag,bp_rp\n";
    for (int row = 0; row < 70000; ++row) {  // batches of 8192 rows, each used twice
        const std::string n = std::to_string(row);
        text += row % 997 == 0   ? "1,2\n"
                : row % 991 == 0 ? "\"1\n\",2,3,4,5\n"
                : row % 983 == 0
                    ? "1,2,-" + n + ",4,5\n"
                    : std::to_string(row % 360) + ".25," + std::to_string(row % 180 - 90) + ",0." +
                          n + "," + std::to_string(row % 17) + ",1." + n + "\n";
    }
    Write("many.csv", text);
    Catalogue catalogues[2];
    for (int threads = 1; threads <= 2; ++threads) {
        TableRequest request;
        request.path = File("many.csv");
        request.threads = threads;
        std::string error;
        ASSERT_TRUE(ReadTable(request, &catalogues[threads - 1], &error)) << error;
    }
    const Catalogue &one = catalogues[0], &two = catalogues[1];
    ASSERT_EQ(one.stars.size(), two.stars.size());
    EXPECT_GT(one.stars.size(), 49000u);
    for (std::size_t i = 0; i < one.stars.size(); ++i) {
        const ImportedStar &a = one.stars[i], &b = two.stars[i];
        ASSERT_EQ(std::memcmp(&a.position, &b.position, sizeof a.position), 0) << i;
        ASSERT_EQ(std::memcmp(&a.magnitude, &b.magnitude, sizeof a.magnitude), 0) << i;
        ASSERT_EQ(std::tie(a.line, a.tag, a.hasMagnitude), std::tie(b.line, b.tag, b.hasMagnitude));
    }
    EXPECT_EQ(one.skipped, two.skipped);
    ASSERT_EQ(one.shownSkips.size(), two.shownSkips.size());
    for (std::size_t i = 0; i < one.shownSkips.size(); ++i) {
        EXPECT_EQ(one.shownSkips[i].line, two.shownSkips[i].line);
        EXPECT_EQ(one.shownSkips[i].what, two.shownSkips[i].what);
    }
    // Formatting half the records on a helper thread writes the same file.
    std::string written[2];
    for (int threads = 1; threads <= 2; ++threads) {
        char* buffer = nullptr;
        std::size_t length = 0;
        std::FILE* out = open_memstream(&buffer, &length);
        Catalogue catalogue = one;  // OrderForWriting adds the stars it skips
        const WriteOrder order = OrderForWriting(catalogue, 100.0);
        ASSERT_TRUE(WriteGalaxy(out, catalogue, order, 100.0, threads));
        std::fclose(out);
        written[threads - 1].assign(buffer, length);
        std::free(buffer);
    }
    EXPECT_TRUE(written[0] == written[1]);  // not EXPECT_EQ: no diff of two megabytes
    // Enough stars for the order to be sorted in halves at once and merged: still brightest
    // first, equal magnitudes in table order, every star once.
    Catalogue sorted = one;
    const WriteOrder order = OrderForWriting(sorted, 100.0);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    std::vector<bool> seen(one.stars.size());
    for (const WriteKey& key : order) {
        ASSERT_LT(key.index, seen.size());
        EXPECT_FALSE(seen[key.index]);
        seen[key.index] = true;
    }
    EXPECT_EQ(order.size() + static_cast<std::size_t>(sorted.skipped - one.skipped),
              one.stars.size());
    EXPECT_GT(written[0].size(), 49000u * 20);
    // Rows 0 (short), 983 (a negative parallax), 991 (a quoted line end) and 997 (short).
    ASSERT_GE(one.shownSkips.size(), 4u);
    EXPECT_EQ(one.shownSkips[0].line, 3);
    EXPECT_EQ(one.shownSkips[1].line, 3 + 983);
    EXPECT_EQ(one.shownSkips[2].line, 3 + 991);
    EXPECT_EQ(one.shownSkips[3].line, 3 + 997 + 1);
}

}  // namespace
