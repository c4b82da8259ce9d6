// programs_test.cpp: the programs end to end: every way galaxy-viewer ends, headless and in a
// real X window under Xvfb; quit signals during an endless start-up and between frames;
// galaxy-generate's galaxy; galaxy-render's golden pictures, statistics, capacity, threads and
// movies; every command line's errors.
// The golden pictures are frames of tests/data/render-galaxy.dat; after a deliberate change to
// what is drawn, remake them with GALAXY_UPDATE_GOLDEN=1 ctest -R RenderTool, and look at them.
#include <SDL.h>
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "display/display.h"
#include "tests/loader_test.h"
#include "view/flight.h"

namespace {

namespace fs = std::filesystem;

const fs::path SourceDir = GALAXY_SOURCE_DIR;
const fs::path GoldenDir = SourceDir / "tests" / "golden";
// Out of order and overlapping: each frame must still be drawn and reported once, in order.
constexpr const char* GoldenFrameList = "2070,1,51-52,52,300,800,1500";
constexpr int GoldenFrames[] = {1, 51, 52, 300, 800, 1500, 2070};

std::string Quoted(const fs::path& path) {
    std::string quoted = "'";
    quoted += path.string();
    return quoted += "' ";
}

const std::string Render =
    Quoted(GALAXY_RENDER) + Quoted(SourceDir / "tests" / "data" / "render-galaxy.dat");

struct ProgramResult {
    int ExitCode;
    std::string Out, Err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

// Runs a shell command line, keeping both output streams in scratch, which it makes.
ProgramResult RunProgram(const std::string& command, const fs::path& scratch) {
    fs::create_directories(scratch);
    const std::string out = Quoted(scratch / "out"), err = Quoted(scratch / "err");
    const int status = std::system(("{ " + command + "; } >" + out + "2>" + err).c_str());
    return ProgramResult{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(scratch / "out"),
                         ReadFile(scratch / "err")};
}

const bool UpdatingGolden = std::getenv("GALAXY_UPDATE_GOLDEN") != nullptr &&
                            std::string(std::getenv("GALAXY_UPDATE_GOLDEN")) == "1";

using Picture = std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)>;

// A picture as RGB24, or null.
Picture LoadRgb(const fs::path& path) {
    const Picture loaded(IMG_Load(path.c_str()), SDL_FreeSurface);
    return Picture(
        loaded ? SDL_ConvertSurfaceFormat(loaded.get(), SDL_PIXELFORMAT_RGB24, 0) : nullptr,
        SDL_FreeSurface);
}

// Checks one written frame against its golden picture, or makes it the golden picture. On a
// difference, writes the frame dimmed with the differing pixels in red beside it.
void CheckAgainstGolden(const fs::path& actualPath, const std::string& name) {
    const fs::path goldenPath = GoldenDir / ("render-" + name);
    if (UpdatingGolden) {
        fs::copy_file(actualPath, goldenPath, fs::copy_options::overwrite_existing);
        std::printf("updated %s\n", goldenPath.c_str());
        return;
    }
    const Picture actual = LoadRgb(actualPath);
    const Picture golden = LoadRgb(goldenPath);
    ASSERT_NE(actual, nullptr) << actualPath << ": " << IMG_GetError();
    ASSERT_NE(golden, nullptr) << "no golden picture " << goldenPath
                               << "; make it with GALAXY_UPDATE_GOLDEN=1";
    ASSERT_TRUE(actual->w == ScreenWidth && actual->h == ScreenHeight && golden->w == ScreenWidth &&
                golden->h == ScreenHeight);
    int differing = 0;
    for (int row = 0; row < actual->h; ++row) {
        auto* a = static_cast<uint8_t*>(actual->pixels) + row * actual->pitch;
        const auto* g = static_cast<const uint8_t*>(golden->pixels) + row * golden->pitch;
        for (int pixel = 0; pixel < actual->w * 3; pixel += 3) {
            const bool same = std::memcmp(a + pixel, g + pixel, 3) == 0;
            differing += same ? 0 : 1;
            for (int channel = 0; channel < 3; ++channel) {
                const int dimmed = a[pixel + channel] / 4;
                a[pixel + channel] = static_cast<uint8_t>(same ? dimmed : channel == 0 ? 255 : 0);
            }
        }
    }
    const fs::path diffPath = fs::path(actualPath).replace_extension(".diff.png");
    if (differing > 0) {
        IMG_SavePNG(actual.get(), diffPath.c_str());
    }
    EXPECT_EQ(differing, 0) << name << " differs from its golden picture in " << differing
                            << " pixels\n  actual: " << actualPath << "\n  golden: " << goldenPath
                            << "\n  diff:   " << diffPath << " (differences in red)";
}

// The golden frames and statistics; then one frame alone, at the default capacity named, which
// must come out byte for byte as it did among the others, with the same output (the run is
// deterministic, frames do not depend on being saved, and naming the default changes nothing).
TEST(RenderTool, FramesMatchTheGoldenPicturesAndStatistics) {
    const fs::path scratch = fs::current_path() / "render-tool-golden";
    fs::remove_all(scratch);
    const ProgramResult result = RunProgram(
        Render + "--stats --frames " + GoldenFrameList + " --out " + Quoted(scratch / "all"),
        scratch);
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    for (int frame : GoldenFrames) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06d.png", frame);
        CheckAgainstGolden(scratch / "all" / name, name);
    }
    const fs::path goldenStats = GoldenDir / "render-stats.txt";
    if (UpdatingGolden) {
        std::ofstream(goldenStats, std::ios::binary) << result.Out;
        return;
    }
    EXPECT_EQ(result.Out, ReadFile(goldenStats)) << "standard output differs from " << goldenStats;
    const ProgramResult one = RunProgram(
        Render + "--stats --capacity 17225 --frames 52 --out " + Quoted(scratch / "one"), scratch);
    ASSERT_EQ(one.ExitCode, 0) << one.Err;
    EXPECT_EQ(ReadFile(scratch / "one" / "frame-000052.png"),
              ReadFile(scratch / "all" / "frame-000052.png"));
    const size_t first = result.Out.find("frame 1:"), line52 = result.Out.find("frame 52:");
    ASSERT_TRUE(first != std::string::npos && line52 != std::string::npos);
    EXPECT_EQ(one.Out, result.Out.substr(0, first) +
                           result.Out.substr(line52, result.Out.find('\n', line52) + 1 - line52));
}

