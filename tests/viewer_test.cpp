// viewer_test.cpp: the viewer's run: the main loop (one event or one frame per pass, events
// first) and every way a run ends, in process on the in-memory display and as the real binary,
// headless and in a real X window under Xvfb: exit codes, output, and nothing left behind.
#include "app/viewer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

bool FailToStartScene(const char*) {
    return false;  // as InitScene does when the cell tables cannot be had
}

// The whole run on the in-memory display, under SDL's dummy video driver: each way out gives
// its code, draws no frame after the end, and leaves neither display nor SDL behind.
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
                 {"scene failed", Motion, FailToStartScene, 1, 0}};
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
    int ExitCode = -1;  // -1 unless it exited (killed, or timed out after 60 s)
    std::string Out;
    std::string Err;
};

std::string ReadFile(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Child side: NAME=value settings set, bare NAMEs removed, output to files, then the viewer.
[[noreturn]] void StartViewer(const fs::path& folder, const std::vector<std::string>& settings,
                              bool ignoreSigint) {
    for (const std::string& setting : settings) {
        size_t equals = setting.find('=');
        if (equals == std::string::npos) {
            unsetenv(setting.c_str());
        } else {
            setenv(setting.substr(0, equals).c_str(), setting.c_str() + equals + 1, 1);
        }
    }
    int out = open((folder / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((folder / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0 && err >= 0 && dup2(out, 1) >= 0 && dup2(err, 2) >= 0 &&
        chdir(folder.c_str()) == 0) {
        signal(SIGINT, ignoreSigint ? SIG_IGN : SIG_DFL);  // as a background job inherits it
        execl(GALAXY_VIEWER, GALAXY_VIEWER, static_cast<char*>(nullptr));
    }
    _exit(127);
}

// Runs the viewer in folder to its end; sends quitSignal once it has drawn its first frame.
ViewerOutcome RunViewerProgram(const fs::path& folder, const std::vector<std::string>& settings,
                               int quitSignal = 0, bool ignoreSigint = false) {
    fs::remove(folder / "err");  // a last run's "first frame" is no cue for this one
    pid_t pid = fork();
    if (pid == 0) {
        StartViewer(folder, settings, ignoreSigint);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
        } else if (quitSignal != 0 &&
                   ReadFile(folder / "err").find("first frame") != std::string::npos) {
            kill(pid, quitSignal);
            quitSignal = 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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

struct HeadlessCase {
    const char* Name;
    bool WithGalaxy;
    std::vector<std::string> Settings;  // over SDL_VIDEODRIVER=dummy, which the test entry sets
    int QuitSignal;
    bool IgnoreSigint;
    int ExitCode;
    const char* Err;  // what standard error holds; a failure says it in one last line
};

TEST(Viewer, EveryWayItEndsGivesItsExitCode) {
    const char* frames = "galaxy-viewer: first frame drawn\ngalaxy-viewer: ";
    // clang-format off
    const HeadlessCase cases[] = {
        {"five frames", true, {"GALAXY_VIEWER_FRAMES=5"}, 0, false, 0,
         "galaxy-viewer: first frame drawn\ngalaxy-viewer: 5 frames drawn\n"},
        {"no galaxy file", false, {"GALAXY_VIEWER_FRAMES=2"}, 0, false, 0, "2 frames drawn\n"},
        {"SIGTERM", true, {"GALAXY_VIEWER_FRAMES=0"}, SIGTERM, false, 0, frames},
        {"SIGINT", true, {"GALAXY_VIEWER_FRAMES=0"}, SIGINT, false, 0, frames},
        {"SIGINT ignored at start", true, {"GALAXY_VIEWER_FRAMES=0"}, SIGINT, true, 0, frames},
        {"no such video driver", true, {"SDL_VIDEODRIVER=nonexistent"}, 0, false, 1,
         "galaxy-viewer: cannot open the window: "},
        {"no display at all", true, {"SDL_VIDEODRIVER", "DISPLAY", "WAYLAND_DISPLAY",
         "XDG_RUNTIME_DIR", "GALAXY_VIEWER_FRAMES=3"}, 0, false, 1,
         "galaxy-viewer: cannot open the window: no display found"},
        {"bad frame count", false, {"GALAXY_VIEWER_FRAMES=lots"}, 0, false, 2,
         "galaxy-viewer: GALAXY_VIEWER_FRAMES must be a count"},
    };
    // clang-format on
    for (const HeadlessCase& test : cases) {
        ViewerFolder folder(test.WithGalaxy);
        ViewerOutcome run =
            RunViewerProgram(folder.Path, test.Settings, test.QuitSignal, test.IgnoreSigint);
        EXPECT_EQ(run.ExitCode, test.ExitCode) << test.Name << '\n' << run.Err;
        // The galaxy's echo comes only from a run that got as far as reading it.
        const bool read = test.WithGalaxy && test.ExitCode == 0;
        EXPECT_EQ(run.Out, read ? TestGalaxyEcho : "") << test.Name;
        size_t said = run.Err.find(test.Err);
        ASSERT_NE(said, std::string::npos) << test.Name << '\n' << run.Err;
        if (test.ExitCode != 0) {
            EXPECT_EQ(run.Err.find('\n', said), run.Err.size() - 1) << test.Name << ": one line";
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
    std::vector<std::string> settings = {"SDL_VIDEODRIVER=x11", "DISPLAY=" + server.Display,
                                         "ASAN_OPTIONS=detect_leaks=0", "GALAXY_VIEWER_FRAMES=30"};
    ViewerOutcome run = RunViewerProgram(folder.Path, settings);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("galaxy-viewer: 30 frames drawn\n"), std::string::npos) << run.Err;

    settings.back() = "GALAXY_VIEWER_FRAMES=0";
    EXPECT_EQ(RunViewerProgram(folder.Path, settings, SIGTERM).ExitCode, 0);
}

}  // namespace
