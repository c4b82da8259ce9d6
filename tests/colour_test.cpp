// colour_test.cpp: star colours: the palette, colour frames against grey ones over an orbit,
// tags that follow their stars through the grouping, and --colour in both programs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/scene.h"
#include "data/cells.h"
#include "data/loader.h"
#include "display/memory_display.h"
#include "render/frame.h"
#include "render/frame_rate.h"
#include "render/palette.h"
#include "view/cache.h"
#include "view/camera.h"

namespace {

constexpr int OrbitFrames = 12567;  // 2 pi / 0.0005 radians a step: the camera's whole circle
constexpr uint32_t NoStar = 256;    // a pixel no star was drawn on

// A spiral of `stars` stars at distinct positions, every seventh of class 0, the others of
// classes spread over 1 to 255.
std::string WriteSpiralGalaxy(int stars) {
    const std::string path = testing::TempDir() + "colour-spiral.dat";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fprintf(file, "#colour test spiral\n");
    for (int star = 0; star < stars; ++star) {
        const double radius = 8.0 * std::sqrt((star + 0.5) / stars), angle = star * 2.39996323;
        std::fprintf(file, "%.4f %.4f %.4f %d\n", radius * std::cos(angle),
                     radius * std::sin(angle), 0.004 * (star * 7 % 100 - 50),
                     star % 7 == 0 ? 0 : 1 + star * 37 % 255);
    }
    std::fclose(file);
    return path;
}

// ShadeChannel's rule in real numbers: channel x level / 255 to the nearest whole number.
uint32_t Shaded(uint8_t channel, uint32_t level) {
    return static_cast<uint32_t>(std::lround(channel * static_cast<double>(level) / 255.0));
}

TEST(Colour, PaletteRunsFromBlueWhiteToOrangeRedAtFullBrightness) {
    const StarColour white{255, 255, 255};
    EXPECT_EQ(std::memcmp(&StarPalette[0], &white, 3), 0);
    EXPECT_EQ(std::memcmp(&StarPalette[86], &white, 3), 0);
    EXPECT_GT(StarPalette[1].blue, StarPalette[1].red);
    EXPECT_GT(StarPalette[255].red, 2 * StarPalette[255].blue);
    for (size_t c = 1; c < 256; ++c) {
        const StarColour& colour = StarPalette[c];
        EXPECT_EQ(std::max({colour.red, colour.green, colour.blue}), 255) << c;
        if (c > 1) {  // ever redder: red never falls, blue never rises
            EXPECT_GE(colour.red, StarPalette[c - 1].red) << c;
            EXPECT_LE(colour.blue, StarPalette[c - 1].blue) << c;
        }
    }
    for (uint32_t channel = 0; channel < 256; ++channel) {
        for (uint32_t level = 0; level < 256; ++level) {
            ASSERT_EQ(ShadeChannel(uint8_t(channel), uint8_t(level)),
                      Shaded(uint8_t(channel), level))
                << channel << " at " << level;
        }
    }
}

// The fast grouping moves the tags exactly as the plain gather does: many stars share each
// position, so only the tags show where each one went.
TEST(Colour, FastGroupingMovesTagsAsThePlainGather) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 6; ++round) {
        ResetStars();
        const uint64_t cells = 1 + uint64_t(round) * 60;
        for (int32_t slot = 0; slot < MaxStars - round * 3000; ++slot) {
            const auto cell = static_cast<double>(rng() % cells) - (round % 2 ? 40.0 : 0.0);
            StarArray[size_t(slot)] = Star{cell * 100000.0 + 5.0, (slot % 3) * 100000.0, 0.0};
            StarTag[size_t(slot)] = static_cast<uint8_t>(rng());
        }
        const auto stars = StarArray;
        const auto tags = StarTag;
        GatherStarsByCell();
        const auto plainTags = StarTag;
        StarArray = stars;
        StarTag = tags;
        SortStarsByCell();
        ASSERT_TRUE(StarTag == plainTags) << "round " << round;
    }
    ResetStars();
}

