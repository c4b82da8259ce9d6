// frame_timing.cpp: galaxy-frame-timing, the wall time of each of the first frames of the orbit
// on any galaxy with any number of threads, for the scale charts (scripts/perf-chart).
//
// Usage: galaxy-frame-timing FILE [--threads N] [--frames K] [--variant cached|floor] > out.csv
//
// Starts the scene on FILE with the capacity fitted to it, then times frames 1 to K (default
// 2000) and writes the CSV
//     frame,us,reprojected_cells
// with the wall-clock microseconds of each frame's timed part (the variants of
// bench/frame_workload.h: cached is the viewer's frame without the flip, floor the clear and
// plot alone) and the cells it re-projected. The wall clock, not this thread's CPU time,
// because the work is spread over threads. One summary line goes to standard error:
//     stars S, cells C, threads N, start-up T s, peak RSS R MiB
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/scene.h"
#include "bench/frame_workload.h"
#include "data/cells.h"
#include "data/loader.h"
#include "data/parallel.h"
#include "display/display.h"
#include "view/cache.h"

namespace {

using frame_workload::Variant;

struct Options {
    std::string Galaxy;
    int32_t Threads = ProcessorCount();
    int32_t Frames = 2000;
    Variant Kind = Variant::Cached;
};

// A whole decimal number in [1, limit], or 0.
int32_t CountArgument(const char* text, int32_t limit) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    const bool whole = *text != '\0' && *end == '\0';
    return whole && value >= 1 && value <= limit ? static_cast<int32_t>(value) : 0;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--threads") == 0 && hasValue) {
            options.Threads = CountArgument(argv[++i], MaxThreads);
        } else if (std::strcmp(argv[i], "--frames") == 0 && hasValue) {
            options.Frames = CountArgument(argv[++i], 1'000'000);
        } else if (std::strcmp(argv[i], "--variant") == 0 && hasValue) {
            const std::string name = argv[++i];
            if (name != "cached" && name != "floor") {
                return false;
            }
            options.Kind = name == "cached" ? Variant::Cached : Variant::Floor;
        } else if (argv[i][0] != '-' && options.Galaxy.empty()) {
            options.Galaxy = argv[i];
        } else {
            return false;
        }
    }
    return !options.Galaxy.empty() && options.Threads >= 1 && options.Frames >= 1;
}

double WallSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Display and scene on the galaxy, every record kept; false if either cannot be had.
bool Start(const std::string& galaxy, double& seconds) {
    if (InitDisplay(nullptr, ScreenWidth, ScreenHeight, ScreenBits) != DisplayOk) {
        return false;
    }
    const frame_workload::QuietStdout quiet;
    const double start = WallSeconds();
    const bool ready = StartScene(SceneOptions{galaxy.c_str(), FitCapacity}) == SceneStatus::Ready;
    seconds = WallSeconds() - start;
    return ready;
}

double PeakResidentMebibytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: galaxy-frame-timing FILE [--threads N] [--frames K] "
                     "[--variant cached|floor]\n");
        return 2;
    }
    SetThreadCount(options.Threads);
    double startup = 0.0;
    if (!Start(options.Galaxy, startup)) {
        std::fprintf(stderr, "galaxy-frame-timing: cannot start on %s\n", options.Galaxy.c_str());
        ShutdownDisplay();
        return 1;
    }
    const auto frames = static_cast<size_t>(options.Frames);
    std::vector<double> micros(frames);
    std::vector<int32_t> reprojected(frames);
    for (size_t frame = 0; frame < frames; ++frame) {
        frame_workload::PrepareFrame(options.Kind);
        const double start = WallSeconds();
        frame_workload::RunFrame(options.Kind);
        micros[frame] = (WallSeconds() - start) * 1e6;
        frame_workload::FinishFrame(options.Kind);
        reprojected[frame] = FlaggedCellCount();
    }
    ShutdownDisplay();
    std::printf("frame,us,reprojected_cells\n");
    for (size_t frame = 0; frame < frames; ++frame) {
        std::printf("%zu,%.1f,%d\n", frame + 1, micros[frame], reprojected[frame]);
    }
    std::fprintf(stderr, "stars %d, cells %d, threads %d, start-up %.3f s, peak RSS %.0f MiB\n",
                 StarSlots(), CellCount, ThreadCount(), startup, PeakResidentMebibytes());
    return 0;
}