// The first records of the render test galaxy, as a galaxy file of their own.
std::string FirstRecords(int records) {
    std::ifstream stream(SourceDir / "tests" / "data" / "render-galaxy.dat", std::ios::binary);
    std::string text, line;
    for (int lines = 0; lines < records + 2 && std::getline(stream, line); ++lines) {
        text += line + "\n";  // the two header lines, then records
    }
    return text;
}

// With N slots the first N-1 records are kept and the last slot is a star at the origin: eight
// records at --capacity 5 draw as the first four do at the default capacity (whose unfilled
// slots lie at the origin too), not as the first five; 'fit' keeps all eight, as the default
// does. Frame 450 sees the origin, frame 300 the fifth record.
TEST(RenderTool, CapacityKeepsTheFirstRecordsAndAStarAtTheOrigin) {
    const fs::path scratch = fs::current_path() / "render-tool-capacity";
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    for (int records : {4, 5, 8}) {
        std::ofstream(scratch / (std::to_string(records) + ".dat"), std::ios::binary)
            << FirstRecords(records);
    }
    int runs = 0;
    // Standard error and the two frames' files.
    const auto render = [&](const std::string& galaxy, const std::string& options) {
        const fs::path out = scratch / std::to_string(++runs);
        const ProgramResult run = RunProgram(Quoted(GALAXY_RENDER) + Quoted(scratch / galaxy) +
                                                 "--frames 300,450 --out " + Quoted(out) + options,
                                             scratch);
        EXPECT_EQ(run.ExitCode, 0) << galaxy << options << '\n' << run.Err;
        return std::make_pair(
            run.Err, ReadFile(out / "frame-000300.png") + ReadFile(out / "frame-000450.png"));
    };
    const auto [told, capacity5] = render("8.dat", " --capacity 5");
    EXPECT_NE(told.find("8.dat: 4 records not stored: 5 slots hold only 4 records"),
              std::string::npos)
        << told;
    EXPECT_EQ(capacity5, render("4.dat", "").second);
    EXPECT_NE(capacity5, render("5.dat", "").second);
    const auto [fitTold, fit] = render("8.dat", " --capacity fit");
    EXPECT_EQ(fitTold.find("not stored"), std::string::npos) << fitTold;
    EXPECT_EQ(fit, render("8.dat", "").second);
}

// A galaxy of 200000 stars, many of them sharing pixels, drawn with every record kept: the same
// pictures and statistics on one, two and three threads.
TEST(RenderTool, FramesAreTheSameOnAnyNumberOfThreads) {
    const fs::path scratch = fs::current_path() / "render-tool-threads";
    fs::remove_all(scratch);
    const fs::path galaxy = scratch / "galaxy.dat";
    ASSERT_EQ(
        RunProgram(Quoted(GALAXY_GENERATE) + "--stars 200000 --out " + Quoted(galaxy), scratch)
            .ExitCode,
        0);
    std::string firstOut, firstFrames;
    for (const char* threads : {"1", "2", "3"}) {
        const fs::path out = scratch / threads;
        const ProgramResult run = RunProgram(Quoted(GALAXY_RENDER) + Quoted(galaxy) +
                                                 "--capacity fit --stats --frames 1,60 --threads " +
                                                 threads + " --out " + Quoted(out),
                                             scratch);
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
        const std::string frames =
            ReadFile(out / "frame-000001.png") + ReadFile(out / "frame-000060.png");
        ASSERT_FALSE(ReadFile(out / "frame-000060.png").empty()) << threads;
        if (firstOut.empty()) {
            firstOut = run.Out;
            firstFrames = frames;
        }
        EXPECT_EQ(run.Out, firstOut) << threads << " threads";
        EXPECT_TRUE(frames == firstFrames) << threads << " threads draw other pictures";
    }
    EXPECT_NE(firstOut.find("drawn "), std::string::npos);
}

