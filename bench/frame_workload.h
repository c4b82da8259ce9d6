// frame_workload.h: the galaxies and the per-frame variants that the frame benchmarks and
// galaxy-frame-trace time (cached, full re-projection, and the memory floor), and a quiet start.
#pragma once

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/scene.h"
#include "bench/bench_galaxies.h"
#include "data/cells.h"
#include "display/display.h"
#include "render/frame.h"
#include "view/cache.h"
#include "view/camera.h"

namespace frame_workload {

inline constexpr int Frames = 4000;  // frames 1 to 4000 of the orbit, the close pass included

// The galaxies the frames are timed on.
using bench_galaxies::WriteOrderedDistinctGalaxy;
using bench_galaxies::WriteSampleGalaxy;

// Sends standard output to /dev/null for as long as it lives: the loader writes the galaxy's
// header there, and the benchmarks' own output must stay clean for CSV.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (Saved >= 0) {
            dup2(Saved, STDOUT_FILENO);
            close(Saved);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int Saved = dup(STDOUT_FILENO);  // standard output as it was, or -1
};

// A fresh in-memory display and scene on the galaxy, ready for frame 1.
inline bool StartScene(const std::string& galaxy) {
    ShutdownDisplay();
    ResetScene();
    if (InitDisplay(nullptr, ScreenWidth, ScreenHeight, ScreenBits) != DisplayOk) {
        return false;
    }
    const QuietStdout quiet;
    return InitScene(galaxy.c_str());
}

// CPU time of this thread: steadier than the wall clock on a shared machine.
inline double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

enum class Variant { Cached, Full, Floor, CacheOnly };

// The next frame of a variant comes in two parts: PrepareFrame, untimed, then RunFrame, timed.
//  Cached: RenderFrame without the flip: MarkCells, ReprojectCells, camera step, clear, plot,
//          text; nothing to prepare.
//  Full:   the same with every cell flagged, so every star is projected again.
//  Floor:  the clear and the plot of this frame's positions; the cache update and camera step
//          that produce them are the preparation, so the floor plots exactly what Cached plots.
//  CacheOnly: MarkCells and ReprojectCells alone, the projection cache's own cost; the camera
//          step that follows is the caller's (FinishFrame), outside the timing.
inline void PrepareFrame(Variant variant) {
    if (variant == Variant::Floor) {
        MarkCells();
        ReprojectCells();
        StepCamera();
    }
}

// Flags every cell, so the next ReprojectCells projects every star: what the cache saves.
inline void MarkAllCells() {
    for (Cell& cell : CellTable) {
        cell.ReprojectFlag = 1;
    }
}

inline void RunFrame(Variant variant) {
    if (variant == Variant::Floor) {
        ClearAndPlot();
        return;
    }
    if (variant == Variant::CacheOnly) {
        MarkCells();
        ReprojectCells();
        return;
    }
    if (variant == Variant::Cached) {
        MarkCells();
    } else {
        MarkAllCells();
    }
    ReprojectCells();
    DrawFrame();
}

// What a variant leaves of its frame for after the timing: the CacheOnly camera step.
inline void FinishFrame(Variant variant) {
    if (variant == Variant::CacheOnly) {
        StepCamera();
    }
}

// Prepares and runs the next frame; returns the CPU seconds of its timed part.
inline double TimedFrame(Variant variant) {
    PrepareFrame(variant);
    const double start = ThreadSeconds();
    RunFrame(variant);
    const double seconds = ThreadSeconds() - start;
    FinishFrame(variant);
    return seconds;
}

}  // namespace frame_workload
