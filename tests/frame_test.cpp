// frame_test.cpp: the renderer's rules: grey levels, truncation, clipping, overwrite, call order.
#include "render/frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
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

constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Max = std::numeric_limits<double>::max();
constexpr uint32_t Untouched = 0x7F7F7F7F;  // the clear colour here, which no star can have

// Level by the integer formula, for truncated values that fit in 64 bits.
uint32_t ReferenceLevel(double depth) {
    const auto truncated = static_cast<int64_t>(std::trunc(-1.0 - depth * 0.0001));
    return static_cast<uint32_t>(static_cast<uint64_t>(truncated) & 0xFF);
}

constexpr uint32_t White = 0x00FFFFFF;  // grey 255: bytes B, G, R, unused
using Stars = std::vector<ProjectedStar>;

class FrameTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetScene();
        SetMemoryDisplayFont(false);
        ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
        PrepareFrameRecords();
        ClearFx.FillColor = Untouched;
    }
    void TearDown() override {
        ShutdownDisplay();
        SetMemoryDisplayFont(true);
        ResetScene();
    }

    // Clears the back buffer and plots one cell per entry, each holding stars relative to its
    // projected centre.
    static void Plot(const std::vector<std::pair<ProjectedStar, Stars>>& cells) {
        CellCount = static_cast<int32_t>(cells.size());
        CellTable.clear();
        ProjectedCentre.clear();
        int32_t next = 0;
        for (const auto& [centre, stars] : cells) {
            const int32_t first = next;
            for (const ProjectedStar& star : stars) {
                ProjectedStarArray[static_cast<size_t>(next++)] = star;
            }
            CellTable.push_back(Cell{first, next, Vec3{}, 0});
            ProjectedCentre.push_back(centre);
        }
        ClearAndPlot();
    }
    static void PlotOne(double x, double y, double depth) { Plot({{{}, {{x, y, depth}}}}); }

    static uint32_t Pixel(int32_t column, int32_t row) {
        uint32_t word = 0;
        std::memcpy(&word, MemoryBackPixels() + row * MemoryPitch() + column * 4, 4);
        return word;
    }
};

TEST_F(FrameTest, GreyLevelIsTheLowByteOfTheTruncatedDepthFormula) {
    // 21474836470000 gives exactly -2^31, the first value past the 32-bit conversion.
    std::vector<double> depths = {0.000001,  9999.99,   10000.0,   1000000.0,
                                  2540000.0, 2559999.0, 2560000.0, 3000000.0,
                                  1.0e30,    Inf,       Max,       21474836470000.0};
    std::vector<uint32_t> levels = {255, 255, 254, 155, 1, 0, 255, 211, 0, 0, 0, 0};
    // Across the 32-bit boundary and up to 2^62 the integer formula still applies.
    for (double depth = 1.0; depth < 4.0e22; depth *= 1.37) {
        depths.push_back(depth);
        levels.push_back(ReferenceLevel(depth));
    }
    Stars stars;  // one star per column of the top row
    for (size_t column = 0; column < depths.size(); ++column) {
        stars.push_back({static_cast<double>(column) - 400.0, -300.0, depths[column]});
    }
    Plot({{{}, stars}});
    for (size_t column = 0; column < depths.size(); ++column) {
        EXPECT_EQ(Pixel(static_cast<int32_t>(column), 0), levels[column] * 0x010101)
            << "depth " << depths[column];
    }
}

TEST_F(FrameTest, StarsInFrontLandAtCentrePlusOffsetTruncatedClippedLaterOverEarlier) {
    PlotOne(-400.5, -300.5, 1.0);  // -0.5 on both axes
    EXPECT_EQ(Pixel(0, 0), White);
    PlotOne(399.9, 299.9, 1.0);
    EXPECT_EQ(Pixel(799, 599), White);
    for (double outside : {800.0, -1.0, -1.5, NaN, Inf, -Inf, 3.0e9, -3.0e9, 1.0e300}) {
        Plot({{{}, {{outside - 400.0, 0.0, 1.0}, {0.0, outside - 300.0, 1.0}}}});
        EXPECT_EQ(DrawnStarCount(), 0) << outside;
    }
    PlotOne(0.0, 300.0, 1.0);  // row 600
    EXPECT_EQ(DrawnStarCount(), 0);
    for (double depth : {0.0, -0.0, -1.0, -Inf, NaN}) {  // only stars in front are drawn
        PlotOne(0.0, 0.0, depth);
        EXPECT_EQ(Pixel(400, 300), Untouched) << depth;
    }
    PlotOne(0.0, 0.0, 2555000.0);  // level 0: written, though black like the background
    EXPECT_EQ(Pixel(400, 300), 0u);
    // Added the other way round, these give 399.99999999999994 and column 399.
    Plot({{{-399.6359855721526, 0.0, 0.0}, {{399.6359855721526, 0.0, 1.0}}}});
    EXPECT_EQ(Pixel(400, 300), White);
    EXPECT_EQ(Pixel(399, 300), Untouched);
    Plot({{{10.0, 0.0, 0.0}, {{0.0, 0.0, 1.0}, {0.0, 0.0, 100000.0}}},
          {{0.0, 0.0, 0.0}, {{10.0, 0.0, 1000000.0}}},
          {{0.0, 5.0, 0.0}, {{0.0, 0.0, 10000.0}}}});
    EXPECT_EQ(DrawnStarCount(), 4);
    EXPECT_EQ(Pixel(410, 300), 155u * 0x010101);  // the second cell's star came last
    EXPECT_EQ(Pixel(400, 305), 254u * 0x010101);
}

// Each call of a frame by its initial (Blt, Lock, Unlock, GetDC, ReleaseDC, TextOut, Flip), in
// lower case when it failed, followed by '*' when made on the primary surface.
TEST_F(FrameTest, FrameClearsLocksPlotsUnlocksWritesTextAndFlips) {
    for (bool failLock : {false, true}) {
        ClearMemoryDisplayLog();
        if (failLock) {
            FailNextLock();  // costs the stars only
        }
        RenderFrame();
        std::string calls;
        for (const DisplayCallRecord& record : MemoryDisplayLog()) {
            const char initial = "BLUGRTF"[static_cast<size_t>(record.Call)];
            calls += record.Result == DisplayOk ? initial : static_cast<char>(initial + 32);
            calls += record.OnPrimary ? "*" : "";
        }
        EXPECT_EQ(calls, failLock ? "BlGTRF*" : "BLUGTRF*");
    }
    EXPECT_EQ(DrawnStarCount(), 0);
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

}  // namespace
