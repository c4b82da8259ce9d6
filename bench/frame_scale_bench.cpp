// frame_scale_bench.cpp: frames of galaxies of a million and ten million stars: the whole frame
// on every thread against one thread's clear and plot of the same positions.
//
// Frame/cached/<size>: MarkCells, ReprojectCells and DrawFrame (camera step, clear, plot,
// overlay), RenderFrame without the flip, on every thread (data/parallel.h).
// Frame/floor/<size>: the same frames' clear and plot alone, on one thread: the memory work of
// drawing already projected stars as one thread has always done it. The cache update and camera
// step that give its positions come first, on every thread and not timed.
//
// One iteration flies frames 1 to 300 (five seconds of the viewer's flight) from the state
// start-up leaves: camera back at its start, one step, the first projection, all untimed. The
// scene is started once per galaxy and kept, since the larger takes seconds to load. Several
// threads share a frame, so each frame's timed part is read on the wall clock (manual time:
// the Time column is per 300 frames). Counters, per frame: frame_ms and frame_time (seconds),
// the mean; reprojected, the mean number of cells re-projected; drawn, the mean number of stars
// drawn; threads, how many the frames ran on. The ten-million-star variants run one iteration
// per repetition (some ten seconds for the cached frames, twenty for the floor's).
//
// The galaxies are galaxy-generate's (default seed), made once with the built tool found beside
// galaxy-render (GALAXY_RENDER, or the build tree's tools/ folder) and kept in the build folder
// as bench-galaxy-1M.dat and bench-galaxy-10M.dat (32 and 315 MB), as the start-up benchmarks
// keep them.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/scene.h"
#include "bench/frame_workload.h"
#include "bench/scale_galaxies.h"
#include "data/cells.h"
#include "data/loader.h"
#include "data/parallel.h"
#include "display/display.h"
#include "render/frame.h"
#include "view/cache.h"
#include "view/camera.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int Frames = 300;

using scale_galaxies::Galaxy10M;
using scale_galaxies::Galaxy1M;

// The scene this file started last: its galaxy, and the stars and cells it had, to tell that
// no other benchmark has reset or replaced it since.
struct StartedScene {
    fs::path galaxy;
    int32_t stars = 0;
    int32_t cells = 0;
};

// Starts the scene on the galaxy unless it is still the one started last; false if it cannot.
// Every thread works from here on.
bool KeepScene(const fs::path& galaxy) {
    static StartedScene started;
    SetThreadCount(ProcessorCount());
    if (started.galaxy == galaxy && started.stars == StarSlots() && started.cells == CellCount &&
        DisplayObject != nullptr) {
        return true;
    }
    started = StartedScene{};
    ShutdownDisplay();
    ResetScene();
    if (InitDisplay(nullptr, ScreenWidth, ScreenHeight, ScreenBits) != DisplayOk) {
        return false;
    }
    const frame_workload::QuietStdout quiet;
    if (StartScene(SceneOptions{galaxy.c_str(), FitCapacity}) != SceneStatus::Ready) {
        return false;
    }
    started = StartedScene{galaxy, StarSlots(), CellCount};
    return true;
}

// The state start-up leaves, before frame 1.
void BackToFirstFrame() {
    ResetCamera();
    StepCamera();
    BuildProjectionCache();
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// One frame of the variant; returns the seconds of its timed part.
double TimedFrame(bool floor) {
    if (!floor) {
        const Clock::time_point start = Clock::now();
        MarkCells();
        ReprojectCells();
        DrawFrame();
        return Seconds(Clock::now() - start);
    }
    MarkCells();
    ReprojectCells();
    StepCamera();
    const int32_t threads = ThreadCount();
    SetThreadCount(1);
    const Clock::time_point start = Clock::now();
    ClearAndPlot();
    const double seconds = Seconds(Clock::now() - start);
    SetThreadCount(threads);
    return seconds;
}

void FramesAtScale(benchmark::State& state, const fs::path& galaxy, bool floor) {
    if (galaxy.empty() || !KeepScene(galaxy)) {
        state.SkipWithError("cannot start a scene on galaxy-generate's galaxy; set GALAXY_RENDER");
        return;
    }
    double frameSeconds = 0.0, cells = 0.0, drawn = 0.0;
    for (auto _ : state) {
        BackToFirstFrame();
        double seconds = 0.0;
        for (int frame = 1; frame <= Frames; ++frame) {
            seconds += TimedFrame(floor);
            cells += FlaggedCellCount();
            drawn += DrawnStarCount();
        }
        state.SetIterationTime(seconds);
        frameSeconds += seconds / Frames;
    }
    const auto perFrame = [&state](double total) {
        return total / Frames / static_cast<double>(state.iterations());
    };
    state.counters["frame_time"] =
        benchmark::Counter(frameSeconds, benchmark::Counter::kAvgIterations);
    state.counters["frame_ms"] =
        benchmark::Counter(frameSeconds * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["reprojected"] = perFrame(cells);
    state.counters["drawn"] = perFrame(drawn);
    state.counters["threads"] = floor ? 1 : ThreadCount();
}

void Cached1M(benchmark::State& state) {
    FramesAtScale(state, Galaxy1M(), false);
}
void Floor1M(benchmark::State& state) {
    FramesAtScale(state, Galaxy1M(), true);
}
void Cached10M(benchmark::State& state) {
    FramesAtScale(state, Galaxy10M(), false);
}
void Floor10M(benchmark::State& state) {
    FramesAtScale(state, Galaxy10M(), true);
}

}  // namespace

BENCHMARK(Cached1M)->Name("Frame/cached/1M")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Floor1M)->Name("Frame/floor/1M")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Cached10M)
    ->Name("Frame/cached/10M")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Floor10M)
    ->Name("Frame/floor/10M")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
