// frame_test.cpp: the renderer's rules: grey levels, truncation, clipping, overwrite, call order.
#include "render/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
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

// Level by the integer formula, for truncated values that fit in 64 bits.
uint8_t ReferenceLevel(double depth) {
    const auto truncated = static_cast<int64_t>(std::trunc(-1.0 - depth * 0.0001));
    return static_cast<uint8_t>(static_cast<uint64_t>(truncated) & 0xFF);
}

class FrameTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetScene();
        SetMemoryDisplayFont(false);
        ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
        PrepareFrameRecords();
    }
    void TearDown() override {
        ShutdownDisplay();
        SetMemoryDisplayFont(true);
        ResetScene();
    }

    // Plots one cell per entry of cells, each holding the given stars relative to its centre,
    // into the back buffer, first filled with a colour no star can have.
    static void Plot(
        const std::vector<std::pair<ProjectedStar, std::vector<ProjectedStar>>>& cells) {
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
        BackBuffer->Blt(Rect{0, 0, 800, 600}, BltEffects{0x7F7F7F7F});
        ASSERT_EQ(BackBuffer->Lock(LockDesc), DisplayOk);
        PlotStars();
        ASSERT_EQ(BackBuffer->Unlock(), DisplayOk);
    }

    static void PlotOne(double x, double y, double depth) {
        Plot({{ProjectedStar{0.0, 0.0, 0.0}, {ProjectedStar{x, y, depth}}}});
    }

    static std::array<uint8_t, 4> Pixel(int32_t column, int32_t row) {
        const uint8_t* p = MemoryBackPixels() + row * MemoryPitch() + column * 4;
        return {p[0], p[1], p[2], p[3]};
    }
    static std::array<uint8_t, 4> Grey(uint8_t level) { return {level, level, level, 0}; }
    static constexpr std::array<uint8_t, 4> Untouched{0x7F, 0x7F, 0x7F, 0x7F};
};

TEST_F(FrameTest, GreyLevelIsTheLowByteOfTheTruncatedDepthFormula) {
    const std::pair<double, int> table[] = {
        {0.000001, 255}, {9999.99, 255}, {10000.0, 254},   {1000000.0, 155},
        {2540000.0, 1},  {2559999.0, 0}, {2560000.0, 255}, {3000000.0, 211},
        {1.0e30, 0},     {Inf, 0},       {NaN, 0},         {std::numeric_limits<double>::max(), 0}};
    for (const auto& [depth, level] : table) {
        EXPECT_EQ(GreyLevel(depth), level) << "depth " << depth;
    }
    // Across the 32-bit boundary and up to 2^62 the integer formula still applies.
    for (double depth = 1.0; depth < 4.0e22; depth *= 1.37) {
        EXPECT_EQ(GreyLevel(depth), ReferenceLevel(depth)) << "depth " << depth;
    }
    EXPECT_EQ(GreyLevel(21474836470000.0), ReferenceLevel(21474836470000.0));
}

TEST_F(FrameTest, StarsInFrontLandAtCentrePlusOffsetTruncatedAndClipped) {
    int32_t index = -7;
    EXPECT_TRUE(ScreenIndex(-0.5, 800, index) && index == 0);
    EXPECT_TRUE(ScreenIndex(799.9, 800, index) && index == 799);
    PlotOne(-400.5, -300.5, 1.0);  // -0.5 on both axes
    EXPECT_EQ(Pixel(0, 0), Grey(255));
    PlotOne(399.9, 299.9, 1.0);
    EXPECT_EQ(Pixel(799, 599), Grey(255));
    for (double outside : {800.0, -1.0, -1.5, NaN, Inf, -Inf, 3.0e9, -3.0e9, 1.0e300}) {
        EXPECT_FALSE(ScreenIndex(outside, 800, index)) << outside;
        PlotOne(outside - 400.0, 0.0, 1.0);
        EXPECT_EQ(DrawnStarCount(), 0) << outside;
        PlotOne(0.0, outside - 300.0, 1.0);
        EXPECT_EQ(DrawnStarCount(), 0) << outside;
    }
    PlotOne(0.0, 300.0, 1.0);  // row 600
    EXPECT_EQ(DrawnStarCount(), 0);
    for (double depth : {0.0, -0.0, -1.0, -Inf, NaN}) {  // only stars in front are drawn
        PlotOne(0.0, 0.0, depth);
        EXPECT_EQ(DrawnStarCount(), 0) << depth;
        EXPECT_EQ(Pixel(400, 300), Untouched);
    }
    PlotOne(0.0, 0.0, 2555000.0);  // level 0: written, though black like the background
    EXPECT_EQ(DrawnStarCount(), 1);
    EXPECT_EQ(Pixel(400, 300), Grey(0));
    // Added the other way round, these give 399.99999999999994 and column 399.
    Plot({{ProjectedStar{-399.6359855721526, 0.0, 0.0},
           {ProjectedStar{399.6359855721526, 0.0, 1.0}}}});
    EXPECT_EQ(Pixel(400, 300), Grey(255));
    EXPECT_EQ(Pixel(399, 300), Untouched);
}

TEST_F(FrameTest, LaterStarsOverwriteEarlierOnesInTableOrder) {
    Plot({{ProjectedStar{10.0, 0.0, 0.0},
           {ProjectedStar{0.0, 0.0, 1.0}, ProjectedStar{0.0, 0.0, 100000.0}}},
          {ProjectedStar{0.0, 0.0, 0.0}, {ProjectedStar{10.0, 0.0, 1000000.0}}},
          {ProjectedStar{0.0, 5.0, 0.0}, {ProjectedStar{0.0, 0.0, 10000.0}}}});
    EXPECT_EQ(DrawnStarCount(), 4);
    EXPECT_EQ(Pixel(410, 300), Grey(155));  // the second cell's star came last
    EXPECT_EQ(Pixel(400, 305), Grey(254));
    EXPECT_EQ(Pixel(411, 300), Untouched);
}

TEST_F(FrameTest, FrameClearsLocksPlotsUnlocksWritesTextAndFlips) {
    using enum DisplayCall;
    for (bool failLock : {false, true}) {
        ClearMemoryDisplayLog();
        if (failLock) {
            FailNextLock();  // costs the stars only
        }
        RenderFrame();
        const std::vector<DisplayCall> expected =
            failLock ? std::vector{Blt, Lock, GetDC, TextOut, ReleaseDC, Flip}
                     : std::vector{Blt, Lock, Unlock, GetDC, TextOut, ReleaseDC, Flip};
        std::vector<DisplayCall> calls;
        for (const DisplayCallRecord& record : MemoryDisplayLog()) {
            calls.push_back(record.Call);
            EXPECT_EQ(record.Result == DisplayOk, !(failLock && record.Call == Lock));
            EXPECT_EQ(record.OnPrimary, record.Call == Flip);
        }
        EXPECT_EQ(calls, expected);
    }
    EXPECT_EQ(DrawnStarCount(), 0);
    EXPECT_STREQ(MemoryLastText(), "FPS: 0.0");
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