// A file large enough to be read in parts on two threads still loads whole when the file cannot
// be opened once more per part: with no descriptor to spare, it is read in one pass. So it needs
// no more descriptors than a small file, and draws the same picture as without the limit.
TEST(RenderTool, ALargeFileLoadsWithoutADescriptorToSpare) {
    const fs::path scratch = fs::current_path() / "render-tool-descriptors";
    fs::remove_all(scratch);
    const fs::path large = scratch / "large.dat", small = scratch / "small.dat";
    for (const auto& [path, stars] : {std::pair{large, "600000"}, std::pair{small, "1000"}}) {
        ASSERT_EQ(RunProgram(Quoted(GALAXY_GENERATE) + "--stars " + stars + " --out " +
                                 Quoted(path),
                             scratch)
                      .ExitCode,
                  0);
    }
    ASSERT_GT(fs::file_size(large), 1u << 20);  // read in parts, the small one in one pass
    ASSERT_LT(fs::file_size(small), 128u << 10);
    const auto render = [&](const fs::path& galaxy, const std::string& limit,
                             const std::string& out) {
        return RunProgram(limit + Quoted(GALAXY_RENDER) + Quoted(galaxy) +
                              "--capacity fit --threads 2 --frames 1 --out " +
                              Quoted(scratch / out),
                          scratch);
    };
    ASSERT_EQ(render(large, "", "free").ExitCode, 0);
    // The fewest descriptors with which the small file's run succeeds.
    int fewest = 4;
    while (fewest < 64 && render(small, "prlimit --nofile=" + std::to_string(fewest) + " ",
                                 "small-" + std::to_string(fewest))
                                  .ExitCode != 0) {
        ++fewest;
    }
    ASSERT_LT(fewest, 64);
    const ProgramResult limited =
        render(large, "prlimit --nofile=" + std::to_string(fewest) + " ", "limited");
    ASSERT_EQ(limited.ExitCode, 0) << limited.Err;
    EXPECT_EQ(limited.Err.find("cannot open"), std::string::npos) << limited.Err;
    EXPECT_TRUE(ReadFile(scratch / "limited" / "frame-000001.png") ==
                ReadFile(scratch / "free" / "frame-000001.png"));
}

