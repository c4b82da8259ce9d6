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
#include <vector>

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

// Runs galaxy-render with the arguments (already quoted) after the shell's environment settings,
// capturing both output streams.
ToolResult RunTool(const std::string& arguments, const fs::path& scratch,
                   const std::string& environment = "") {
    fs::create_directories(scratch);
    const fs::path out = scratch / "stdout.txt";
    const fs::path err = scratch / "stderr.txt";
    const std::string command = environment + " '" + GALAXY_RENDER + "' " + arguments + " >'" +
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

// The golden frames and statistics; then one frame alone, which must come out byte for byte as
// it did among the others (the run is deterministic and frames do not depend on being saved).
TEST(RenderTool, FramesMatchTheGoldenPicturesAndStatistics) {
    const fs::path scratch = fs::current_path() / "render-tool-golden";
    fs::remove_all(scratch);
    const std::string galaxy = "'" + Galaxy.string() + "' --out '" + scratch.string();
    const ToolResult result = RunTool(galaxy + "/all' --stats --frames " + GoldenFrames, scratch);
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    for (int frame : GoldenFrameNumbers) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06d.png", frame);
        CheckAgainstGolden(scratch / "all" / name, name);
    }
    const fs::path goldenStats = GoldenDir / "render-stats.txt";
    if (UpdatingGolden()) {
        std::ofstream(goldenStats, std::ios::binary) << result.Out;
        return;
    }
    EXPECT_EQ(result.Out, ReadFile(goldenStats)) << "standard output differs from " << goldenStats;
    ASSERT_EQ(RunTool(galaxy + "/one' --frames 52", scratch).ExitCode, 0);
    const std::string alone = ReadFile(scratch / "one" / "frame-000052.png");
    EXPECT_FALSE(alone.empty());
    EXPECT_EQ(alone, ReadFile(scratch / "all" / "frame-000052.png"));
}

// A missing galaxy is drawn with every star at the origin, as the viewer would, after a warning.
TEST(RenderTool, UnreadableGalaxyIsReportedButDrawn) {
    const fs::path scratch = fs::current_path() / "render-tool-missing";
    fs::remove_all(scratch);
    const fs::path out = scratch / "deep" / "er";
    const ToolResult result = RunTool(
        "/nonexistent/galaxy.dat --frames 3,2-3 --stats --out '" + out.string() + "'", scratch);
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Out.find("frame 2: cells "), result.Out.rfind("frame 2: cells "));
    EXPECT_NE(result.Err.find("cannot read /nonexistent/galaxy.dat"), std::string::npos);
    EXPECT_TRUE(fs::exists(out / "frame-000002.png") && fs::exists(out / "frame-000003.png"));
    EXPECT_NE(result.Out.find("frame 3: cells "), std::string::npos);
}

// Each bad command line ends with its exit code and a message naming the fault; --help lists
// every option and succeeds.
TEST(RenderTool, CommandLineErrorsAndHelp) {
    const fs::path scratch = fs::current_path() / "render-tool-errors";
    const std::string galaxy = "'" + Galaxy.string() + "' ";
    const std::string out = " --out '" + (scratch / "frames").string() + "'";
    const struct {
        std::string Arguments;
        int ExitCode;
        std::vector<std::string> Messages;
    } cases[] = {
        {galaxy + "--frames 0" + out, 2, {"bad frame \"0\""}},
        {galaxy + "--frames 9-3" + out, 2, {"runs backwards"}},
        {galaxy + "--frames 1,,2" + out, 2, {"empty entry"}},
        {galaxy + "--frames x" + out, 2, {"bad frame \"x\""}},
        {galaxy + "--frames 1-100000000" + out, 2, {"99999999"}},
        {galaxy + out, 106, {"--frames"}},
        {galaxy + "--frames 1", 2, {"give --out FOLDER, --video FILE or both"}},
        {galaxy + "--frames 1 --video movie.avi", 2, {"must be a .mp4 or .webm file"}},
        {galaxy + "--frames 1 --out /dev/null/sub", 1, {"cannot make folder"}},
        {"--help", 0, {"FILE", "--frames", "--out", "--video", "--stats"}},
    };
    for (const auto& [arguments, exitCode, messages] : cases) {
        const ToolResult result = RunTool(arguments, scratch);
        EXPECT_EQ(result.ExitCode, exitCode) << arguments;
        for (const std::string& message : messages) {
            EXPECT_NE((result.Err + result.Out).find(message), std::string::npos)
                << arguments << "\n"
                << result.Err;
        }
    }
    EXPECT_FALSE(fs::exists(scratch / "frames" / "frame-000001.png"));
}

// Movies: a missing ffmpeg stops the run before it draws; with ffmpeg each container gets every
// saved frame at 800 x 600, beside the pictures; a failing ffmpeg makes the run fail.
TEST(RenderTool, MoviesThroughFfmpeg) {
    const fs::path scratch = fs::current_path() / "render-tool-movie";
    fs::remove_all(scratch);
    const std::string frames = "'" + Galaxy.string() + "' --frames 1-30 --out '" +
                               (scratch / "frames").string() + "' --video ";
    const ToolResult missing =
        RunTool(frames + "'" + (scratch / "a.mp4").string() + "'", scratch, "PATH=/nonexistent");
    EXPECT_EQ(missing.ExitCode, 1);
    EXPECT_NE(missing.Err.find("needs ffmpeg, which is not on the PATH"), std::string::npos)
        << missing.Err;
    EXPECT_FALSE(fs::exists(scratch / "frames" / "frame-000001.png"));
    if (std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    for (const char* name : {"movie.mp4", "movie.webm"}) {
        const fs::path movie = scratch / name;
        const ToolResult made = RunTool(frames + "'" + movie.string() + "'", scratch);
        ASSERT_EQ(made.ExitCode, 0) << made.Err;
        EXPECT_TRUE(fs::exists(scratch / "frames" / "frame-000030.png"));
        const fs::path probe = scratch / "probe.txt";
        const std::string command =
            "ffprobe -v error -count_frames -select_streams v "
            "-show_entries stream=width,height,nb_read_frames -of csv=p=0 '" +
            movie.string() + "' >'" + probe.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << name;
        EXPECT_EQ(ReadFile(probe), "800,600,30\n") << name;
    }
    const ToolResult failed = RunTool(frames + "/nonexistent/movie.mp4", scratch);
    EXPECT_EQ(failed.ExitCode, 1);
    EXPECT_NE(failed.Err.find("ffmpeg failed to make /nonexistent/movie.mp4"), std::string::npos)
        << failed.Err;
}

}  // namespace