class ColourFrames : public testing::Test {
  protected:
    void SetUp() override {
        ResetScene();
        ASSERT_EQ(InitDisplay(nullptr, ScreenWidth, ScreenHeight, ScreenBits), DisplayOk);
    }
    void TearDown() override {
        ShutdownDisplay();
        ResetScene();
        std::remove(galaxy.c_str());
    }
    const std::string galaxy = WriteSpiralGalaxy(4000);
};

// After start-up every star carries the tag it was loaded with, found by its position.
TEST_F(ColourFrames, TagsFollowTheirStarsThroughTheGrouping) {
    LoadGalaxy(StarArray.data(), StarTag.data(), galaxy.c_str(), MaxStars, 1);
    std::map<std::array<double, 3>, uint8_t> loaded;
    for (int32_t slot = 0; slot < 4000; ++slot) {
        const Star& star = StarArray[size_t(slot)];
        ASSERT_TRUE(
            loaded.emplace(std::array{star.x, star.y, star.z}, StarTag[size_t(slot)]).second);
    }
    const auto loadedOrder = StarArray;
    SortStarsByCell();
    for (int32_t slot = 0; slot < MaxStars; ++slot) {
        const Star& star = StarArray[size_t(slot)];
        const auto found = loaded.find(std::array{star.x, star.y, star.z});
        ASSERT_EQ(StarTag[size_t(slot)], found == loaded.end() ? 0 : found->second) << slot;
    }
    EXPECT_NE(std::memcmp(&loadedOrder, &StarArray, sizeof StarArray), 0);  // stars did move
}

// A clock that stands still: the rate stays 0.0, so a frame's text can be drawn twice.
TimeStamp StoppedClock() {
    return TimeStamp{1, 0};
}

bool IsCheckedFrame(int frame) {
    return frame == 1 || frame == 2070 || frame % 1000 == 0 || frame == OrbitFrames;
}

// A picture of the display as 0x00RRGGBB words.
std::vector<uint32_t> Picture(const uint8_t* pixels) {
    std::vector<uint32_t> picture(size_t{ScreenWidth} * ScreenHeight);
    for (int32_t row = 0; row < ScreenHeight; ++row) {
        std::memcpy(&picture[size_t(row) * ScreenWidth], pixels + row * MemoryPitch(),
                    ScreenWidth * 4);
    }
    return picture;
}

// The class of the star each pixel shows, the last one plotted there, from the cache's state.
std::vector<uint32_t> ClassOfEachPixel() {
    std::vector<uint32_t> tags(size_t{ScreenWidth} * ScreenHeight, NoStar);
    for (size_t cell = 0; cell < size_t(CellCount); ++cell) {
        for (int32_t star = CellTable[cell].FirstStar; star < CellTable[cell].EndStar; ++star) {
            const ProjectedStar& at = ProjectedStarArray[size_t(star)];
            const double column = (ProjectedCentre[cell].x + at.x) + 400.0;
            const double row = (ProjectedCentre[cell].y + at.y) + 300.0;
            if (at.depth > 0.0 && column > -1.0 && column < 800.0 && row > -1.0 && row < 600.0) {
                tags[size_t(row) * ScreenWidth + size_t(column)] = StarTag[size_t(star)];
            }
        }
    }
    return tags;
}

