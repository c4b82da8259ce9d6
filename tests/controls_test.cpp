// controls_test.cpp: the viewer's keys and mouse. The camera's controls on their own (pause,
// speed, free flight, the way back to the orbit); then whole runs on the in-memory display with
// keys pushed through SDL's own event queue between frames, recorded as a flight, replayed by
// galaxy-render frame for frame; saved pictures and the help text.
#include "app/controls.h"

#include <SDL.h>
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/scene.h"
#include "app/viewer.h"
#include "app/window.h"
#include "data/loader.h"
#include "display/memory_display.h"
#include "render/frame_rate.h"
#include "view/camera.h"
#include "view/flight.h"
#include "view/projection.h"

namespace {

namespace fs = std::filesystem;

bool Same(const Vec3& a, const Vec3& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

double Dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

double Distance(const Vec3& a, const Vec3& b) {
    const Vec3 d{a.x - b.x, a.y - b.y, a.z - b.z};
    return std::sqrt(Dot(d, d));
}

class CameraControl : public testing::Test {
  protected:
    void SetUp() override { ResetCamera(); }
    void TearDown() override { ResetCamera(); }
};

// Paused, nothing moves; twice the speed covers in n steps the circle that the default covers
// in 2n, and the speed stops at 64 and 1/64 times.
TEST_F(CameraControl, PauseHoldsAndSpeedKeepsTheCircle) {
    StepCamera();
    const CameraState before = Camera;
    ToggleCameraPause();
    StepCamera();
    EXPECT_TRUE(Same(Camera.Position, before.Position) && Camera.OrbitAngle == before.OrbitAngle);
    ToggleCameraPause();
    CameraState slow = Camera;
    for (int step = 0; step < 2000; ++step) {
        StepCamera();
    }
    slow = Camera;
    Camera = before;
    ChangeCameraSpeed(1);
    for (int step = 0; step < 1000; ++step) {
        StepCamera();
    }
    EXPECT_NEAR(Camera.OrbitAngle, slow.OrbitAngle, 1e-12);
    EXPECT_LT(Distance(Camera.Position, slow.Position), 300.0);  // 500 per step, a circle of 1e6
    for (int press = 0; press < 20; ++press) {
        ChangeCameraSpeed(1);
    }
    EXPECT_EQ(CameraKeys.SpeedExponent, MaxSpeedExponent);
    for (int press = 0; press < 40; ++press) {
        ChangeCameraSpeed(-1);
    }
    EXPECT_EQ(CameraKeys.SpeedExponent, MinSpeedExponent);
}

// Free flight moves by the held keys along the view's axes and turns with Direction and Up
// orthonormal; R puts back the very camera the orbit was left with, Tab a level one at the
// orbit's angle where the camera is.
TEST_F(CameraControl, FreeFlightMovesTurnsAndComesBack) {
    for (int step = 0; step < 10; ++step) {
        StepCamera();
    }
    const CameraState left = Camera;
    ToggleFreeFlight();
    StepCamera();
    EXPECT_TRUE(Same(Camera.Position, left.Position));  // no key held: it stands
    CameraKeys.Forward = 1;
    StepCamera();
    EXPECT_NEAR(Distance(Camera.Position, left.Position), 500.0, 1e-6);
    EXPECT_NEAR(Dot({Camera.Position.x - left.Position.x, Camera.Position.y - left.Position.y,
                     Camera.Position.z - left.Position.z},
                    left.Direction),
                500.0, 1e-6);
    CameraKeys.Forward = 0;
    CameraKeys.Rise = 1;
    const Vec3 low = Camera.Position;
    StepCamera();
    EXPECT_NEAR(Camera.Position.z - low.z, -500.0, 1e-9);  // the picture shows +z downward
    for (int drag = 0; drag < 500; ++drag) {
        TurnCamera(0.013 * (drag % 7), -0.021 * (drag % 5));
    }
    EXPECT_NEAR(Dot(Camera.Direction, Camera.Direction), 1.0, 1e-12);
    EXPECT_NEAR(Dot(Camera.Up, Camera.Up), 1.0, 1e-12);
    EXPECT_NEAR(Dot(Camera.Direction, Camera.Up), 0.0, 1e-12);
    ReturnToOrbit();
    EXPECT_FALSE(CameraKeys.FreeFlight);
    EXPECT_TRUE(Same(Camera.Position, left.Position) && Same(Camera.Direction, left.Direction) &&
                Same(Camera.Up, left.Up) && Camera.OrbitAngle == left.OrbitAngle);
    ToggleFreeFlight();
    TurnCamera(0.5, 0.5);
    ToggleFreeFlight();
    EXPECT_TRUE(Same(Camera.Up, {0, 0, 1}));
    EXPECT_TRUE(
        Same(Camera.Direction, {std::cos(Camera.OrbitAngle), std::sin(Camera.OrbitAngle), 0.0}));
}

// D moves, and a drag to the right turns, toward what the picture shows on its right; E and a
// drag upward toward what it shows above: the keys agree with the projection's screen axes.
TEST_F(CameraControl, KeysMoveAndTurnTheWayThePictureShows) {
    ToggleFreeFlight();
    TurnCamera(0.3, 0.2);  // any view, not the world's axes
    const Vec3 start = Camera.Position;
    const auto screen = [&start](void (*move)()) {
        const CameraState before = Camera;
        move();
        const Vec3 ahead{before.Position.x + before.Direction.x * 5000.0,
                         before.Position.y + before.Direction.y * 5000.0,
                         before.Position.z + before.Direction.z * 5000.0};
        // Where the point the camera now faces, or has moved onto, lies in the old picture.
        const Vec3 target{ahead.x + (Camera.Position.x - start.x) * 10.0 +
                              (Camera.Direction.x - before.Direction.x) * 5000.0,
                          ahead.y + (Camera.Position.y - start.y) * 10.0 +
                              (Camera.Direction.y - before.Direction.y) * 5000.0,
                          ahead.z + (Camera.Position.z - start.z) * 10.0 +
                              (Camera.Direction.z - before.Direction.z) * 5000.0};
        const Projector projector =
            MakeProjector(before.Position, before.Direction, before.Up, before.FocalDistance);
        ProjectedStar projected{};
        ProjectRange(projector, &target, &projected, 0, 1);
        Camera = before;
        return projected;
    };
    const ProjectedStar right = screen([] {
        CameraKeys.Sideways = 1;
        StepCamera();
        CameraKeys.Sideways = 0;
    });
    EXPECT_GT(right.x, 1.0);
    EXPECT_NEAR(right.y, 0.0, 1e-6);
    const ProjectedStar up = screen([] {
        CameraKeys.Rise = 1;
        StepCamera();
        CameraKeys.Rise = 0;
    });
    EXPECT_LT(up.y, -1.0);  // rows grow downward
    EXPECT_NEAR(up.x, 0.0, 1e-6);
    EXPECT_GT(screen([] { TurnCamera(0.05, 0.0); }).x, 1.0);
    EXPECT_LT(screen([] { TurnCamera(0.0, 0.05); }).y, -1.0);
}

// ---- whole runs, keys through SDL's queue ----

std::map<int64_t, std::vector<SDL_Event>> Script;  // events pushed after frame k
std::vector<uint64_t> FrameHashes;                 // each frame shown, as a hash of its RGB
std::vector<bool> FullScreen;                      // after each frame: the window is full screen
int64_t ClockFrame = 0;                            // the frame the simulated clock is at

// galaxy-render's clock: one frame every 1/60 s, start-up taking none.
TimeStamp SimulatedClock() {
    const int64_t milliseconds = ClockFrame * 1000 / 60;
    return TimeStamp{static_cast<int32_t>(milliseconds / 1000),
                     static_cast<uint16_t>(milliseconds % 1000)};
}

uint64_t HashRgb(const uint8_t* pixels, int32_t pitch, int32_t bytesPerPixel, bool bgr) {
    uint64_t hash = 14695981039346656037u;
    for (int32_t row = 0; row < ScreenHeight; ++row) {
        for (int32_t column = 0; column < ScreenWidth; ++column) {
            const uint8_t* pixel = pixels + row * pitch + column * bytesPerPixel;
            for (int channel = 0; channel < 3; ++channel) {
                hash = (hash ^ pixel[bgr ? 2 - channel : channel]) * 1099511628211u;
            }
        }
    }
    return hash;
}

void AfterFrame(int64_t frame) {
    FrameHashes.push_back(HashRgb(MemoryFrontPixels(), MemoryPitch(), 4, true));
    FullScreen.push_back((SDL_GetWindowFlags(CurrentMainWindow()) & SDL_WINDOW_FULLSCREEN) != 0);
    ClockFrame = frame + 1;
    for (SDL_Event event : Script[frame]) {
        ASSERT_EQ(SDL_PushEvent(&event), 1);
    }
}

const char* GalaxyPath = GALAXY_SOURCE_DIR "/tests/data/render-galaxy.dat";

SceneStatus StartTestScene(const SceneOptions&) {
    ClockFrame = 0;
    const SceneStatus status = StartScene(SceneOptions{GalaxyPath, MaxStars});
    ClockFrame = 1;
    return status;
}

SDL_Event Key(Uint32 type, SDL_Keycode key, Uint16 mod = KMOD_NONE) {
    SDL_Event event{};
    event.type = type;
    event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    event.key.keysym.sym = key;
    event.key.keysym.mod = mod;
    return event;
}

SDL_Event Press(SDL_Keycode key) {
    return Key(SDL_KEYDOWN, key);
}

SDL_Event Drag(int32_t x, int32_t y) {
    SDL_Event event{};
    event.type = SDL_MOUSEMOTION;
    event.motion.state = SDL_BUTTON_LMASK;
    event.motion.xrel = x;
    event.motion.yrel = y;
    return event;
}

class KeyedRun : public testing::Test {
  protected:
    void SetUp() override {
        ResetScene();
        SetFrameRateClock(SimulatedClock);
        Script.clear();
        FrameHashes.clear();
        FullScreen.clear();
        std::string pattern = (fs::temp_directory_path() / "controls-test-XXXXXX").string();
        Folder = mkdtemp(pattern.data());
        Previous = fs::current_path();
        fs::current_path(Folder);
    }
    void TearDown() override {
        fs::current_path(Previous);
        fs::remove_all(Folder);
        ResetScene();
    }
    // Runs the viewer for frames frames, recording its flight; true when it ended with 0.
    bool Run(int64_t frames, bool windowed = false) {
        ViewerRun run;
        run.Windowed = windowed;
        run.StartScene = StartTestScene;
        run.FrameLimit = frames;
        run.RecordPath = "flight.txt";
        run.AfterFrame = AfterFrame;
        return RunViewer(run) == 0;
    }
    // galaxy-render's frames 1 to count along the recorded flight, hashed as the run's are.
    std::vector<uint64_t> Replay(int64_t count) {
        const std::string command = std::string("'") + GALAXY_RENDER + "' '" + GalaxyPath +
                                    "' --path flight.txt --frames 1-" + std::to_string(count) +
                                    " --out replay >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::vector<uint64_t> hashes;
        for (int64_t frame = 1; frame <= count; ++frame) {
            char name[40];
            std::snprintf(name, sizeof name, "replay/frame-%06lld.png",
                          static_cast<long long>(frame));
            hashes.push_back(HashPng(name));
        }
        return hashes;
    }
    static uint64_t HashPng(const char* name) {
        SDL_Surface* loaded = IMG_Load(name);
        SDL_Surface* rgb =
            loaded ? SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGB24, 0) : nullptr;
        const uint64_t hash =
            rgb ? HashRgb(static_cast<const uint8_t*>(rgb->pixels), rgb->pitch, 3, false) : 0;
        SDL_FreeSurface(rgb);
        SDL_FreeSurface(loaded);
        return hash;
    }
    fs::path Folder, Previous;
};

// Pauses, speed changes, free flight with held keys and drags, the way back to the orbit: the
// recorded flight shows each, and galaxy-render replays it into the very frames the viewer
// showed, frame-rate text included (both count the same clock).
TEST_F(KeyedRun, AFlightWithEveryKeyReplaysFrameForFrame) {
    Script[3] = {Press(SDLK_SPACE)};
    Script[6] = {Press(SDLK_SPACE), Press(SDLK_UP), Press(SDLK_UP)};
    Script[10] = {Press(SDLK_DOWN), Press(SDLK_DOWN), Press(SDLK_DOWN)};
    Script[14] = {Press(SDLK_TAB), Key(SDL_KEYDOWN, SDLK_w)};
    Script[17] = {Drag(40, -25), Key(SDL_KEYDOWN, SDLK_d), Key(SDL_KEYDOWN, SDLK_e)};
    Script[20] = {Key(SDL_KEYUP, SDLK_w), Key(SDL_KEYUP, SDLK_d), Drag(-15, 30)};
    Script[23] = {Key(SDL_KEYUP, SDLK_e), Press(SDLK_r)};
    Script[26] = {Press(SDLK_TAB), Key(SDL_KEYDOWN, SDLK_s), Press(SDLK_TAB)};
    constexpr int64_t Frames = 30;
    ASSERT_TRUE(Run(Frames));
    std::vector<FlightCamera> flight;
    std::string error;
    ASSERT_TRUE(ReadFlight("flight.txt", flight, error)) << error;
    ASSERT_EQ(flight.size(), size_t{Frames});
    const auto at = [&flight](int64_t frame) { return flight[size_t(frame - 1)]; };
    // Frame k's camera was placed before its events; paused from frame 4 to 7.
    EXPECT_TRUE(Same(at(4).Position, at(5).Position) && Same(at(5).Position, at(7).Position));
    EXPECT_FALSE(Same(at(7).Position, at(8).Position));
    EXPECT_NEAR(Distance(at(8).Position, at(9).Position), 2000.0, 1e-6);   // four times
    EXPECT_NEAR(Distance(at(12).Position, at(13).Position), 250.0, 1e-6);  // four, then 1/2
    EXPECT_NEAR(Distance(at(16).Position, at(17).Position), 250.0, 1e-6);  // forward, free
    EXPECT_TRUE(Same(at(16).Direction, at(15).Direction));
    EXPECT_FALSE(Same(at(18).Direction, at(17).Direction));  // the drag turned it
    EXPECT_NEAR(Dot(at(18).Direction, at(18).Up), 0.0, 1e-12);
    // Forward, right and up at once: along three orthonormal axes.
    EXPECT_NEAR(Distance(at(18).Position, at(19).Position), 250.0 * std::sqrt(3.0), 1e-6);
    EXPECT_TRUE(Same(at(24).Position, at(14).Position) || Same(at(24).Position, at(15).Position));
    EXPECT_TRUE(Same(at(24).Up, Vec3{0, 0, 1}));
    EXPECT_EQ(Replay(Frames), FrameHashes);
}

// F12 and P save the shown picture, frame-rate text included, named by its frame, never
// replacing a file; the help text is drawn over the picture while H or F1 has it on, and
// leaves the next frames as they were once off again.
TEST_F(KeyedRun, SavedPicturesAndTheHelpText) {
    Script[2] = {Press(SDLK_F12), Press(SDLK_p)};
    Script[4] = {Press(SDLK_h)};
    Script[5] = {Press(SDLK_F12), Press(SDLK_F1)};
    ASSERT_TRUE(Run(7));
    ASSERT_EQ(FrameHashes.size(), 7u);
    EXPECT_EQ(HashPng("frame-000002.png"), FrameHashes[1]);
    EXPECT_EQ(HashPng("frame-000002-1.png"), FrameHashes[1]);
    EXPECT_EQ(HashPng("frame-000005.png"), FrameHashes[4]);
    const std::vector<uint64_t> plain = Replay(7);
    for (size_t frame = 0; frame < 7; ++frame) {
        const bool help = frame == 4;  // only frame 5 was drawn with the help on
        EXPECT_EQ(plain[frame] != FrameHashes[frame], help) << frame + 1;
    }
}

// F11 and Alt+Enter switch between full screen and a window, whichever the run began with;
// Enter alone does nothing.
TEST_F(KeyedRun, F11AndAltEnterSwitchFullScreen) {
    Script[1] = {Press(SDLK_F11)};
    Script[2] = {Key(SDL_KEYDOWN, SDLK_RETURN, KMOD_LALT)};
    Script[3] = {Press(SDLK_RETURN)};
    ASSERT_TRUE(Run(4));
    EXPECT_EQ(FullScreen, (std::vector<bool>{true, false, true, true}));
    FullScreen.clear();
    ASSERT_TRUE(Run(4, true));
    EXPECT_EQ(FullScreen, (std::vector<bool>{false, true, false, false}));
}

}  // namespace
