// frame_test.cpp: the renderer and its overlay: every orbit frame against a plain plot and against
// hashes recorded before any speed work; grey levels and clipping no orbit reaches; call order,
// failures, the overlay's runs and clock, and a frame's allocations.
#include "render/frame.h"

#include <gtest/gtest.h>
#include <time.h>

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
#include "display/memory_display.h"
#include "render/frame_rate.h"
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
