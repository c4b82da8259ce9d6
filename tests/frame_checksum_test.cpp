// frame_checksum_test.cpp: the whole pipeline's frames and cache, hashed frame by frame against
// values recorded before any speed work, so every optimisation must keep them byte for byte.
#include <gtest/gtest.h>

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

struct Checkpoint {
    int frame;
    uint64_t pixels;  // running hash of every frame's picture and counts up to this frame
    uint64_t cache;   // hash of ProjectedStarArray and ProjectedCentre after this frame
};

// Flies frames 1..LastFrame over the galaxy and checks the hashes at each checkpoint's frame.
void ExpectCheckpoints(const std::string& galaxy, const std::vector<Checkpoint>& expected) {
    ResetScene();
    SetMemoryDisplayFont(false);  // text pixels belong to the font, not to this pipeline
    EXPECT_EQ(InitDisplay(nullptr, 800, 600, 32), DisplayOk);
    ClockTicks = 0;
    SetFrameRateClock(SteppingClock);
    EXPECT_TRUE(InitScene(galaxy.c_str()));
    Fnv pixels;
    auto next = expected.begin();
    for (int frame = 1; frame <= LastFrame; ++frame) {
        RenderFrame();
        const uint8_t* front = MemoryFrontPixels();
        for (int32_t row = 0; row < ScreenHeight; ++row) {
            pixels.AddBlock(front + row * MemoryPitch(), ScreenWidth * 4);
        }
        pixels.Add(static_cast<uint64_t>(DrawnStarCount()) << 32 |
                   static_cast<uint32_t>(FlaggedCellCount()));
        if (next != expected.end() && next->frame == frame) {
            Fnv cache;
            cache.AddBlock(ProjectedStarArray.data(), sizeof ProjectedStarArray);
            cache.AddBlock(ProjectedCentre.data(), ProjectedCentre.size() * sizeof(ProjectedStar));
            EXPECT_EQ(pixels.hash, next->pixels) << "pixels up to frame " << frame;
            EXPECT_EQ(cache.hash, next++->cache) << "cache at frame " << frame;
        }
    }
    EXPECT_TRUE(next == expected.end());
    EXPECT_EQ(std::memcmp(MemoryFrontPixels(), MemoryBackPixels(),
                          size_t(MemoryPitch()) * ScreenHeight),
              0);
    ShutdownDisplay();
    SetMemoryDisplayFont(true);
    ResetScene();
}

TEST(FrameChecksum, DiskGalaxyFramesAndCacheStayByteForByte) {
    const std::string path = testing::TempDir() + "frame-checksum-disk.dat";
    WriteDiskGalaxy(path);
    ExpectCheckpoints(path, {{1, 0x1D690C273D68E822ull, 0xA0FA4FB1D223D139ull},
                             {1000, 0x14E9DD70D38256AEull, 0xFED4121B81655307ull},
                             {2070, 0xFA7C5C4E2E00C72Aull, 0xFFCAF197F25F4E09ull},
                             {2500, 0x9156CC8200FD4006ull, 0x70F001431FE0C312ull}});
    std::remove(path.c_str());
}

TEST(FrameChecksum, RenderGalaxyFramesAndCacheStayByteForByte) {
    ExpectCheckpoints(GALAXY_SOURCE_DIR "/tests/data/render-galaxy.dat",
                      {{1, 0x810E6ED0A0403725ull, 0x1D2038A095999713ull},
                       {1000, 0x75D3D4B612FE31A8ull, 0xB7BB1202FCB10728ull},
                       {2070, 0x6AD20B6AF1823F0Eull, 0xBFE7D8DE8B79C4ADull},
                       {2500, 0x8B99C2DDE69ADC29ull, 0x9A503DA3F5D5B267ull}});
}

}  // namespace
