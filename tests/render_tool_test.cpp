// render_tool_test.cpp: galaxy-render end to end: golden pictures, statistics and its errors.
//
// The golden pictures in tests/golden/ are the frames of tests/data/render-galaxy.dat. After a
// deliberate change to what the viewer draws, regenerate them with
//     GALAXY_UPDATE_GOLDEN=1 ctest --test-dir build/test -R RenderTool
// and look at the new pictures before committing them.
#include <SDL.h>
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const fs::path SourceDir = GALAXY_SOURCE_DIR;
const fs::path GoldenDir = SourceDir / "tests" / "golden";
const fs::path Galaxy = SourceDir / "tests" / "data" / "render-galaxy.dat";
constexpr const char* GoldenFrames = "1,51,52,300,800,1500,2070";
constexpr int GoldenFrameNumbers[] = {1, 51, 52, 300, 800, 1500, 2070};

struct ToolResult {
    int ExitCode;
    std::string Out;
    std::string Err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

// Runs galaxy-render with the arguments (already quoted), capturing both output streams.
ToolResult RunTool(const std::string& arguments, const fs::path& scratch) {
    fs::create_directories(scratch);
    const fs::path out = scratch / "stdout.txt";
    const fs::path err = scratch / "stderr.txt";
    const std::string command = std::string("'") + GALAXY_RENDER + "' " + arguments + " >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    return ToolResult{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
}

bool UpdatingGolden() {
    const char* update = std::getenv("GALAXY_UPDATE_GOLDEN");
    return update != nullptr && std::string(update) == "1";
}

using Picture = std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)>;

// A picture as RGB24, or null.
Picture LoadRgb(const fs::path& path) {
    const Picture loaded(IMG_Load(path.c_str()), SDL_FreeSurface);
    if (loaded == nullptr) {
        return Picture(nullptr, SDL_FreeSurface);
    }
    return Picture(SDL_ConvertSurfaceFormat(loaded.get(), SDL_PIXELFORMAT_RGB24, 0),
                   SDL_FreeSurface);
}

// Counts the pixels that differ; writes a picture with them in red over the dimmed actual one.
int CompareAndMarkDifferences(SDL_Surface* actual, SDL_Surface* golden, const fs::path& diff) {
    int differing = 0;
    for (int row = 0; row < actual->h; ++row) {
        auto* a = static_cast<uint8_t*>(actual->pixels) + row * actual->pitch;
        const auto* g = static_cast<const uint8_t*>(golden->pixels) + row * golden->pitch;
        for (int column = 0; column < actual->w * 3; column += 3) {
            const bool same = a[column] == g[column] && a[column + 1] == g[column + 1] &&
                              a[column + 2] == g[column + 2];
            differing += same ? 0 : 1;
            const uint8_t marked[3] = {255, 0, 0};
            for (int channel = 0; channel < 3; ++channel) {
                uint8_t& value = a[column + channel];
                value = same ? static_cast<uint8_t>(value / 4) : marked[channel];
            }
        }
    }
    if (differing > 0) {
        IMG_SavePNG(actual, diff.c_str());
    }
    return differing;
}

// Checks one written frame against its golden picture, or makes it the golden picture.
void CheckAgainstGolden(const fs::path& actualPath, const std::string& name) {
    const fs::path goldenPath = GoldenDir / ("render-" + name);
    if (UpdatingGolden()) {
        fs::copy_file(actualPath, goldenPath, fs::copy_options::overwrite_existing);
        std::printf("updated %s\n", goldenPath.c_str());
        return;
    }
    const Picture actual = LoadRgb(actualPath);
    const Picture golden = LoadRgb(goldenPath);
    ASSERT_NE(actual, nullptr) << actualPath << ": " << IMG_GetError();
    ASSERT_NE(golden, nullptr) << "no golden picture " << goldenPath
                               << "; make it with GALAXY_UPDATE_GOLDEN=1";
    ASSERT_EQ(actual->w, 800);
    ASSERT_EQ(actual->h, 600);
    const fs::path diffPath = fs::path(actualPath).replace_extension(".diff.png");
    const int differing = CompareAndMarkDifferences(actual.get(), golden.get(), diffPath);
    EXPECT_EQ(differing, 0) << name << " differs from its golden picture in " << differing
                            << " pixels\n  actual: " << actualPath << "\n  golden: " << goldenPath
                            << "\n  diff:   " << diffPath << " (differences in red)";
}

