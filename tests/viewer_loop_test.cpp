// viewer_loop_test.cpp: the main loop (one event or one frame per pass, events first) and every
// way the viewer's run ends: exit code, and display and SDL shut down whatever happened.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "app/scene.h"
#include "app/viewer.h"
#include "app/main_loop.h"
#include "app/window.h"
#include "display/memory_display.h"

namespace {

std::deque<SDL_Event> Queue;  // the events the fake source hands out, front first
std::string Trace;            // 'P' per poll that found an event, 'N' per empty poll, 'F' per frame
int FramesBeforeSignal = -1;  // the frame that raises the quit signal; -1 for none

bool PollFake(SDL_Event& event) {
    Trace += Queue.empty() ? 'N' : 'P';
    if (Queue.empty()) {
        return false;
    }
    event = Queue.front();
    Queue.pop_front();
    return true;
}

void DrawFake() {
    Trace += 'F';
    if (--FramesBeforeSignal == 0) {
        QuitSignal = 1;
    }
}

SDL_Event Event(Uint32 type, SDL_WindowEventID window = SDL_WINDOWEVENT_NONE,
                SDL_Keycode key = SDLK_UNKNOWN) {
    SDL_Event event{};
    event.type = type;
    if (type == SDL_WINDOWEVENT) {
        event.window.event = static_cast<Uint8>(window);
    } else {
        event.key.keysym.sym = key;
    }
    return event;
}

const SDL_Event Close = Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_CLOSE);
const SDL_Event Escape = Event(SDL_KEYDOWN, SDL_WINDOWEVENT_NONE, SDLK_ESCAPE);
const SDL_Event Motion = Event(SDL_MOUSEMOTION);
const SDL_Event Exposed = Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_EXPOSED);

class MainLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        Queue.clear();
        Trace.clear();
        FramesBeforeSignal = -1;
        QuitSignal = 0;
        ResetScene();
    }
    void TearDown() override { QuitSignal = 0; }
};

TEST_F(MainLoop, OnlyCloseQuitAndEscapeEndTheProgram) {
    for (const SDL_Event& event : {Close, Event(SDL_QUIT), Escape}) {
        EXPECT_FALSE(MainWindowProc(event)) << event.type;
    }
    for (const SDL_Event& event :
         {Exposed, Motion, Event(SDL_WINDOWEVENT, SDL_WINDOWEVENT_FOCUS_LOST),
          Event(SDL_KEYUP, SDL_WINDOWEVENT_NONE, SDLK_ESCAPE),
          Event(SDL_KEYDOWN, SDL_WINDOWEVENT_NONE, SDLK_F4), Event(SDL_MOUSEBUTTONDOWN)}) {
        EXPECT_TRUE(MainWindowProc(event)) << event.type;
    }
}

TEST_F(MainLoop, EachPassHandlesOneEventOrDrawsOneFrameEventsFirst) {
    Queue = {Motion, Exposed};
    for (MainLoopPass expected : {MainLoopPass::HandledEvent, MainLoopPass::HandledEvent,
                                  MainLoopPass::DrewFrame, MainLoopPass::DrewFrame}) {
        EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), expected);
    }
    Queue = {Exposed};  // arriving between frames
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::HandledEvent);
    EXPECT_EQ(Trace, "PPNFNFP");
}

TEST_F(MainLoop, EndsOnCloseOnTheLimitOrBeforeThePassAfterAQuitSignal) {
    Queue = {Motion, Close, Motion};
    EXPECT_EQ(RunMainLoop(PollFake, DrawFake, 0), 0);
    EXPECT_EQ(Trace + std::to_string(Queue.size()), "PP1");

    Trace.clear();
    EXPECT_EQ(RunMainLoop(PollFake, DrawFake, 2), 2);
    EXPECT_EQ(Trace, "PNFNF");

    Trace.clear();
    FramesBeforeSignal = 2;
    EXPECT_EQ(RunMainLoop(PollFake, DrawFake, 0), 2);
    EXPECT_EQ(RunMainLoop(PollFake, DrawFake, 0), 0);  // still signalled: not one pass
    EXPECT_EQ(Trace, "NFNF");
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
    struct Case {
        const char* Name;
        SDL_Event End;
        InitSceneFunction StartScene;
        int ExitCode;
        int32_t Flips;
    } cases[] = {{"window closed", Close, StartSceneThenPushTheEnd, 0, 0},
                 {"SDL_QUIT", Event(SDL_QUIT), StartSceneThenPushTheEnd, 0, 0},
                 {"Escape", Escape, StartSceneThenPushTheEnd, 0, 0},
                 {"frame limit", Motion, StartSceneThenPushTheEnd, 0, 3},
                 {"scene failed", Motion, FailToStartScene, 1, 0}};
    for (const Case& test : cases) {
        ResetScene();
        PendingEnd = test.End;
        EXPECT_EQ(RunViewer({test.StartScene, 3, false}), test.ExitCode) << test.Name;
        EXPECT_EQ(MemoryDisplayCounts().Flip, test.Flips) << test.Name;
        EXPECT_EQ(DisplayObject, nullptr) << test.Name;
        EXPECT_EQ(SDL_WasInit(0), 0u) << test.Name;
    }
}

}  // namespace
