// frame_test.cpp: the renderer and its overlay: every orbit frame against a plain plot and against
// hashes recorded before any speed work; grey levels and clipping no orbit reaches; call order,
// failures, the overlay's runs and clock, and a frame's allocations.
#include "render/frame.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "app/scene.h"
#include "data/cells.h"
#include "data/loader.h"
#include "data/parallel.h"
#include "display/memory_display.h"
#include "render/frame_rate.h"
#include "render/plot.h"
#include "render/plot_run.h"
#include "view/cache.h"

int64_t Allocations = 0;  // every C++ allocation in this program, so a frame can show none

void* operator new(std::size_t size) {
    ++Allocations;
    if (void* block = std::malloc(size > 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
// The replaced operator new takes its memory from malloc, so free is the matching release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
#pragma GCC diagnostic pop

namespace {

constexpr int LastFrame = 2500;  // past the close pass by the origin near frame 2070
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Max = std::numeric_limits<double>::max();
constexpr uint32_t Untouched = 0x7F7F7F7F;  // the clear colour of the plots here: no star's
constexpr uint32_t White = 0x00FFFFFF;      // grey 255: bytes B, G, R, unused
using Stars = std::vector<ProjectedStar>;

// FNV-1a 64 a 64-bit word at a time, in four lanes folded at the end of each block: far fewer
// dependent steps than bytewise, so thousands of 1.9 MB frames stay quick under the sanitizers.
struct Fnv {
    static constexpr uint64_t Basis = 0xCBF29CE484222325ull;
    static constexpr uint64_t Prime = 0x100000001B3ull;
    uint64_t hash = Basis;
    void Add(uint64_t word) { hash = (hash ^ word) * Prime; }
    // bytes is a multiple of 8 for everything hashed here; word i goes to lane i % 4.
    __attribute__((no_sanitize("address"))) void AddBlock(const void* data, size_t bytes) {
        const auto* byte = static_cast<const unsigned char*>(data);
        uint64_t lane[4] = {Basis, Basis, Basis, Basis};
        for (size_t at = 0; at + 8 <= bytes; at += 8) {
            uint64_t word = 0;
            std::memcpy(&word, byte + at, 8);
            uint64_t& into = lane[at / 8 % 4];
            into = (into ^ word) * Prime;
        }
        for (uint64_t value : lane) {
            Add(value);
        }
    }
};

// A disk of two arms and a bulge from a fixed generator: the same file on every machine.
void WriteDiskGalaxy(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    uint64_t state = 20261206;
    auto uniform = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    std::fprintf(file, "#checksum disk\r\n");
    for (int star = 0; star < 17224; ++star) {
        const double radius = 8.0 * std::sqrt(uniform());
        const double arm = star % 3 == 0 ? 2.0 * std::numbers::pi * uniform()
                                         : (star % 3) * std::numbers::pi + radius * 0.7;
        const double spread = 0.3 * (uniform() - 0.5);
        const double z = radius < 1.5 ? 1.2 * (uniform() - 0.5) : 0.2 * (uniform() - 0.5);
        std::fprintf(file, "%.4f %.4f %.4f %d\r\n", radius * std::cos(arm) + spread,
                     radius * std::sin(arm) - spread, z, star % 4);
    }
    std::fclose(file);
}

// A crowd: 120000 stars in four clusters one behind the other straight ahead of the camera's
// first frames, so that they overlap on the screen. Each cluster's stars sit on a lattice of
// 3553 points, about eight to a point with different tags, and the clusters take stars in
// turn, so the grouping gathers each from all over the file.
void WriteCrowdGalaxy(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "#crowd\n");
    const double heading = -0.4995;  // the camera's direction in its first frame
    for (int star = 0; star < 120000; ++star) {
        const double ahead = 1.5 + 0.75 * (star % 4);  // file units from the first camera
        const double x = -10.005 + ahead * std::cos(heading) + 0.05 * (star * 7 % 19 - 9);
        const double y = ahead * std::sin(heading) + 0.05 * (star * 13 % 17 - 8);
        const double z = 0.05 * (star * 3 % 11 - 5);
        std::fprintf(file, "%.4f %.4f %.4f %d\n", x, y, z, star % 256);
    }
    std::fclose(file);
}

// The overlay's clock: each read gives NowMs, then moves it on by StepMs.
int64_t NowMs = 0, StepMs = 0;
int32_t ClockReads = 0;
TimeStamp TestClock() {
    ++ClockReads;
    const int64_t ms = std::exchange(NowMs, NowMs + StepMs);
    return TimeStamp{static_cast<int32_t>(ms / 1000), static_cast<uint16_t>(ms % 1000)};
}

// Plots the cache's state the plain way into picture: black, then each star in front and on
// screen in the grey of -1 - depth / 10000, later stars over earlier. Returns the stars drawn.
int32_t PlotPlainly(std::vector<uint32_t>& picture) {
    std::fill(picture.begin(), picture.end(), 0);
    int32_t stars = 0;
    for (size_t cell = 0; cell < static_cast<size_t>(CellCount); ++cell) {
        const ProjectedStar centre = ProjectedCentre[cell];
        for (int32_t index = CellTable[cell].FirstStar; index < CellTable[cell].EndStar; ++index) {
            const ProjectedStar& star = ProjectedStarArray[static_cast<size_t>(index)];
            const double column = (centre.x + star.x) + 400.0, row = (centre.y + star.y) + 300.0;
            if (star.depth > 0.0 && column > -1.0 && column < 800.0 && row > -1.0 && row < 600.0) {
                // No star here is 9e22 deep; the bound only keeps the conversion defined.
                const double level = std::max(std::trunc(-1.0 - star.depth * 0.0001), -9.0e18);
                picture[size_t(row) * ScreenWidth + size_t(column)] =
                    static_cast<uint32_t>(static_cast<int64_t>(level) & 0xFF) * 0x010101;
                ++stars;
            }
        }
    }
    return stars;
}

// The first pixel where the shown frame differs from expected, as "column C, row R: expected E,
// shown S"; empty when the frame is exactly as expected.
std::string FirstDifference(const std::vector<uint32_t>& expected) {
    for (int32_t row = 0; row < ScreenHeight; ++row) {
        const uint8_t* shown = MemoryFrontPixels() + row * MemoryPitch();
        const uint32_t* want = expected.data() + size_t(row) * ScreenWidth;
        if (std::memcmp(shown, want, ScreenWidth * 4) == 0) {
            continue;
        }
        for (int32_t column = 0; column < ScreenWidth; ++column) {
            uint32_t pixel = 0;
            std::memcpy(&pixel, shown + column * 4, 4);
            if (pixel != want[column]) {
                char text[80];
                std::snprintf(text, sizeof text, "column %d, row %d: expected %08X, shown %08X",
                              column, row, want[column], pixel);
                return text;
            }
        }
    }
    return "";
}

class FrameTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetScene();
        SetMemoryDisplayFont(false);  // text pixels belong to the font and the golden pictures
        ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
        NowMs = StepMs = ClockReads = 0;
        SetFrameRateClock(TestClock);
    }
    void TearDown() override {
        ShutdownDisplay();
        SetMemoryDisplayFont(true);
        ResetScene();
    }

    // Clears the back buffer to Untouched and plots one cell of stars relative to its centre.
    static void Plot(const Stars& stars, ProjectedStar centre = {}) {
        std::copy(stars.begin(), stars.end(), ProjectedStarArray.begin());
        CellCount = 1;
        CellTable = {Cell{0, static_cast<int32_t>(stars.size()), Vec3{}, 0}};
        ProjectedCentre = {centre};
        ClearFx.FillColor = Untouched;
        ClearAndPlot();
    }
    static void PlotOne(double x, double y, double depth) { Plot({{x, y, depth}}); }

    static uint32_t Pixel(int32_t column, int32_t row) {
        uint32_t word = 0;
        std::memcpy(&word, MemoryBackPixels() + row * MemoryPitch() + column * 4, 4);
        return word;
    }

    // Draws a run of the overlay, 51 frames, the last at endMs.
    static void DrawRun(int64_t endMs) {
        for (int frame = 1; frame < 51; ++frame) {
            DrawFrameRate();
        }
        NowMs = endMs;
        DrawFrameRate();
    }
};

struct Checkpoint {
    int frame;
    uint64_t pixels;  // running hash of every frame's picture and counts up to this frame
    uint64_t cache;   // hash of ProjectedStarArray and ProjectedCentre after this frame
};

// Flies frames 1..LastFrame over the galaxy, the clock moving 16 ms a read. Every frame shown
// must be its cache's stars as the plain plot has them, or its first wrong pixel is named; then
// the hashes of the frames and of the cache must match at each checkpoint (with every frame
// right, a wrong hash means the stars were projected or cached differently).
void ExpectCheckpoints(const std::string& galaxy, const std::vector<Checkpoint>& checkpoints) {
    NowMs = 1000;
    StepMs = 16;
    ASSERT_TRUE(InitScene(galaxy.c_str()));
    Fnv pixels;
    std::vector<uint32_t> plain(size_t{ScreenWidth} * ScreenHeight);
    auto next = checkpoints.begin();
    for (int frame = 1; frame <= LastFrame; ++frame) {
        RenderFrame();
        ASSERT_EQ(DrawnStarCount(), PlotPlainly(plain)) << "frame " << frame;
        ASSERT_EQ(FirstDifference(plain), "") << "frame " << frame;
        const uint8_t* front = MemoryFrontPixels();
        for (int32_t row = 0; row < ScreenHeight; ++row) {
            pixels.AddBlock(front + row * MemoryPitch(), ScreenWidth * 4);
        }
        pixels.Add(static_cast<uint64_t>(DrawnStarCount()) << 32 |
                   static_cast<uint32_t>(FlaggedCellCount()));
        if (next != checkpoints.end() && next->frame == frame) {
            Fnv cache;
            cache.AddBlock(ProjectedStarArray.data(), ProjectedStarArray.size() * sizeof(ProjectedStar));
            cache.AddBlock(ProjectedCentre.data(), ProjectedCentre.size() * sizeof(ProjectedStar));
            EXPECT_EQ(pixels.hash, next->pixels) << "pixels up to frame " << frame;
            EXPECT_EQ(cache.hash, next++->cache) << "cache at frame " << frame;
        }
    }
    EXPECT_TRUE(next == checkpoints.end());
}

TEST_F(FrameTest, DiskGalaxyFramesAndCacheStayByteForByte) {
    const std::string path = testing::TempDir() + "frame-checksum-disk.dat";
    WriteDiskGalaxy(path);
    ExpectCheckpoints(path, {{1, 0x1D690C273D68E822ull, 0xA0FA4FB1D223D139ull},
                             {1000, 0x14E9DD70D38256AEull, 0xFED4121B81655307ull},
                             {2070, 0xFA7C5C4E2E00C72Aull, 0xFFCAF197F25F4E09ull},
                             {2500, 0x9156CC8200FD4006ull, 0x70F001431FE0C312ull}});
    std::remove(path.c_str());
}

TEST_F(FrameTest, RenderGalaxyFramesAndCacheStayByteForByte) {
    ExpectCheckpoints(GALAXY_SOURCE_DIR "/tests/data/render-galaxy.dat",
                      {{1, 0x810E6ED0A0403725ull, 0x1D2038A095999713ull},
                       {1000, 0x75D3D4B612FE31A8ull, 0xB7BB1202FCB10728ull},
                       {2070, 0x6AD20B6AF1823F0Eull, 0xBFE7D8DE8B79C4ADull},
                       {2500, 0x8B99C2DDE69ADC29ull, 0x9A503DA3F5D5B267ull}});
}

// The crowd on 1, 2 and 3 threads, in grey and in colour. Every frame must be the one thread's,
// pixel for pixel, with the same count and cache, and in grey also what the plain plot here
// draws; more threads must really split the plot, and no frame allocates, the first included.
TEST_F(FrameTest, CrowdedFramesAreTheSameOnEveryThreadCount) {
    const std::string path =
        testing::TempDir() + "frame-crowd-" + std::to_string(getpid()) + ".dat";
    WriteCrowdGalaxy(path);
    std::vector<uint32_t> plain(size_t{ScreenWidth} * ScreenHeight);
    const auto fly = [&](int32_t threads, bool colours) {
        SetThreadCount(threads);
        ResetScene();
        NowMs = 1000;
        StepMs = 16;
        SetFrameRateClock(TestClock);
        SetStarColours(colours);
        std::vector<uint64_t> frames;
        EXPECT_EQ(StartScene(SceneOptions{path.c_str(), FitCapacity}), SceneStatus::Ready);
        int64_t allocated = 0;
        for (int frame = 1; frame <= 12 && !testing::Test::HasFailure(); ++frame) {
            const int64_t before = Allocations + static_cast<int64_t>(slots::Requests());
            RenderFrame();
            allocated += Allocations + static_cast<int64_t>(slots::Requests()) - before;
            EXPECT_EQ(LastPlotSlices(), threads == 1 ? 0 : threads) << "frame " << frame;
            if (!colours) {
                EXPECT_EQ(DrawnStarCount(), PlotPlainly(plain)) << "frame " << frame;
                EXPECT_EQ(FirstDifference(plain), "") << "frame " << frame;
            }
            Fnv hash;
            for (int32_t row = 0; row < ScreenHeight; ++row) {
                hash.AddBlock(MemoryFrontPixels() + row * MemoryPitch(), ScreenWidth * 4);
            }
            hash.Add(static_cast<uint64_t>(DrawnStarCount()));
            hash.AddBlock(ProjectedStarArray.data(),
                          ProjectedStarArray.size() * sizeof(ProjectedStar));
            hash.AddBlock(ProjectedCentre.data(), ProjectedCentre.size() * sizeof(ProjectedStar));
            hash.AddBlock(ProjectedBounds.data(), ProjectedBounds.size() * sizeof(OffsetBounds));
            frames.push_back(hash.hash);
        }
        EXPECT_EQ(allocated, 0) << threads << " threads";
        return frames;
    };
    const std::vector<uint64_t> grey = fly(1, false);
    EXPECT_EQ(fly(2, false), grey);
    EXPECT_EQ(fly(3, false), grey);
    const std::vector<uint64_t> colour = fly(1, true);
    EXPECT_EQ(fly(3, true), colour);
    EXPECT_NE(colour, grey);
    SetThreadCount(ProcessorCount());
    std::remove(path.c_str());
}

// Cells by hand for the plots to draw: each cell's stars and centre, its bounds found plainly.
struct HandCell {
    ProjectedStar centre;
    Stars stars;
};

void InstallHandCells(const std::vector<HandCell>& cells) {
    size_t slots = 0;
    for (const HandCell& cell : cells) {
        slots += cell.stars.size();
    }
    ASSERT_TRUE(AllocateStars(static_cast<int32_t>(slots)));
    CellCount = static_cast<int32_t>(cells.size());
    CellTable.assign(cells.size(), Cell{});
    AllocateProjectedCentre();
    auto next = ProjectedStarArray.begin();
    for (size_t i = 0; i < cells.size(); ++i) {
        const auto first = static_cast<int32_t>(next - ProjectedStarArray.begin());
        CellTable[i] = Cell{first, first + static_cast<int32_t>(cells[i].stars.size()), {}, 0};
        ProjectedCentre[i] = cells[i].centre;
        OffsetBounds& bounds = ProjectedBounds[i] = NoOffsets;
        for (const ProjectedStar& star : cells[i].stars) {
            *next++ = star;
            StarTag[size_t(next - ProjectedStarArray.begin() - 1)] = uint8_t(first * 7 + 1);
            if (!std::isnan(star.x)) {
                bounds.MinX = std::min(bounds.MinX, star.x);
                bounds.MaxX = std::max(bounds.MaxX, star.x);
            }
            if (!std::isnan(star.y)) {
                bounds.MinY = std::min(bounds.MinY, star.y);
                bounds.MaxY = std::max(bounds.MaxY, star.y);
            }
            if (!std::isnan(star.depth)) {
                bounds.MaxDepth = std::max(bounds.MaxDepth, star.depth);
            }
        }
    }
}

// Plots the installed cells into a frame of Untouched pixels, the plain way or in slices.
std::vector<uint32_t> PlotInto(bool sliced, bool colours, int32_t& drawn) {
    std::vector<uint32_t> frame(size_t{ScreenWidth} * ScreenHeight, Untouched);
    const LockDescription target{reinterpret_cast<uint8_t*>(frame.data()), ScreenWidth * 4};
    drawn = sliced ? PlotStarsInSlices(target, colours) : PlotStarsPlainly(target, colours);
    return frame;
}

// Cells at each edge of the screen and behind the camera, each with one star just inside (or
// just in front) among 2000 just outside, beside twins whose one star is just outside too and
// cells of NaN, between cells of stars over the middle of the screen, enough to split the plot three
// ways. Only cells that show nothing may be skipped: the sliced plot must draw the plain one's
// pixels and count, and so it must with no bounds known at all.
TEST_F(FrameTest, SlicedPlotSkipsOnlyCellsThatShowNothing) {
    // The offsets nearest the edges that still truncate onto the screen.
    const double inLeft = std::nextafter(-401.0, 0.0), inTop = std::nextafter(-301.0, 0.0);
    const double inRight = std::nextafter(800.0, 0.0) - 400.0;
    const double inBottom = std::nextafter(600.0, 0.0) - 300.0;
    const double tiny = std::numeric_limits<double>::denorm_min();
    // Stars given by where they land; their offsets from the centre are exact.
    const auto edge = [](ProjectedStar outside, ProjectedStar last) {
        const ProjectedStar centre{0.5, -0.25, 0.0};
        const auto offset = [&centre](ProjectedStar at) {
            return ProjectedStar{at.x - centre.x, at.y - centre.y, at.depth};
        };
        HandCell cell{centre, Stars(2000, offset(outside))};
        cell.stars.push_back(offset(last));
        return cell;
    };
    const std::vector<HandCell> edges = {
        edge({-450.0, 0.0, 1.0}, {inLeft, 0.0, 1.0}),      edge({-450.0, 0.0, 1.0}, {-401.0, 0.0, 1.0}),
        edge({450.0, 0.0, 1.0}, {inRight, 0.0, 1.0}),      edge({450.0, 0.0, 1.0}, {400.0, 0.0, 1.0}),
        edge({0.0, -350.0, 1.0}, {0.0, inTop, 1.0}),       edge({0.0, -350.0, 1.0}, {0.0, -301.0, 1.0}),
        edge({0.0, 350.0, 1.0}, {0.0, inBottom, 1.0}),     edge({0.0, 350.0, 1.0}, {0.0, 300.0, 1.0}),
        edge({10.0, 10.0, -5.0}, {10.0, 10.0, tiny}),      edge({10.0, 10.0, -5.0}, {10.0, 10.0, 0.0}),
        edge({NaN, 0.0, 1.0}, {0.0, NaN, 1.0}),            edge({0.0, 0.0, NaN}, {20.0, 20.0, 1.0})};
    uint64_t state = 99;
    const auto uniform = [&state](double low, double high) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return low + (high - low) * static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    std::vector<HandCell> cells;
    for (size_t i = 0; i < edges.size(); ++i) {
        cells.push_back(edges[i]);
        if (i % 4 == 3) {
            HandCell crowd{{uniform(-9.0, 9.0), uniform(-9.0, 9.0), 0.0}, {}};
            for (int star = 0; star < 35000; ++star) {
                crowd.stars.push_back({uniform(-380.0, 380.0), uniform(-280.0, 280.0),
                                       uniform(-1.0e5, 2.6e6)});
            }
            cells.push_back(crowd);
        }
    }
    InstallHandCells(cells);
    SetThreadCount(3);
    for (const bool colours : {false, true}) {
        int32_t plainCount = 0, slicedCount = 0;
        const std::vector<uint32_t> plain = PlotInto(false, colours, plainCount);
        EXPECT_EQ(PlotInto(true, colours, slicedCount), plain);
        EXPECT_EQ(LastPlotSlices(), 3);
        EXPECT_EQ(slicedCount, plainCount);
        for (const auto& [column, row] : {std::pair{0, 300}, {799, 300}, {400, 0}, {400, 599}}) {
            EXPECT_NE(plain[size_t(row) * ScreenWidth + size_t(column)], Untouched);
        }
    }
    std::vector<OffsetBounds>().swap(ProjectedBounds);
    int32_t plainCount = 0, slicedCount = 0;
    EXPECT_EQ(PlotInto(true, false, slicedCount), PlotInto(false, false, plainCount));
    EXPECT_EQ(slicedCount, plainCount);
    SetThreadCount(ProcessorCount());
}

// Stars for the two runs to disagree on: every pairing of offsets around both edges of each
// axis (and NaN, infinite and huge ones) with depths in front, on the plane, behind, NaN,
// infinite and too deep for a 32-bit level; then groups of four on one pixel at different
// depths, and a lattice over the screen where stars meet.
Stars AwkwardStars() {
    const double inRight = std::nextafter(800.0, 0.0) - 400.0;
    const double inBottom = std::nextafter(600.0, 0.0) - 300.0;
    const std::vector<double> xs = {-401.0, std::nextafter(-401.0, 0.0), -400.5, -400.0, 0.0, -0.0,
                                    inRight, 400.0, 400.5, NaN, Inf, -Inf, 1e300};
    const std::vector<double> ys = {-301.0, std::nextafter(-301.0, 0.0), -300.0, 0.0, inBottom,
                                    300.0, NaN, Inf, -1e300};
    const std::vector<double> depths = {1.0, 0.0, -0.0, -1.0, 5e-324, NaN, Inf,
                                        2.0e13, 3.0e13, 1.0e30, 5.0e5, 2.5e6};
    Stars stars;
    for (double x : xs) {
        for (double y : ys) {
            for (double depth : depths) {
                stars.push_back({x, y, depth});
            }
        }
    }
    for (size_t k = 0; k < depths.size(); ++k) {  // each depth on a pixel of its own
        stars.push_back({static_cast<double>(k) * 7.0 - 100.0, 50.0, depths[k]});
    }
    for (int group = 0; group < 64; ++group) {
        for (int k = 0; k < 4; ++k) {
            stars.push_back({group * 5.25 - 300.0, group * 3.5 - 200.0, 1e4 * (k + 1) + group});
        }
    }
    for (int star = 0; star < 3000; ++star) {
        stars.push_back({(star * 37 % 97) * 8.0 - 390.0, (star * 11 % 71) * 8.0 - 290.0,
                         (star % 13) * 2e5 + 0.5});
    }
    for (int star = 0; star < 16; ++star) {  // drawn and not in turn, none at the corners
        stars.push_back({star * 3.0, star * 2.0, star % 3 == 0 ? -1.0 : star * 1e5});
    }
    stars.shrink_to_fit();  // no spare capacity: a read past the last star trips ASan
    return stars;
}

// The pixels (over Untouched) and marks a run leaves, and its count.
struct RunResult {
    std::vector<uint32_t> pixels;
    std::vector<uint64_t> marks;
    int32_t drawn;
    bool operator==(const RunResult&) const = default;
};

RunResult RunOnce(decltype(&PlotRunScalar) run, bool colours, bool marked,
                  const ProjectedStar& centre, const Stars& stars,
                  const std::vector<uint8_t>& tags, int32_t from, int32_t to) {
    RunResult result{std::vector<uint32_t>(size_t{ScreenWidth} * ScreenHeight, Untouched),
                     std::vector<uint64_t>(MarkWordsPerRow * ScreenHeight), 0};
    const Canvas canvas{reinterpret_cast<uint8_t*>(result.pixels.data()), ScreenWidth * 4,
                        marked ? result.marks.data() : nullptr};
    result.drawn = run(canvas, colours, centre, stars.data(), tags.data(), from, to);
    return result;
}

// Marks, where a run keeps them, are exactly the pixels written.
void ExpectMarksArePixels(const RunResult& run) {
    for (size_t pixel = 0; pixel < run.pixels.size(); ++pixel) {
        const size_t row = pixel / ScreenWidth, column = pixel % ScreenWidth;
        const bool mark = (run.marks[row * MarkWordsPerRow + column / 64] >> (column % 64)) & 1;
        ASSERT_EQ(mark, run.pixels[pixel] != Untouched) << "row " << row << ", column " << column;
    }
}

// The AVX2 run against the plain one, in grey and colour, marking or not, about centres that
// make the sums round: the whole of the awkward stars, and short runs of 0 to 9 stars. The
// plain run's marks must be its pixels.
TEST(PlotRuns, Avx2RunGivesThePlainRunsPixelsMarksAndCount) {
    if (__builtin_cpu_supports("avx2") == 0) {
        GTEST_SKIP() << "this CPU has no AVX2";
    }
    const Stars stars = AwkwardStars();
    std::vector<uint8_t> tags(stars.size());
    for (size_t star = 0; star < tags.size(); ++star) {
        tags[star] = static_cast<uint8_t>(star * 37 % 256);
    }
    const auto all = static_cast<int32_t>(stars.size());
    for (const ProjectedStar centre : {ProjectedStar{}, ProjectedStar{0.5, -0.25, 0.0},
                                       ProjectedStar{-0.3, 0.7, 0.0}, ProjectedStar{NaN, 0.0, 0.0}}) {
        for (const bool colours : {false, true}) {
            for (const bool marked : {false, true}) {
                const RunResult plain =
                    RunOnce(PlotRunScalar, colours, marked, centre, stars, tags, 0, all);
                EXPECT_TRUE(RunOnce(PlotRunAvx2, colours, marked, centre, stars, tags, 0, all) ==
                            plain)
                    << "centre " << centre.x << ", colours " << colours << ", marked " << marked;
                if (marked) {
                    ExpectMarksArePixels(plain);
                }
            }
        }
    }
    // From each place in a group of four: among the last sixteen stars, drawn and not in turn,
    // and among the groups on one pixel.
    const int32_t meeting = all - 16 - 3000 - 256;
    for (const int32_t at : {all - 16, all - 15, all - 14, all - 13, meeting, meeting + 1,
                             meeting + 2, meeting + 3}) {
        for (int32_t length = 0; length <= 9; ++length) {
            const RunResult plain =
                RunOnce(PlotRunScalar, true, true, {}, stars, tags, at, at + length);
            EXPECT_TRUE(RunOnce(PlotRunAvx2, true, true, {}, stars, tags, at, at + length) ==
                        plain)
                << "from " << at << ", length " << length;
            ExpectMarksArePixels(plain);
        }
    }
}

// Grey levels of any depth, and which stars are drawn at all.
TEST_F(FrameTest, StarsInFrontThatTruncateOntoTheScreenShowTheLowByteOfTheDepthFormula) {
    // 21474836470000 gives exactly -2^31, the first value past the 32-bit conversion.
    std::vector<double> depths = {0.000001,  9999.99,   10000.0,   1000000.0,
                                  2540000.0, 2559999.0, 2560000.0, 3000000.0,
                                  1.0e30,    Inf,       Max,       21474836470000.0};
    std::vector<uint32_t> levels = {255, 255, 254, 155, 1, 0, 255, 211, 0, 0, 0, 0};
    // Across the 32-bit boundary and up to 2^62 the integer formula still applies.
    for (double depth = 1.0; depth < 4.0e22; depth *= 1.37) {
        depths.push_back(depth);
        const auto truncated = static_cast<int64_t>(std::trunc(-1.0 - depth * 0.0001));
        levels.push_back(static_cast<uint32_t>(static_cast<uint64_t>(truncated) & 0xFF));
    }
    Stars stars;  // one star per column of the top row
    for (size_t column = 0; column < depths.size(); ++column) {
        stars.push_back({static_cast<double>(column) - 400.0, -300.0, depths[column]});
    }
    Plot(stars);
    for (size_t column = 0; column < depths.size(); ++column) {
        EXPECT_EQ(Pixel(static_cast<int32_t>(column), 0), levels[column] * 0x010101)
            << "depth " << depths[column];
    }
    // Positions and depths no orbit frame has: the screen's last column and row and beyond,
    // non-finite and huge values, and stars on or behind the camera's plane.
    PlotOne(-400.5, -300.5, 1.0);  // -0.5 on both axes
    EXPECT_EQ(Pixel(0, 0), White);
    PlotOne(399.9, 299.9, 1.0);
    EXPECT_EQ(Pixel(799, 599), White);
    for (double outside : {800.0, -1.0, -1.5, NaN, Inf, -Inf, 3.0e9, -3.0e9, 1.0e300}) {
        Plot({{outside - 400.0, 0.0, 1.0}, {0.0, outside - 300.0, 1.0}});
        EXPECT_EQ(DrawnStarCount(), 0) << outside;
    }
    PlotOne(0.0, 300.0, 1.0);  // row 600
    EXPECT_EQ(DrawnStarCount(), 0);
    for (double depth : {0.0, -0.0, -1.0, -Inf, NaN}) {
        PlotOne(0.0, 0.0, depth);
        EXPECT_EQ(Pixel(400, 300), Untouched) << depth;
    }
    PlotOne(0.0, 0.0, 2555000.0);  // level 0: written, though black like the background
    EXPECT_EQ(Pixel(400, 300), 0u);
    // Added the other way round, these give 399.99999999999994 and column 399.
    Plot({{399.6359855721526, 0.0, 1.0}}, {-399.6359855721526, 0.0, 0.0});
    EXPECT_EQ(Pixel(400, 300), White);
    EXPECT_EQ(Pixel(399, 300), Untouched);
}

// Each call of a frame by its initial (Blt, Lock, Unlock, GetDC, ReleaseDC, TextOut, Flip), in
// lower case when it failed, followed by '*' when made on the primary surface. A failed lock
// costs the stars only, a failed device context the text only: the frame is counted all the same.
TEST_F(FrameTest, FrameClearsLocksPlotsUnlocksWritesTextAndFlips) {
    const char* expected[] = {"BLUGTRF*", "BlGTRF*", "BLUgF*"};
    void (*const fail[])() = {[] {}, FailNextLock, FailNextGetDC};
    for (int failure = 0; failure < 3; ++failure) {
        ClearMemoryDisplayLog();
        fail[failure]();
        RenderFrame();
        std::string calls;
        for (const DisplayCallRecord& record : MemoryDisplayLog()) {
            const char initial = "BLUGRTF"[static_cast<size_t>(record.Call)];
            calls += record.Result == DisplayOk ? initial : static_cast<char>(initial + 32);
            calls += record.OnPrimary ? "*" : "";
        }
        EXPECT_EQ(calls, expected[failure]);
    }
    EXPECT_EQ(FrameCounter, 3);
}

TEST_F(FrameTest, FramesOfALoadedGalaxyAllocateNothing) {
    ShutdownDisplay();
    SetMemoryDisplayFont(true);  // the text too, which is drawn again every frame
    ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
    ASSERT_TRUE(InitScene(GALAXY_SOURCE_DIR "/tests/data/render-galaxy.dat"));
    RenderFrame();  // the first text is rendered once and kept
    const int64_t before = Allocations;
    for (int frame = 2; frame <= 50; ++frame) {
        RenderFrame();
    }
    EXPECT_EQ(Allocations, before);
    EXPECT_STREQ(FrameRateText, "FPS: 0.0");
}

// A run across a second boundary (signed milliseconds) is measured, and the next starts at a
// second reading of the clock; a run of zero time keeps the rate. What the text shows, and
// when, is the golden pictures' to check.
TEST_F(FrameTest, OverlayMeasuresRunsOf51FramesFromTheirStartToTheirEnd) {
    NowMs = 100900;
    StartFrameRateClock();
    DrawRun(101400);
    EXPECT_DOUBLE_EQ(FrameRate, 102.0);
    EXPECT_EQ(FrameCounter, 0);
    EXPECT_EQ(ClockReads, 3);  // start, end of run, start of the next run
    DrawRun(102250);
    EXPECT_DOUBLE_EQ(FrameRate, 60.0);  // measured from 101.400
    DrawRun(102250);
    EXPECT_DOUBLE_EQ(FrameRate, 60.0);
    EXPECT_EQ(FrameCounter, 0);
}

TEST_F(FrameTest, OverlayClockRestoredIsTheMonotonicClockInSecondsAndMilliseconds) {
    auto monotonicMilliseconds = [] {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    };
    SetFrameRateClock(nullptr);
    const int64_t before = monotonicMilliseconds();
    StartFrameRateClock();
    const int64_t after = monotonicMilliseconds();
    const int64_t read = int64_t{LastRateTime.Seconds} * 1000 + LastRateTime.Milliseconds;
    EXPECT_TRUE(before <= read && read <= after) << before << " <= " << read << " <= " << after;
    EXPECT_LT(LastRateTime.Milliseconds, 1000);
    EXPECT_EQ(ClockReads, 0);
}

}  // namespace