// Each command line in turn ends with its exit code and messages. galaxy-render: a bad one
// before any frame is saved (no ffmpeg is on the PATH here), a bad capacity or thread count
// with the usage; --help lists every option; a galaxy file that cannot be read (missing, a
// folder) ends the run with 1 before anything is made. galaxy-viewer: a bad capacity or thread
// count, with the usage, and a named galaxy file that cannot be read, before any display is
// opened; a named pipe passes the check without being opened (which would wait for a writer).
// galaxy-generate: one seed, one file; a file is never overwritten without --force; bad arguments
// write nothing.
TEST(Tools, CommandLinesAndTheirMessages) {
    const fs::path scratch = fs::current_path() / "tool-command-lines";
    fs::remove_all(scratch);
    const std::string render = "PATH=/nonexistent " + Render;
    const std::string viewer = "SDL_VIDEODRIVER=nonexistent " + Quoted(GALAXY_VIEWER);
    const std::string out = " --out " + Quoted(scratch / "frames");
    const fs::path deep = scratch / "deep" / "er";
    const auto generate = [&scratch](const std::string& arguments, const char* file) {
        return Quoted(GALAXY_GENERATE) + arguments + " --out " + Quoted(scratch / file);
    };
    const struct {
        std::string Command;
        int ExitCode;
        std::vector<std::string> Messages;
    } cases[] = {
        {render + "--frames 0" + out, 2, {"bad frame \"0\""}},
        {render + "--frames 9-3" + out, 2, {"runs backwards"}},
        {render + "--frames 1,,2" + out, 2, {"empty entry"}},
        {render + "--frames x" + out, 2, {"bad frame \"x\""}},
        {render + "--frames 1-100000000" + out, 2, {"99999999"}},
        {render + out, 106, {"--frames"}},
        {render + "--frames 1", 2, {"give --out FOLDER, --video FILE or both"}},
        {render + "--frames 1 --video movie.avi", 2, {"must be a .mp4 or .webm file"}},
        {render + "--frames 1 --out /dev/null/sub", 1, {"cannot make folder"}},
        {render + "--frames 1 --video a.mp4" + out, 1, {"needs ffmpeg, which is not on the PATH"}},
        {render + "--frames 1 --capacity 0" + out, 2, {"'0' is neither 'fit' nor", "Usage:"}},
        {render + "--frames 1 --capacity abc" + out, 2, {"'abc' is neither", "Usage:"}},
        {render + "--frames 1 --capacity 2147483648" + out, 2, {"'2147483648' is neither"}},
        {render + "--frames 1 --threads 0" + out, 2, {"--threads: Value 0 not in range 1 to 256"}},
        {render + "--frames 1 --threads 257" + out, 2, {"--threads", "Usage:"}},
        {viewer + "--capacity 0", 2, {"'0' is neither 'fit' nor", "Usage:"}},
        {viewer + "--capacity abc", 2, {"'abc' is neither"}},
        {viewer + "--threads 0", 2, {"--threads: Value 0 not in range", "Usage:"}},
        {Quoted(GALAXY_RENDER) + "--help",
         0,
         {"FILE", "--frames", "--out", "--video", "--stats", "--capacity N|fit", "--threads"}},
        {viewer + "--help", 0, {"--colour", "--capacity N|fit", "--threads"}},
        {Quoted(GALAXY_RENDER) + "/nonexistent/galaxy.dat --frames 2-3 --stats --out " +
             Quoted(deep),
         1,
         {"galaxy-render: cannot read /nonexistent/galaxy.dat: No such file or directory"}},
        {Quoted(GALAXY_RENDER) + Quoted(scratch) + "--frames 1 --out " + Quoted(deep),
         1,
         {"it is a folder"}},
        {viewer + "/nonexistent/galaxy.dat",
         1,
         {"galaxy-viewer: cannot read /nonexistent/galaxy.dat: No such file or directory"}},
        {viewer + Quoted(scratch), 1, {"galaxy-viewer: cannot read", "it is a folder"}},
        {"mkfifo " + Quoted(scratch / "pipe") + "&& timeout 20 env " + viewer +
             Quoted(scratch / "pipe"),
         1,
         {"galaxy-viewer: cannot open the window"}},
        {viewer + "a.dat b.dat", 2, {"Usage:"}},
        {generate("--stars 300", "a"), 0, {}},
        {generate("--stars 300", "b"), 0, {}},
        {generate("--stars 300 --seed 7", "c"), 0, {}},
        {generate("--stars 5", "a"), 1, {"exists; use --force"}},
        {generate("--stars 5", "d"), 0, {}},
        {generate("--stars -1", "x"), 105, {"not in range"}},
        {generate("", "missing/galaxy.dat"), 1, {"No such file or directory"}},
        {generate("--stars 7 --force", "d"), 0, {}},
    };
    for (const auto& [command, exitCode, messages] : cases) {
        const ProgramResult result = RunProgram(command, scratch);
        EXPECT_EQ(result.ExitCode, exitCode) << command;
        for (const std::string& message : messages) {
            EXPECT_NE((result.Err + result.Out).find(message), std::string::npos)
                << command + "\n" + result.Err;
        }
    }
    EXPECT_FALSE(fs::exists(scratch / "frames" / "frame-000001.png"));
    EXPECT_FALSE(fs::exists(deep));  // nothing is made for a galaxy that cannot be read
    // Both programs tell the one version of the project, and nothing else.
    const ProgramResult renderVersion = RunProgram(Quoted(GALAXY_RENDER) + "--version", scratch);
    const ProgramResult viewerVersion = RunProgram(Quoted(GALAXY_VIEWER) + "--version", scratch);
    EXPECT_EQ(renderVersion.ExitCode, 0);
    EXPECT_EQ(viewerVersion.Out.rfind("galaxy-viewer ", 0), 0u) << viewerVersion.Out;
    EXPECT_EQ("galaxy-render" + viewerVersion.Out.substr(std::string("galaxy-viewer").size()),
              renderVersion.Out);
    // Idle threads sleep rather than spin unless the environment says otherwise; the thread
    // runtime shows the policy it read as it loaded.
    for (const std::string program : {GALAXY_RENDER, GALAXY_VIEWER}) {
        const std::string shown = "env -u OMP_WAIT_POLICY OMP_DISPLAY_ENV=true ";
        EXPECT_NE(RunProgram(shown + Quoted(program) + "--version", scratch)
                      .Err.find("OMP_WAIT_POLICY = 'PASSIVE'"),
                  std::string::npos)
            << program;
        EXPECT_NE(RunProgram(shown + "OMP_WAIT_POLICY=active " + Quoted(program) + "--version",
                             scratch)
                      .Err.find("OMP_WAIT_POLICY = 'ACTIVE'"),
                  std::string::npos)
            << program;
    }
    const std::string a = ReadFile(scratch / "a"), c = ReadFile(scratch / "c");
    EXPECT_EQ(a, ReadFile(scratch / "b"));
    EXPECT_NE(a.substr(a.find('\n')), c.substr(c.find('\n')));  // the header names the seed
    EXPECT_EQ(RunLoader(ReadFile(scratch / "d"), MaxStars, 1, false).passes, 7);
    EXPECT_FALSE(fs::exists(scratch / "x"));
}

