// viewer_test.cpp: the viewer's run: the main loop (one event or one frame per pass, events
// first) and every way a run ends, in process on the in-memory display and as the real binary,
// headless and in a real X window under Xvfb: exit codes, output, and nothing left behind.
#include "app/viewer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/main_loop.h"
#include "app/scene.h"
#include "app/window.h"
#include "display/memory_display.h"

namespace {

std::deque<SDL_Event> Queue;  // the events the fake source hands out, front first
std::string Trace;            // 'P' per poll that found an event, 'N' per empty poll, 'F' per frame
int FramesBeforeSignal = -1;  // the frame that raises the quit signal; negative for none
bool SignalWithEvent = false;  // a quit signal arrives with every event handed out

bool PollFake(SDL_Event& event) {
    Trace += Queue.empty() ? 'N' : 'P';
    if (Queue.empty()) {
        return false;
    }
    event = Queue.front();
    Queue.pop_front();
    if (SignalWithEvent) {
        QuitSignal = 1;
    }
    return true;
}

void DrawFake() {
    Trace += 'F';
    if (--FramesBeforeSignal == 0) {
        QuitSignal = 1;
    }
}

SDL_Event Event(Uint32 type, Uint8 windowEvent = SDL_WINDOWEVENT_NONE) {
    SDL_Event event{};
    event.type = type;
    event.window.event = windowEvent;
    return event;
}

const SDL_Event Close = Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_CLOSE);
const SDL_Event Motion = Event(SDL_MOUSEMOTION);
const SDL_Event Exposed = Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_EXPOSED);

class MainLoop : public ::testing::Test {
  protected:
    void SetUp() override { ResetScene(); }
    void TearDown() override { QuitSignal = 0; }
};

// Each case's trace ends with the number of events left unread.
TEST_F(MainLoop, EventsGoFirstOnePerPassAndTheLoopEndsOnCloseLimitOrBeforeAPassAfterASignal) {
    const struct {
        std::deque<SDL_Event> Events;
        int64_t Limit;
        int Signal;  // -1 none, -2 with every event, 0 already raised, n raised by frame n
        int64_t Frames;
        const char* Trace;
    } cases[] = {{{Motion, Exposed}, 1, -1, 1, "PPNF0"},
                 {{Motion, Close, Motion}, 0, -1, 0, "PP1"},
                 {{}, 2, -1, 2, "NFNF0"},
                 {{Motion, Motion}, 0, -2, 0, "P1"},
                 {{}, 0, 2, 2, "NFNF0"},
                 {{Motion}, 0, 0, 0, "1"}};
    for (const auto& test : cases) {
        Queue = test.Events;
        Trace.clear();
        QuitSignal = test.Signal == 0 ? 1 : 0;
        FramesBeforeSignal = test.Signal;
        SignalWithEvent = test.Signal == -2;
        EXPECT_EQ(RunMainLoop(PollFake, DrawFake, test.Limit), test.Frames) << test.Trace;
        EXPECT_EQ(Trace + std::to_string(Queue.size()), test.Trace);
    }
}

SDL_Event PendingEnd;  // pushed onto SDL's queue once the scene is up

bool StartSceneThenPushTheEnd(const char*) {
    bool started = InitScene(GALAXY_SOURCE_DIR "/tests/data/viewer-galaxy.dat");
    return SDL_PushEvent(&PendingEnd) == 1 && started;
}

