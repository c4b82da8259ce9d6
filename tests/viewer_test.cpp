// viewer_test.cpp: the viewer's run in process: the main loop (one event or one frame per pass,
// events first), the events that stop the start-up, and every way a run ends on the in-memory
// display, with its exit code and neither display nor SDL left behind (programs_test.cpp runs
// the binary itself).
#include "app/viewer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <deque>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/scene.h"
#include "app/window.h"
#include "data/loader.h"
#include "data/startup.h"
#include "display/memory_display.h"

namespace {

std::deque<SDL_Event> Queue;  // the events the fake source hands out, front first
std::string Trace;            // 'P' per poll that found an event, 'N' per empty poll, 'F' per frame
int Signal = -1;  // the quit signal: -1 none, -2 with every event handed out, n by the nth frame
int Frames = 0;   // frames the fake has drawn

bool PollFake(SDL_Event& event) {
    Trace += Queue.empty() ? 'N' : 'P';
    if (Queue.empty()) {
        return false;
    }
    event = Queue.front();
    Queue.pop_front();
    QuitSignal = Signal == -2 ? 1 : QuitSignal;
    return true;
}

void DrawFake() {
    Trace += 'F';
    QuitSignal = ++Frames == Signal ? 1 : QuitSignal;
}

SDL_Event Event(Uint32 type, Uint8 windowEvent = SDL_WINDOWEVENT_NONE) {
    SDL_Event event{};
    event.type = type;
    event.window.event = windowEvent;
    return event;
}

const SDL_Event Close = Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_CLOSE);
const SDL_Event Motion = Event(SDL_MOUSEMOTION);

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
        int Signal;  // as above, or 0: raised before the loop
        int64_t Frames;
        const char* Trace;
    } cases[] = {{{Motion, Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_EXPOSED)}, 1, -1, 1, "PPNF0"},
                 {{Motion, Close, Motion}, 0, -1, 0, "PP1"},
                 {{}, 2, -1, 2, "NFNF0"},
                 {{Motion, Motion}, 0, -2, 0, "P1"},
                 {{}, 0, 2, 2, "NFNF0"},
                 {{Motion}, 0, 0, 0, "1"}};
    for (const auto& test : cases) {
        Queue = test.Events;
        Trace.clear();
        QuitSignal = test.Signal == 0 ? 1 : 0;
        Signal = test.Signal;
        Frames = 0;
        EXPECT_EQ(RunMainLoop(PollFake, DrawFake, test.Limit), test.Frames) << test.Trace;
        EXPECT_EQ(Trace + std::to_string(Queue.size()), test.Trace);
    }
}

// During start-up a quit or a closed window stops it; other window events are taken and
// dropped, and the rest wait for the main loop.
TEST_F(MainLoop, TheStartupPollStopsOnQuitOrCloseAndLeavesKeysQueued) {
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    SDL_Event escape = Event(SDL_KEYDOWN);
    escape.key.keysym.sym = SDLK_ESCAPE;
    const struct {
        std::vector<SDL_Event> Events;
        bool Stops;
        int Left;  // events still queued
    } cases[] = {{{Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_EXPOSED), Motion, escape}, false, 2},
                 {{Motion, Close}, true, 1},
                 {{Event(SDL_QUIT), Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_SHOWN)}, true, 0}};
    for (const auto& test : cases) {
        ResetStartup();
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
        for (SDL_Event event : test.Events) {
            ASSERT_EQ(SDL_PushEvent(&event), 1);
        }
        PollQuitDuringStartup();
        EXPECT_EQ(StopRequested(), test.Stops) << test.Left;
        EXPECT_EQ(StopSignal(), 0);
        EXPECT_EQ(SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT),
                  test.Left);
    }
    SDL_Quit();
}

SDL_Event PendingEnd;  // pushed onto SDL's queue once the scene is up, or before it starts

SceneStatus StartSceneThenPushTheEnd(const SceneOptions&) {
    const SceneStatus status =
        StartScene(SceneOptions{GALAXY_SOURCE_DIR "/tests/data/viewer-galaxy.dat", MaxStars});
    return SDL_PushEvent(&PendingEnd) == 1 ? status : SceneStatus::Failed;
}

// An endless galaxy, which only a stop ends; should the window not stop it, SIGALRM does after
// 10 s, and the run's check of the stop's signal fails rather than the test hanging.
SceneStatus PushTheEndThenStartEndlessScene(const SceneOptions&) {
    if (SDL_PushEvent(&PendingEnd) != 1) {
        return SceneStatus::Failed;
    }
    std::signal(SIGALRM, RequestStop);
    alarm(10);
    const SceneStatus status = StartScene(SceneOptions{"/dev/zero", FitCapacity});
    alarm(0);
    std::signal(SIGALRM, SIG_DFL);
    return status;
}

// The whole run on the in-memory display, under SDL's dummy video driver: each way out gives
// its code, draws no frame after the end, and leaves neither display nor SDL behind; a window
// closed during start-up stops it, also with 0; a scene that cannot start (its cell tables not
// had) gives 1.
TEST_F(MainLoop, EveryWayOutOfARunShutsDownTheDisplayAndSdl) {
    SDL_Event escape = Event(SDL_KEYDOWN);
    escape.key.keysym.sym = SDLK_ESCAPE;
    struct Case {
        const char* Name;
        SDL_Event End;
        InitSceneFunction StartScene;
        int ExitCode;
        int32_t Flips;
    } cases[] = {
        {"window closed", Close, StartSceneThenPushTheEnd, 0, 0},
        {"SDL_QUIT", Event(SDL_QUIT), StartSceneThenPushTheEnd, 0, 0},
        {"Escape", escape, StartSceneThenPushTheEnd, 0, 0},
        {"frame limit", Motion, StartSceneThenPushTheEnd, 0, 3},
        {"window closed in start-up", Close, PushTheEndThenStartEndlessScene, 0, 0},
        {"SDL_QUIT in start-up", Event(SDL_QUIT), PushTheEndThenStartEndlessScene, 0, 0},
        {"scene failed", Motion, [](const SceneOptions&) { return SceneStatus::Failed; }, 1, 0}};
    for (const Case& test : cases) {
        ResetScene();
        PendingEnd = test.End;
        EXPECT_EQ(RunViewer({test.StartScene, {}, 3, false}), test.ExitCode) << test.Name;
        EXPECT_EQ(StopSignal(), 0) << test.Name;
        const auto log = MemoryDisplayLog();
        EXPECT_EQ(std::ranges::count(log, DisplayCall::Flip, &DisplayCallRecord::Call), test.Flips)
            << test.Name;
        EXPECT_EQ(DisplayObject, nullptr) << test.Name;
        EXPECT_EQ(SDL_WasInit(0), 0u) << test.Name;
    }
}

}  // namespace