// Movies: each container gets every saved frame at the screen's size, with the pictures made
// beside it in the same run; a failing ffmpeg makes the run fail.
TEST(RenderTool, MoviesThroughFfmpeg) {
    if (std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    const fs::path scratch = fs::current_path() / "render-tool-movie";
    const std::string frames =
        Render + "--frames 1-30 --out " + Quoted(scratch / "frames") + "--video ";
    const std::string probed =
        std::to_string(ScreenWidth) + "," + std::to_string(ScreenHeight) + ",30\n";
    for (const char* name : {"movie.mp4", "movie.webm"}) {
        fs::remove_all(scratch);
        const ProgramResult made = RunProgram(frames + Quoted(scratch / name), scratch);
        ASSERT_EQ(made.ExitCode, 0) << made.Err;
        EXPECT_TRUE(fs::exists(scratch / "frames" / "frame-000030.png"));
        const std::string command =
            "ffprobe -v error -count_frames -select_streams v -show_entries "
            "stream=width,height,nb_read_frames -of csv=p=0 " +
            Quoted(scratch / name) + ">" + Quoted(scratch / "probe.txt");
        ASSERT_EQ(std::system(command.c_str()), 0) << name;
        EXPECT_EQ(ReadFile(scratch / "probe.txt"), probed) << name;
    }
    const ProgramResult failed = RunProgram(frames + "/nonexistent/movie.mp4", scratch);
    EXPECT_EQ(failed.ExitCode, 1);
    EXPECT_NE(failed.Err.find("ffmpeg failed to make /nonexistent/movie.mp4"), std::string::npos)
        << failed.Err;
}

constexpr const char* TestGalaxyEcho = "Viewer test galaxy\n..";  // its header and two comments

// Runs galaxy-viewer with arguments to its end in folder, with SIGINT ignored at start (as a
// background job has it) and under env with settings ("NAME=value", "-u NAME", then any command
// to run it under); killed after a minute. Given a signal, sends it once the first frame is
// drawn.
ProgramResult RunViewerIn(const fs::path& folder, const std::string& settings,
                          const std::string& signal = "", const std::string& arguments = "") {
    std::string script = "cd " + Quoted(folder) + "|| exit 9; timeout -s KILL 60 sh -c ";
    script += "\"trap '' INT; exec env " + settings + " " GALAXY_VIEWER " " + arguments + "\" & ";
    if (!signal.empty()) {
        script +=
            "for i in $(seq 6000); do grep -qs 'first frame' err && break; sleep 0.01; done; ";
        script += "kill -" + signal + " $!; ";
    }
    return RunProgram(script + "wait $!", folder);
}

// A fresh working folder, with or without the test galaxy, removed with the test.
struct ViewerFolder {
    explicit ViewerFolder(bool withGalaxy) {
        std::string pattern = (fs::temp_directory_path() / "viewer-test-XXXXXX").string();
        Path = mkdtemp(pattern.data());
        if (withGalaxy) {
            fs::copy_file(GALAXY_SOURCE_DIR "/tests/data/viewer-galaxy.dat", Path / "galaxy.dat");
        }
    }
    ~ViewerFolder() { fs::remove_all(Path); }
    fs::path Path;
};

TEST(Viewer, EveryWayItEndsGivesItsExitCode) {
    const char* frames = "galaxy-viewer: first frame drawn\ngalaxy-viewer: ";
    const struct {
        bool WithGalaxy;
        std::string Settings;  // over SDL_VIDEODRIVER=dummy, which the test entry sets
        std::string Signal;
        int ExitCode;
        const char* Err;  // what standard error holds; a failure says it in one last line
        std::string Arguments = "";
    } cases[] = {
        {true, "GALAXY_VIEWER_FRAMES=5", "", 0,
         "galaxy-viewer: first frame drawn\ngalaxy-viewer: 5 frames drawn\n"},
        {false, "GALAXY_VIEWER_FRAMES=2", "", 0, "2 frames drawn\n"},
        {true, "GALAXY_VIEWER_FRAMES=0", "TERM", 0, frames},
        {true, "GALAXY_VIEWER_FRAMES=0", "INT", 0, frames},
        {true, "SDL_VIDEODRIVER=nonexistent", "", 1, "galaxy-viewer: cannot open the window: "},
        {true,
         "-u SDL_VIDEODRIVER -u DISPLAY -u WAYLAND_DISPLAY -u XDG_RUNTIME_DIR "
         "GALAXY_VIEWER_FRAMES=3",
         "", 1, "galaxy-viewer: cannot open the window: no display found"},
        {false, "GALAXY_VIEWER_FRAMES=lots", "", 2,
         "galaxy-viewer: GALAXY_VIEWER_FRAMES must be a count"},
        {true, "GALAXY_VIEWER_FRAMES=2", "", 0,
         "galaxy.dat: 1 record not stored: 3 slots hold only 2 records\n",
         "--capacity 3 --threads 1"},
        {true, "GALAXY_VIEWER_FRAMES=2", "", 0, "2 frames drawn\n", "--capacity fit --threads 3"},
    };
    for (const auto& test : cases) {
        ViewerFolder folder(test.WithGalaxy);
        const ProgramResult run =
            RunViewerIn(folder.Path, test.Settings, test.Signal, test.Arguments);
        EXPECT_EQ(run.ExitCode, test.ExitCode) << test.Settings << '\n' << run.Err;
        // The galaxy's echo comes only from a run that got as far as reading it.
        const bool read = test.WithGalaxy && test.ExitCode == 0;
        EXPECT_EQ(run.Out, read ? TestGalaxyEcho : "") << test.Settings;
        size_t said = run.Err.find(test.Err);
        ASSERT_NE(said, std::string::npos) << test.Settings << '\n' << run.Err;
        if (test.ExitCode != 0) {
            EXPECT_EQ(run.Err.find('\n', said), run.Err.size() - 1)
                << test.Settings << ": one line";
        }
    }
}

// The viewer in a real X window, on an 800 x 600 Xvfb screen of its own.
TEST(Viewer, DrawsInARealWindowAndEndsCleanly) {
    if (std::system("command -v xvfb-run >/dev/null") != 0) {
        GTEST_SKIP() << "xvfb-run is not installed";
    }
    ViewerFolder folder(true);
    // Mesa's GL driver, loaded for the renderer, keeps a few bytes and is unloaded at exit, so
    // LeakSanitizer can neither name nor suppress them; the headless runs keep the leak check.
    const ProgramResult run =
        RunViewerIn(folder.Path,
                    "SDL_VIDEODRIVER=x11 ASAN_OPTIONS=detect_leaks=0 GALAXY_VIEWER_FRAMES=30 "
                    "xvfb-run -a -s '-screen 0 800x600x24'");
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("galaxy-viewer: 30 frames drawn\n"), std::string::npos) << run.Err;
}