// The whole run on the in-memory display, under SDL's dummy video driver: each way out gives
// its code, draws no frame after the end, and leaves neither display nor SDL behind; a scene
// that cannot start (its cell tables not had) gives 1.
TEST_F(MainLoop, EveryWayOutOfARunShutsDownTheDisplayAndSdl) {
    SDL_Event escape = Event(SDL_KEYDOWN);
    escape.key.keysym.sym = SDLK_ESCAPE;
    struct Case {
        const char* Name;
        SDL_Event End;
        InitSceneFunction StartScene;
        int ExitCode;
        int32_t Flips;
    } cases[] = {{"window closed", Close, StartSceneThenPushTheEnd, 0, 0},
                 {"SDL_QUIT", Event(SDL_QUIT), StartSceneThenPushTheEnd, 0, 0},
                 {"Escape", escape, StartSceneThenPushTheEnd, 0, 0},
                 {"frame limit", Motion, StartSceneThenPushTheEnd, 0, 3},
                 {"scene failed", Motion, [](const char*) { return false; }, 1, 0}};
    for (const Case& test : cases) {
        ResetScene();
        PendingEnd = test.End;
        EXPECT_EQ(RunViewer({test.StartScene, 3, false}), test.ExitCode) << test.Name;
        const auto log = MemoryDisplayLog();
        EXPECT_EQ(std::ranges::count(log, DisplayCall::Flip, &DisplayCallRecord::Call), test.Flips)
            << test.Name;
        EXPECT_EQ(DisplayObject, nullptr) << test.Name;
        EXPECT_EQ(SDL_WasInit(0), 0u) << test.Name;
    }
}

namespace fs = std::filesystem;

constexpr const char* TestGalaxyEcho = "Viewer test galaxy\n..";  // its header and two comments

struct ViewerOutcome {
    int ExitCode;  // 137 when killed after a minute
    std::string Out, Err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

// Runs the viewer to its end in folder, with SIGINT ignored at start (as a background job has
// it) and under env with settings ("NAME=value", "-u NAME"); killed after a minute. Given a
// signal, sends it once the first frame is drawn.
ViewerOutcome RunViewerProgram(const fs::path& folder, const std::string& settings,
                               const std::string& signal = "") {
    std::string script = "cd '" + folder.string() + "' || exit 9; timeout -s KILL 60 sh -c ";
    script += "\"trap '' INT; exec env " + settings + " " GALAXY_VIEWER "\" >out 2>err & ";
    if (!signal.empty()) {
        script +=
            "for i in $(seq 6000); do grep -qs 'first frame' err && break; sleep 0.01; done; ";
        script += "kill -" + signal + " $!; ";
    }
    const int status = std::system((script + "wait $!").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(folder / "out"),
            ReadFile(folder / "err")};
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
    };
    for (const auto& test : cases) {
        ViewerFolder folder(test.WithGalaxy);
        const ViewerOutcome run = RunViewerProgram(folder.Path, test.Settings, test.Signal);
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

// An 800 x 600 X server of its own, on a display number it picks; stopped with the test. The
// shell says its process number, which exec hands on to Xvfb, and Xvfb says its display number
// once it is ready.
struct XvfbServer {
    XvfbServer() {
        const char* start = "echo $$; exec Xvfb -displayfd 1 -screen 0 800x600x24 2>/dev/null";
        Output = popen(start, "r");
        int number = -1;
        if (Output != nullptr && std::fscanf(Output, "%d %d", &Pid, &number) == 2) {
            Display = ':' + std::to_string(number);
        }
    }
    ~XvfbServer() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
        }
        if (Output != nullptr) {
            pclose(Output);
        }
    }
    std::FILE* Output = nullptr;
    pid_t Pid = -1;
    std::string Display;  // ":N", or empty when Xvfb could not be started
};

TEST(Viewer, DrawsInARealWindowAndEndsCleanly) {
    if (std::system("command -v Xvfb >/dev/null") != 0) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    XvfbServer server;
    ASSERT_FALSE(server.Display.empty()) << "Xvfb did not start";
    ViewerFolder folder(true);
    // Mesa's GL driver, loaded for the renderer, keeps a few bytes and is unloaded at exit, so
    // LeakSanitizer can neither name nor suppress them; the headless runs keep the leak check.
    const std::string settings =
        "SDL_VIDEODRIVER=x11 DISPLAY=" + server.Display + " ASAN_OPTIONS=detect_leaks=0 ";
    const ViewerOutcome run = RunViewerProgram(folder.Path, settings + "GALAXY_VIEWER_FRAMES=30");
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("galaxy-viewer: 30 frames drawn\n"), std::string::npos) << run.Err;
    EXPECT_EQ(RunViewerProgram(folder.Path, settings + "GALAXY_VIEWER_FRAMES=0", "TERM").ExitCode,
              0);
}

}  // namespace
