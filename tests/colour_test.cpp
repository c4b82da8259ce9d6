// colour_test.cpp: star colours: the palette's shading, colour frames against grey ones over an
// orbit, tags that follow their stars through the grouping, and --colour in both programs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

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

using Picture = std::vector<uint32_t>;  // 0x00RRGGBB words, row after row

// Palette channel x level / 255 to the nearest whole number, in real numbers.
uint32_t Shaded(uint8_t channel, uint32_t level) {
    return static_cast<uint32_t>(std::lround(channel * static_cast<double>(level) / 255.0));
}

TEST(Colour, PaletteIsFullBrightnessFromBlueToRedAndShadesByExactRounding) {
    for (size_t c = 0; c < 256; ++c) {
        const StarColour& hue = StarPalette[c];
        EXPECT_EQ(std::max({hue.red, hue.green, hue.blue}), 255) << c;
        EXPECT_TRUE(c != 0 || std::min({hue.red, hue.green, hue.blue}) == 255);
        EXPECT_TRUE(c < 2 ||
                    (hue.red >= StarPalette[c - 1].red && hue.blue <= StarPalette[c - 1].blue))
            << c;                                         // ever redder
        for (uint32_t level = 0; level < 256; ++level) {  // c as a channel value
            ASSERT_EQ(ShadeChannel(uint8_t(c), uint8_t(level)), Shaded(uint8_t(c), level)) << c;
        }
    }
    EXPECT_TRUE(StarPalette[1].red < 200 && StarPalette[255].blue < 100);
}

// Many stars share each position, so only the tags show where each one went.
TEST(Colour, FastGroupingMovesTagsAsThePlainGather) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 6; ++round) {
        ResetStars();
        for (int32_t slot = 0; slot < MaxStars - round * 3000; ++slot) {
            const auto cell = static_cast<double>(rng() % (1 + uint64_t(round) * 60)) - round * 9;
            StarArray[size_t(slot)] = Star{cell * 1e5 + 5.0, (slot % 3) * 1e5, 0.0};
            StarTag[size_t(slot)] = static_cast<uint8_t>(rng());
        }
        const std::vector<Star> stars(StarArray.begin(), StarArray.end());
        const std::vector<uint8_t> tags(StarTag.begin(), StarTag.end());
        GatherStarsByCell();
        const std::vector<uint8_t> plainTags(StarTag.begin(), StarTag.end());
        std::copy(stars.begin(), stars.end(), StarArray.begin());
        std::copy(tags.begin(), tags.end(), StarTag.begin());
        ASSERT_TRUE(SortStarsByCell());
        ASSERT_TRUE(std::equal(StarTag.begin(), StarTag.end(), plainTags.begin())) << "round " << round;
    }
    ResetStars();
}

// 4000 stars at distinct places on a spiral, every seventh of class 0.
std::string WriteSpiralGalaxy() {
    const std::string path = testing::TempDir() + "colour-spiral-" + std::to_string(getpid());
    std::ofstream file(path);
    file << "#colour test spiral\n" << std::fixed;
    for (int star = 0; star < 4000; ++star) {
        const double radius = 8.0 * std::sqrt((star + 0.5) / 4000), angle = star * 2.39996323;
        file << radius * std::cos(angle) << ' ' << radius * std::sin(angle) << ' '
             << 0.004 * (star * 7 % 100 - 50) << ' ' << (star % 7 == 0 ? 0 : star * 37 % 255 + 1)
             << '\n';
    }
    return path;
}

Picture Capture(const uint8_t* pixels) {
    Picture picture(size_t{ScreenWidth} * ScreenHeight);
    for (size_t row = 0; row < size_t{ScreenHeight}; ++row) {
        std::memcpy(&picture[row * ScreenWidth], pixels + row * size_t(MemoryPitch()),
                    ScreenWidth * 4);
    }
    return picture;
}