// On an X server without a window manager nobody grants full screen: the viewer's window must
// still cover the whole 1920 x 1080 screen (the picture scaled into it), not stay 800 x 600.
TEST(Viewer, FillsAScreenWithoutAWindowManager) {
    if (std::system("command -v xvfb-run >/dev/null && command -v xwininfo >/dev/null") != 0) {
        GTEST_SKIP() << "xvfb-run or xwininfo is not installed";
    }
    ViewerFolder folder(true);
    const std::string look =
        "sh -c 'SDL_VIDEODRIVER=x11 ASAN_OPTIONS=detect_leaks=0 GALAXY_VIEWER_FRAMES=0 "
        "\"$0\" 2>err & for i in $(seq 3000); do grep -qs \"first frame\" err && break; "
        "sleep 0.01; done; xwininfo -root -tree | grep Simulace; kill -TERM $!; wait $!' ";
    const ProgramResult run = RunProgram("cd " + Quoted(folder.Path) +
                                             "&& timeout -s KILL 60 xvfb-run -a -s '-screen 0 "
                                             "1920x1080x24' " +
                                             look + Quoted(GALAXY_VIEWER),
                                         folder.Path / "run");
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Out.find("1920x1080+0+0"), std::string::npos) << run.Out;
}

// A flight recorded by the viewer and replayed by galaxy-render, in folder; returns the
// replay's result. frames is how many the viewer draws, keys any SDL setting it runs under.
ProgramResult RecordAndReplay(const fs::path& folder, int frames, const std::string& replayed) {
    const std::string galaxy = Quoted(SourceDir / "tests" / "data" / "render-galaxy.dat");
    const ProgramResult recorded =
        RunViewerIn(folder, "GALAXY_VIEWER_FRAMES=" + std::to_string(frames), "",
                    galaxy + "--record flight.txt");
    EXPECT_EQ(recorded.ExitCode, 0) << recorded.Err;
    return RunProgram("cd " + Quoted(folder) + "&& " + Quoted(GALAXY_RENDER) + galaxy +
                          "--path flight.txt --frames " + replayed + " --out replay",
                      folder / "replay-run");
}

