// viewer_loop_test.cpp: the main loop's rules: one event or one frame per pass, events first,
// and the ways the program is told to end.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "app/window.h"

namespace {

std::deque<SDL_Event> Queue;  // the events the fake source hands out, front first
std::string Trace;            // 'P' per poll that found an event, 'N' per empty poll, 'F' per frame
int FramesBeforeSignal = -1;  // the frame that raises the quit signal; -1 for none

bool PollFake(SDL_Event& event) {
    if (Queue.empty()) {
        Trace += 'N';
        return false;
    }
    event = Queue.front();
    Queue.pop_front();
    Trace += 'P';
    return true;
}

void DrawFake() {
    Trace += 'F';
    if (--FramesBeforeSignal == 0) {
        QuitSignal = 1;
    }
}

SDL_Event WindowEvent(SDL_WindowEventID id) {
    SDL_Event event{};
    event.type = SDL_WINDOWEVENT;
    event.window.event = static_cast<Uint8>(id);
    return event;
}

SDL_Event KeyEvent(SDL_EventType type, SDL_Keycode key) {
    SDL_Event event{};
    event.type = type;
    event.key.keysym.sym = key;
    return event;
}

SDL_Event PlainEvent(SDL_EventType type) {
    SDL_Event event{};
    event.type = type;
    return event;
}

class MainLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        Queue.clear();
        Trace.clear();
        FramesBeforeSignal = -1;
        QuitSignal = 0;
    }
    void TearDown() override { QuitSignal = 0; }
};

TEST_F(MainLoop, EachPassHandlesOneEventOrDrawsOneFrame) {
    Queue = {PlainEvent(SDL_MOUSEMOTION), WindowEvent(SDL_WINDOWEVENT_EXPOSED),
             KeyEvent(SDL_KEYDOWN, SDLK_a)};
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::HandledEvent);
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::HandledEvent);
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::HandledEvent);
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::DrewFrame);
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::DrewFrame);
    EXPECT_EQ(Trace, "PPPNFNF");
}

TEST_F(MainLoop, AnEventArrivingBetweenFramesGoesFirst) {
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::DrewFrame);
    Queue = {WindowEvent(SDL_WINDOWEVENT_EXPOSED)};
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::HandledEvent);
    EXPECT_EQ(RunMainLoopPass(PollFake, DrawFake), MainLoopPass::DrewFrame);
    EXPECT_EQ(Trace, "NFPNF");
}

TEST_F(MainLoop, CloseQuitAndEscapeEndTheProgram) {
    EXPECT_FALSE(MainWindowProc(WindowEvent(SDL_WINDOWEVENT_CLOSE)));
    EXPECT_FALSE(MainWindowProc(PlainEvent(SDL_QUIT)));
    EXPECT_FALSE(MainWindowProc(KeyEvent(SDL_KEYDOWN, SDLK_ESCAPE)));
}

TEST_F(MainLoop, OtherEventsKeepItRunning) {
    EXPECT_TRUE(MainWindowProc(WindowEvent(SDL_WINDOWEVENT_EXPOSED)));
    EXPECT_TRUE(MainWindowProc(WindowEvent(SDL_WINDOWEVENT_FOCUS_LOST)));
    EXPECT_TRUE(MainWindowProc(KeyEvent(SDL_KEYUP, SDLK_ESCAPE)));
    EXPECT_TRUE(MainWindowProc(KeyEvent(SDL_KEYDOWN, SDLK_F4)));
    EXPECT_TRUE(MainWindowProc(PlainEvent(SDL_MOUSEBUTTONDOWN)));
}

TEST_F(MainLoop, CloseEndsTheLoopWithoutAnotherFrame) {
    Queue = {PlainEvent(SDL_MOUSEMOTION), WindowEvent(SDL_WINDOWEVENT_CLOSE),
             PlainEvent(SDL_MOUSEMOTION)};
    EXPECT_EQ(RunMainLoop(PollFake, DrawFake, 0), 0);
    EXPECT_EQ(Trace, "PP");
    EXPECT_EQ(Queue.size(), 1u);
}

TEST_F(MainLoop, FramesFlowUntilTheLimit) {
    Queue = {PlainEvent(SDL_MOUSEMOTION)};
    EXPECT_EQ(RunMainLoop(PollFake, DrawFake, 3), 3);
    EXPECT_EQ(Trace, "PNFNFNF");
}

TEST_F(MainLoop, QuitSignalEndsTheLoopBeforeTheNextPass) {
    FramesBeforeSignal = 2;
    EXPECT_EQ(RunMainLoop(PollFake, DrawFake, 0), 2);
    EXPECT_EQ(Trace, "NFNF");

    Trace.clear();
    EXPECT_EQ(RunMainLoop(PollFake, DrawFake, 0), 0);  // still signalled: not one pass
    EXPECT_EQ(Trace, "");
}

}  // namespace