// Each checked frame of the orbit in colour against the same frame in grey: every pixel has
// the grey level as its largest channel, in its star's class colour; class 0 and the pixels of
// the frame-rate text (the only ones not grey in the grey frame) are exactly as in grey.
TEST_F(ColourFrames, ColourFramesDifferFromGreyOnlyInHue) {
    SetFrameRateClock(StoppedClock);
    SetStarColours(true);
    ASSERT_TRUE(InitScene(galaxy.c_str()));
    int64_t hued = 0, text = 0;
    for (int frame = 1; frame <= OrbitFrames; ++frame) {
        if (!IsCheckedFrame(frame)) {  // the frame's cache update and camera step, undrawn
            MarkCells();
            ReprojectCells();
            StepCamera();
            continue;
        }
        RenderFrame();
        const std::vector<uint32_t> colour = Picture(MemoryFrontPixels()),
                                    tags = ClassOfEachPixel();
        SetStarColours(false);  // the same frame again in grey, into the back buffer
        ClearAndPlot();
        DrawFrameRate();
        SetStarColours(true);
        const std::vector<uint32_t> grey = Picture(MemoryBackPixels());
        for (size_t pixel = 0; pixel < colour.size(); ++pixel) {
            const uint32_t was = grey[pixel], is = colour[pixel], level = was & 0xFF;
            const uint32_t tag = tags[pixel] == NoStar ? 0 : tags[pixel];
            const StarColour hue = StarPalette[tag];
            const bool isText = was != level * 0x010101;
            const uint32_t expected = isText ? was
                                             : Shaded(hue.red, level) << 16 |
                                                   Shaded(hue.green, level) << 8 |
                                                   Shaded(hue.blue, level);
            const uint32_t largest = std::max({is >> 16, is >> 8 & 0xFF, is & 0xFF});
            text += isText;
            hued += is != was;
            ASSERT_TRUE(is == expected && (isText || largest == level) && (tag != 0 || is == was))
                << "frame " << frame << ", column " << pixel % ScreenWidth << ", row "
                << pixel / ScreenWidth << ": class " << tag << ", grey " << std::hex << was
                << ", colour " << is << ", expected " << expected;
        }
    }
    EXPECT_GT(text, 0);
    EXPECT_GT(hued, 1000);
}

// Runs a program with no display in reach; returns its exit code, and what it wrote.
int RunWithoutDisplay(const std::string& command, std::string& out, std::string& err) {
    const std::string outPath = testing::TempDir() + "colour-out.txt";
    const std::string errPath = testing::TempDir() + "colour-err.txt";
    const int status = std::system(("env -u SDL_VIDEODRIVER -u DISPLAY -u WAYLAND_DISPLAY " +
                                    command + " >" + outPath + " 2>" + errPath)
                                       .c_str());
    const auto read = [](const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    };
    out = read(outPath);
    err = read(errPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ColourViewer, HelpAndVersionNeedNoDisplayAndBadOptionsExitTwo) {
    std::string out, err;
    EXPECT_EQ(RunWithoutDisplay(GALAXY_VIEWER " --help", out, err), 0) << err;
    EXPECT_NE(out.find("--colour"), std::string::npos) << out;
    EXPECT_EQ(RunWithoutDisplay(GALAXY_VIEWER " --version", out, err), 0) << err;
    const std::string prefix = "galaxy-viewer ";
    EXPECT_TRUE(out.starts_with(prefix) && out.size() > prefix.size() + 1 && out.back() == '\n' &&
                out.find_first_not_of("0123456789.", prefix.size()) == out.size() - 1)
        << out;
    for (const char* bad : {" --frobnicate", " galaxy.dat", " --colour --colour=x"}) {
        EXPECT_EQ(RunWithoutDisplay(GALAXY_VIEWER + std::string(bad), out, err), 2) << bad;
        EXPECT_TRUE(out.empty() && err.find("Usage:") != std::string::npos) << bad << ": " << err;
    }
}

TEST(ColourRenderTool, ColourWritesPicturesThatDifferFromGrey) {
    const std::string folder = testing::TempDir() + "colour-render";
    std::string out, err, pictures[2];
    for (const std::string option : {"", " --colour"}) {
        const std::string command =
            GALAXY_RENDER " " GALAXY_SOURCE_DIR "/tests/data/render-galaxy.dat --frames 1 --out " +
            folder + option;
        ASSERT_EQ(RunWithoutDisplay(command, out, err), 0) << err;
        std::ostringstream bytes;
        bytes << std::ifstream(folder + "/frame-000001.png", std::ios::binary).rdbuf();
        pictures[option.empty() ? 0 : 1] = bytes.str();
    }
    std::filesystem::remove_all(folder);
    EXPECT_GT(pictures[1].size(), 1000u);
    EXPECT_NE(pictures[0], pictures[1]);
}

}  // namespace