// An untouched viewer flies the orbit, so its recorded flight, replayed, draws galaxy-render's
// own frames byte for byte (both runs count the same simulated clock for the frame rate).
// Asking for a frame the flight does not hold, or giving a broken flight, writes nothing.
TEST(Flight, TheUntouchedViewersRecordingReplaysAsTheOrbit) {
    ViewerFolder folder(false);
    const ProgramResult replay = RecordAndReplay(folder.Path, 40, "1-40");
    ASSERT_EQ(replay.ExitCode, 0) << replay.Err;
    const ProgramResult orbit = RunProgram(
        Render + "--frames 1-40 --out " + Quoted(folder.Path / "orbit"), folder.Path / "orbit-run");
    ASSERT_EQ(orbit.ExitCode, 0) << orbit.Err;
    for (int frame : {1, 2, 17, 40}) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06d.png", frame);
        const std::string replayed = ReadFile(folder.Path / "replay" / name);
        EXPECT_FALSE(replayed.empty()) << name;
        EXPECT_EQ(replayed, ReadFile(folder.Path / "orbit" / name)) << name;
    }
    const std::string render = "cd " + Quoted(folder.Path) + "&& " + Render;
    std::ofstream(folder.Path / "broken.txt") << FlightHeader << "\n1 0 0 0 1 0 0 0 0 1\n";
    const struct {
        std::string Command;
        const char* Message;
    } cases[] = {
        {render + "--path flight.txt --frames 40-41 --out late", "frame 41 was asked for"},
        {render + "--path broken.txt --frames 1 --out late", "broken.txt:2:"},
        {render + "--path missing.txt --frames 1 --out late", "missing.txt: "},
    };
    for (const auto& [command, message] : cases) {
        const ProgramResult failed = RunProgram(command, folder.Path / "failed-run");
        EXPECT_EQ(failed.ExitCode, 1) << command;
        EXPECT_NE(failed.Err.find(message), std::string::npos) << command << '\n' << failed.Err;
    }
    EXPECT_FALSE(fs::exists(folder.Path / "late"));
    const ProgramResult unwritable =
        RunViewerIn(folder.Path, "SDL_VIDEODRIVER=nonexistent", "", "--record /nonexistent/f");
    EXPECT_EQ(unwritable.ExitCode, 1);
    EXPECT_NE(unwritable.Err.find("galaxy-viewer: /nonexistent/f: "), std::string::npos)
        << unwritable.Err;
    EXPECT_EQ(unwritable.Err.find("window"), std::string::npos) << unwritable.Err;
}

// A working folder whose galaxy.dat never ends: a named pipe, which the script that runs a
// program holds open without ever writing, or /dev/zero.
struct EndlessGalaxyFolder : ViewerFolder {
    explicit EndlessGalaxyFolder(bool pipe) : ViewerFolder(false) {
        const fs::path galaxy = Path / "galaxy.dat";
        if (pipe) {
            EXPECT_EQ(mkfifo(galaxy.c_str(), 0600), 0);
        } else {
            fs::create_symlink("/dev/zero", galaxy);
        }
        Opened = pipe ? fs::canonical(galaxy).string() : "/dev/zero";
    }
    std::string Opened;  // what the galaxy's descriptor shows once opened
};

// Runs command as a background job in folder (SIGINT ignored at start, as such a job has it),
// killed after 10 s; sends it alone (not the programs it starts) signal once the shell test
// `ready` passes, or it has ended. A named pipe galaxy.dat gets a writer, the script, that holds
// it open and never writes.
ProgramResult SignalWhenReady(const fs::path& folder, const std::string& command,
                              const std::string& ready, const std::string& signal) {
    std::string script = "cd " + Quoted(folder) + "|| exit 9; ";
    script += "[ -p galaxy.dat ] && exec 3<>galaxy.dat; ";
    script += "timeout --foreground -s KILL 10 sh -c \"trap '' INT; exec " + command + "\" 3>&- & ";
    script += "for i in $(seq 1000); do " + ready + " || ! kill -0 $! && break; sleep 0.01; done; ";
    return RunProgram(script + "kill -" + signal + " $!; wait $!", folder);
}

// The shell test that the program started as the script's last job has file open.
std::string HasOpen(const std::string& file) {
    return "readlink /proc/$(pgrep -P $!)/fd/* 2>/dev/null | grep -qxF " + Quoted(file);
}

bool FfmpegInstalled() {
    return std::system("command -v ffmpeg >/dev/null") == 0;
}

