// frame_workload.h: the galaxies and the per-frame variants that the frame benchmarks and
// galaxy-frame-trace time: cached, full re-projection, and the memory floor.
#pragma once

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/scene.h"
#include "display/display.h"
#include "render/frame.h"
#include "view/cache.h"
#include "tools/galaxy_model.h"
#include "view/camera.h"

namespace frame_workload {

inline constexpr int Frames = 4000;  // frames 1 to 4000 of the orbit, the close pass included

inline std::string TempPath(const char* name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

// The file galaxy-generate writes by default (17224 stars, its default seed), byte for byte.
inline std::string WriteSampleGalaxy() {
    const std::string path = TempPath("galaxy-bench-sample.dat");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return path;
    }
    WriteGalaxy(file, DefaultStars, DefaultSeed);
    std::fclose(file);
    return path;
}

// 17224 stars each in a cell of its own, none in the origin's cell: a slab of keys x and y in
// [-20, 19], z in [-5, 5], around the camera's circle of radius 10. With the origin slot that
// makes 17225 cells.
inline std::string WriteDistinctGalaxy() {
    const std::string path = TempPath("galaxy-bench-distinct.dat");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return path;
    }
    std::fprintf(file, "#distinct: one star per cell\r\n");
    int written = 0;
    for (int z = -5; z <= 5 && written < 17224; ++z) {
        for (int y = -20; y < 20 && written < 17224; ++y) {
            for (int x = -20; x < 20 && written < 17224; ++x) {
                if (x == 0 && y == 0 && z == 0) {
                    continue;
                }
                // Keys truncate toward zero, so negative keys sit half a cell below theirs.
                auto at = [](int key) { return key + (key < 0 ? -0.5 : 0.5); };
                std::fprintf(file, "%.1f %.1f %.1f 0\r\n", at(x), at(y), at(z));
                ++written;
            }
        }
    }
    std::fclose(file);
    return path;
}

// A fresh in-memory display and scene on the galaxy, ready for frame 1.
inline bool StartScene(const std::string& galaxy) {
    ShutdownDisplay();
    ResetScene();
    if (InitDisplay(nullptr, ScreenWidth, ScreenHeight, ScreenBits) != DisplayOk) {
        return false;
    }
    // The loader writes the galaxy's header to standard output, which must stay clean for CSV.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    const bool started = InitScene(galaxy.c_str());
    std::fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    return started;
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