TEST(RenderTool, FramesMatchTheGoldenPicturesAndStatistics) {
    const fs::path scratch = fs::current_path() / "render-tool-golden";
    fs::remove_all(scratch);
    const ToolResult result = RunTool("'" + Galaxy.string() + "' --frames " + GoldenFrames +
                                          " --stats --out '" + (scratch / "frames").string() + "'",
                                      scratch);
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    for (int frame : GoldenFrameNumbers) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06d.png", frame);
        CheckAgainstGolden(scratch / "frames" / name, name);
    }
    const fs::path goldenStats = GoldenDir / "render-stats.txt";
    if (UpdatingGolden()) {
        std::ofstream(goldenStats, std::ios::binary) << result.Out;
    } else {
        EXPECT_EQ(result.Out, ReadFile(goldenStats))
            << "standard output differs from " << goldenStats;
    }
}

TEST(RenderTool, SameCommandWritesTheSameFiles) {
    const fs::path scratch = fs::current_path() / "render-tool-repeat";
    fs::remove_all(scratch);
    const std::string arguments = "'" + Galaxy.string() + "' --frames 53 --out '";
    ASSERT_EQ(RunTool(arguments + (scratch / "a").string() + "'", scratch).ExitCode, 0);
    ASSERT_EQ(RunTool(arguments + (scratch / "b").string() + "'", scratch).ExitCode, 0);
    const std::string first = ReadFile(scratch / "a" / "frame-000053.png");
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, ReadFile(scratch / "b" / "frame-000053.png"));
}

TEST(RenderTool, UnreadableGalaxyIsReportedButDrawn) {
    const fs::path scratch = fs::current_path() / "render-tool-missing";
    fs::remove_all(scratch);
    const ToolResult result = RunTool("/nonexistent/galaxy.dat --frames 2-3 --out '" +
                                          (scratch / "deep" / "er").string() + "' --stats",
                                      scratch);
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_NE(result.Err.find("cannot read /nonexistent/galaxy.dat"), std::string::npos);
    EXPECT_TRUE(fs::exists(scratch / "deep" / "er" / "frame-000002.png"));
    EXPECT_TRUE(fs::exists(scratch / "deep" / "er" / "frame-000003.png"));
    EXPECT_NE(result.Out.find("frame 3: cells "), std::string::npos);
}

TEST(RenderTool, BadArgumentsEndWithAMessage) {
    const fs::path scratch = fs::current_path() / "render-tool-errors";
    const std::string galaxy = "'" + Galaxy.string() + "' ";
    const std::string out = " --out '" + (scratch / "frames").string() + "'";
    const std::pair<std::string, std::string> cases[] = {
        {galaxy + "--frames 0" + out, "bad frame \"0\""},
        {galaxy + "--frames 9-3" + out, "runs backwards"},
        {galaxy + "--frames 1,,2" + out, "empty entry"},
        {galaxy + "--frames x" + out, "bad frame \"x\""},
        {galaxy + "--frames 1000000" + out, "999999"},
        {galaxy + out, "--frames"},
        {galaxy + "--frames 1", "--out"},
        {galaxy + "--frames 1 --out /dev/null/sub", "cannot make folder"},
    };
    for (const auto& [arguments, message] : cases) {
        const ToolResult result = RunTool(arguments, scratch);
        EXPECT_NE(result.ExitCode, 0) << arguments;
        EXPECT_NE(result.Err.find(message), std::string::npos) << arguments << "\n" << result.Err;
    }
    EXPECT_FALSE(fs::exists(scratch / "frames" / "frame-000001.png"));
}

TEST(RenderTool, HelpNamesEveryOption) {
    const ToolResult result = RunTool("--help", fs::current_path() / "render-tool-help");
    EXPECT_EQ(result.ExitCode, 0);
    for (const char* option : {"FILE", "--frames", "--out", "--stats"}) {
        EXPECT_NE(result.Out.find(option), std::string::npos) << option;
    }
}

}  // namespace