// SIGINT and SIGTERM stop the start-up while a galaxy that never ends is read, from a named
// pipe or /dev/zero: galaxy-viewer ends with 0, as however else it ends; galaxy-render with
// 128 + the signal, after saying so, with no frame and no movie left behind.
TEST(Programs, QuitSignalsStopTheStartupOfAnEndlessGalaxy) {
    const bool movie = FfmpegInstalled();
    for (const bool pipe : {true, false}) {
        for (const char* signal : {"INT", "TERM"}) {
            const std::string name = std::string(pipe ? "pipe, SIG" : "/dev/zero, SIG") + signal;
            EndlessGalaxyFolder viewerFolder(pipe);
            const ProgramResult viewed = SignalWhenReady(viewerFolder.Path, GALAXY_VIEWER,
                                                         HasOpen(viewerFolder.Opened), signal);
            EXPECT_EQ(viewed.ExitCode, 0) << name << '\n' << viewed.Err;

            EndlessGalaxyFolder renderFolder(pipe);
            const ProgramResult rendered =
                SignalWhenReady(renderFolder.Path,
                                Quoted(GALAXY_RENDER) + "galaxy.dat --frames 1 --out frames" +
                                    (movie ? " --video movie.mp4" : ""),
                                HasOpen(renderFolder.Opened), signal);
            EXPECT_EQ(rendered.ExitCode, signal == std::string("INT") ? 130 : 143) << name;
            EXPECT_NE(rendered.Err.find(std::string("galaxy-render: stopped by SIG") + signal),
                      std::string::npos)
                << name << '\n'
                << rendered.Err;
            EXPECT_TRUE(fs::is_empty(renderFolder.Path / "frames")) << name;
            EXPECT_FALSE(fs::exists(renderFolder.Path / "movie.mp4")) << name;
        }
    }
}

// A stop between frames: the frames drawn so far are saved whole, each under its own name, and
// the unfinished movie is removed.
TEST(RenderTool, AStopBetweenFramesLeavesOnlyWholeFrames) {
    ViewerFolder folder(false);
    const ProgramResult run = SignalWhenReady(folder.Path,
                                              Render + "--frames 1-99999999 --out frames" +
                                                  (FfmpegInstalled() ? " --video movie.mp4" : ""),
                                              "[ -e frames/frame-000003.png ]", "INT");
    EXPECT_EQ(run.ExitCode, 130) << run.Err;
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder.Path / "frames")) {
        names.insert(entry.path().filename().string());
        const Picture picture = LoadRgb(entry.path());
        ASSERT_NE(picture, nullptr) << entry.path() << ": " << IMG_GetError();
        EXPECT_TRUE(picture->w == ScreenWidth && picture->h == ScreenHeight) << entry.path();
    }
    ASSERT_GE(names.size(), 3u);
    char last[32];
    std::snprintf(last, sizeof last, "frame-%06zu.png", names.size());
    EXPECT_EQ(*names.rbegin(), last) << "every frame up to the last saved, and nothing else";
    EXPECT_FALSE(fs::exists(folder.Path / "movie.mp4"));
}

// The default: CR LF lines the loader reads whole, shaped as a thin disk of about 8 units with
// a bulge (tag 0), two arms (1, 2) and a disk (3).
TEST(Generate, DefaultFileIsAThinDiskGalaxyTheLoaderReadsWhole) {
    const fs::path scratch = fs::current_path() / "generate-default";
    fs::remove_all(scratch);
    ASSERT_EQ(
        RunProgram(Quoted(GALAXY_GENERATE) + "--out " + Quoted(scratch / "galaxy.dat"), scratch)
            .ExitCode,
        0);
    const std::string text = ReadFile(scratch / "galaxy.dat");
    for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ASSERT_TRUE(at > 0 && text[at - 1] == '\r') << "bare line feed at " << at;
    }
    const LoadRun run = RunLoader(text, MaxStars, 1, false);
    EXPECT_EQ(std::tie(run.err, run.passes), std::make_tuple("", 17224));
    EXPECT_EQ(run.out.rfind("Sample galaxy: 17224 stars", 0), 0u);
    EXPECT_EQ(run.out.substr(run.out.size() - 2), "\n.");
    int counts[4] = {0, 0, 0, 0}, inside = 0;
    double heightSum = 0.0;
    for (size_t slot = 0; slot < 17224; ++slot) {
        const Star& star = run.stars[slot];
        ASSERT_LT(run.tags[slot], 4);
        ++counts[run.tags[slot]];
        inside += std::hypot(star.x, star.y) < 8.5e5 ? 1 : 0;
        heightSum += std::fabs(star.z);
        EXPECT_TRUE(std::hypot(star.x, star.y) < 12e5 && std::fabs(star.z) < 4e5) << slot;
    }
    EXPECT_NEAR(counts[0] / 17224.0, 0.15, 0.02);
    EXPECT_NEAR(counts[1] / 17224.0, 0.30, 0.02);
    EXPECT_NEAR(counts[2] / 17224.0, 0.30, 0.02);
    EXPECT_GT(inside, 17224 * 98 / 100);
    EXPECT_LT(heightSum / 17224, 0.25e5);
}

}  // namespace
