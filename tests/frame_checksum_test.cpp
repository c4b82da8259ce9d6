// frame_checksum_test.cpp: the whole pipeline's frames and cache, hashed frame by frame against
// values recorded before any speed work, so every optimisation must keep them byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "app/scene.h"
#include "data/cells.h"
#include "display/memory_display.h"
#include "render/frame.h"
#include "render/frame_rate.h"
#include "view/cache.h"

namespace {

constexpr int LastFrame = 2500;  // past the close pass by the origin near frame 2070

// FNV-1a 64 taken a 64-bit word at a time, in four interleaved lanes folded at the end of each
// block: far fewer dependent steps than bytewise, which keeps thousands of 1.9 MB frames quick
// under the sanitizers.
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

// The clock moves 16 ms a read, so the rate text changes every 51 frames.
int64_t ClockTicks = 0;
TimeStamp SteppingClock() {
    const int64_t ms = 1000 + 16 * ClockTicks++;
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

struct Checkpoint {
    int frame;
    uint64_t pixels;  // running hash of every frame's picture and counts up to this frame
    uint64_t cache;   // hash of ProjectedStarArray and ProjectedCentre after this frame
};

class FrameChecksum : public testing::Test {
  protected:
    void SetUp() override {
        ResetScene();
        SetMemoryDisplayFont(false);  // text pixels belong to the font, not to this pipeline
        ASSERT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
        ClockTicks = 0;
        SetFrameRateClock(SteppingClock);
    }
    void TearDown() override {
        ShutdownDisplay();
        SetMemoryDisplayFont(true);
        ResetScene();
    }
};

// Flies frames 1..LastFrame over the galaxy. Every frame must show its cache's stars as the
// plain plot does, or its first wrong pixel is named; then the hashes of the frames and of the
// cache must match at each checkpoint (with every frame right, a wrong hash means the stars
// were projected or cached differently).
void ExpectCheckpoints(const std::string& galaxy, const std::vector<Checkpoint>& checkpoints) {
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
            cache.AddBlock(ProjectedStarArray.data(), sizeof ProjectedStarArray);
            cache.AddBlock(ProjectedCentre.data(), ProjectedCentre.size() * sizeof(ProjectedStar));
            EXPECT_EQ(pixels.hash, next->pixels) << "pixels up to frame " << frame;
            EXPECT_EQ(cache.hash, next++->cache) << "cache at frame " << frame;
        }
    }
    EXPECT_TRUE(next == checkpoints.end());
    EXPECT_EQ(
        std::memcmp(MemoryFrontPixels(), MemoryBackPixels(), size_t(MemoryPitch()) * ScreenHeight),
        0);
}

TEST_F(FrameChecksum, DiskGalaxyFramesAndCacheStayByteForByte) {
    const std::string path = testing::TempDir() + "frame-checksum-disk.dat";
    WriteDiskGalaxy(path);
    ExpectCheckpoints(path, {{1, 0x1D690C273D68E822ull, 0xA0FA4FB1D223D139ull},
                             {1000, 0x14E9DD70D38256AEull, 0xFED4121B81655307ull},
                             {2070, 0xFA7C5C4E2E00C72Aull, 0xFFCAF197F25F4E09ull},
                             {2500, 0x9156CC8200FD4006ull, 0x70F001431FE0C312ull}});
    std::remove(path.c_str());
}

TEST_F(FrameChecksum, RenderGalaxyFramesAndCacheStayByteForByte) {
    ExpectCheckpoints(GALAXY_SOURCE_DIR "/tests/data/render-galaxy.dat",
                      {{1, 0x810E6ED0A0403725ull, 0x1D2038A095999713ull},
                       {1000, 0x75D3D4B612FE31A8ull, 0xB7BB1202FCB10728ull},
                       {2070, 0x6AD20B6AF1823F0Eull, 0xBFE7D8DE8B79C4ADull},
                       {2500, 0x8B99C2DDE69ADC29ull, 0x9A503DA3F5D5B267ull}});
}

}  // namespace