// The class of the star each pixel shows (the last plotted there; 0 where none), plotted plainly.
Picture ClassOfEachPixel() {
    Picture tags(size_t{ScreenWidth} * ScreenHeight, 0);
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

// After start-up each star has the tag it was loaded with, found by its position. Then over the
// orbit, each checked frame in colour against the same frame plotted again in grey: every pixel
// is its star's class colour with the grey level as its largest channel; class 0 and the
// frame-rate text (the only pixels not grey in grey) are exactly as in grey.
TEST(ColourFrames, TagsFollowTheirStarsAndColourFramesDifferFromGreyOnlyInHue) {
    const std::string galaxy = WriteSpiralGalaxy();
    ResetScene();
    LoadGalaxy(StarArray.data(), StarTag.data(), galaxy.c_str(), MaxStars, 1);
    std::map<std::array<double, 3>, uint8_t> loaded;
    for (size_t slot = 0; slot < 4000; ++slot) {
        const Star& star = StarArray[slot];
        ASSERT_TRUE(loaded.emplace(std::array{star.x, star.y, star.z}, StarTag[slot]).second);
    }
    ResetStars();
    ASSERT_EQ(InitDisplay(nullptr, ScreenWidth, ScreenHeight, ScreenBits), DisplayOk);
    SetFrameRateClock([] { return TimeStamp{1, 0}; });  // a rate of 0.0: text drawable twice
    SetStarColours(true);
    ASSERT_TRUE(InitScene(galaxy.c_str()));
    for (size_t slot = 0; slot < MaxStars; ++slot) {
        const auto found = loaded.find({StarArray[slot].x, StarArray[slot].y, StarArray[slot].z});
        ASSERT_EQ(StarTag[slot], found == loaded.end() ? 0 : found->second) << slot;
    }
    int64_t hued = 0, text = 0;
    for (int frame = 1; frame <= 12567; ++frame) {  // the whole circle, 0.0005 radians a step
        if (frame != 1 && frame != 2070 && frame % 1000 != 0 && frame != 12567) {
            MarkCells();  // the frame's cache update and camera step, not drawn
            ReprojectCells();
            StepCamera();
            continue;
        }
        RenderFrame();
        const Picture colour = Capture(MemoryFrontPixels()), tags = ClassOfEachPixel();
        SetStarColours(false);
        ClearAndPlot();
        DrawFrameRate();
        SetStarColours(true);
        const Picture grey = Capture(MemoryBackPixels());
        for (size_t pixel = 0; pixel < colour.size(); ++pixel) {
            const uint32_t was = grey[pixel], is = colour[pixel], level = was & 0xFF;
            const StarColour hue = StarPalette[tags[pixel]];
            const bool isText = was != level * 0x010101;
            const uint32_t expected = isText ? was
                                             : Shaded(hue.red, level) << 16 |
                                                   Shaded(hue.green, level) << 8 |
                                                   Shaded(hue.blue, level);
            text += isText;
            hued += is != was;
            ASSERT_TRUE(is == expected &&
                        (isText || std::max({is >> 16, is >> 8 & 0xFF, is & 0xFF}) == level) &&
                        (tags[pixel] != 0 || is == was))
                << "frame " << frame << ", pixel " << pixel << ": class " << tags[pixel]
                << ", grey " << std::hex << was << ", colour " << is;
        }
    }
    EXPECT_TRUE(text > 0 && hued > 1000) << text << " text pixels, " << hued << " hued";
    ShutdownDisplay();
    ResetScene();
    std::remove(galaxy.c_str());
}

// Runs a command with no display in reach; returns its exit code and what it wrote.
int RunWithoutDisplay(const std::string& command, std::string& out, std::string& err) {
    // ctest runs each case as a process of its own, side by side: the names must differ.
    const std::string to = testing::TempDir() + "colour-" + std::to_string(getpid()) + "-";
    const int status = std::system(("env -u SDL_VIDEODRIVER -u DISPLAY -u WAYLAND_DISPLAY " +
                                    command + " >" + to + "out 2>" + to + "err")
                                       .c_str());
    std::ostringstream outText, errText;
    outText << std::ifstream(to + "out").rdbuf();
    errText << std::ifstream(to + "err").rdbuf();
    out = outText.str();
    err = errText.str();
    std::remove((to + "out").c_str());
    std::remove((to + "err").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ColourViewer, HelpAndVersionNeedNoDisplayAndBadOptionsExitTwo) {
    std::string out, err;
    EXPECT_EQ(RunWithoutDisplay(GALAXY_VIEWER " --help", out, err), 0) << err;
    EXPECT_NE(out.find("--colour"), std::string::npos) << out;
    EXPECT_EQ(RunWithoutDisplay(GALAXY_VIEWER " --version", out, err), 0) << err;
    EXPECT_TRUE(out.starts_with("galaxy-viewer 1.") && out.ends_with("\n")) << out;
    for (const char* bad : {" --frobnicate", " a.dat b.dat", " --colour=x"}) {
        EXPECT_EQ(RunWithoutDisplay(GALAXY_VIEWER + std::string(bad), out, err), 2) << bad;
        EXPECT_TRUE(out.empty() && err.find("Usage:") != std::string::npos) << bad << ": " << err;
    }
}

TEST(ColourRenderTool, ColourWritesPicturesThatDifferFromGrey) {
    const std::string folder = testing::TempDir() + "colour-render-" + std::to_string(getpid());
    std::string out, err, pictures[2];
    for (int colour = 0; colour < 2; ++colour) {
        ASSERT_EQ(
            RunWithoutDisplay(GALAXY_RENDER " " GALAXY_SOURCE_DIR
                                            "/tests/data/render-galaxy.dat --frames 1 --out " +
                                  folder + (colour ? " --colour" : ""),
                              out, err),
            0)
            << err;
        std::ostringstream bytes;
        bytes << std::ifstream(folder + "/frame-000001.png", std::ios::binary).rdbuf();
        pictures[colour] = bytes.str();
    }
    std::filesystem::remove_all(folder);
    EXPECT_TRUE(pictures[1].size() > 1000 && pictures[0] != pictures[1]);
}

}  // namespace
