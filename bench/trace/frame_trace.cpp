// frame_trace.cpp: galaxy-frame-trace, the time of every frame of the first 4000, for the chart.
//
// Usage: galaxy-frame-trace [--repeats N] [--galaxy FILE] > frames.csv
//
// Flies frames 1 to 4000 of the orbit once per variant and repeat, and writes to standard
// output the CSV
//     frame,cached_us,full_us,floor_us,reprojected_cells
// with, per frame, the median over the repeats (default 3) of the CPU microseconds of
//     cached  RenderFrame without the flip (cache update, camera step, clear, plot, text),
//     full    the same with every cell re-projected,
//     floor   the clear and the plot of the same frame's already projected stars,
// and the number of cells the cached frame re-projected. The galaxy is galaxy-generate's
// default one unless FILE is given. Progress and errors go to standard error.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/frame_workload.h"
#include "display/display.h"
#include "view/cache.h"

namespace {

using frame_workload::Frames;
using frame_workload::Variant;

constexpr std::array<Variant, 3> Variants{Variant::Cached, Variant::Full, Variant::Floor};

struct Options {
    int repeats = 5;
    std::string galaxy;  // empty: write the default sample galaxy
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--repeats") == 0 && hasValue) {
            options.repeats = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--galaxy") == 0 && hasValue) {
            options.galaxy = argv[++i];
        } else {
            return false;
        }
    }
    return options.repeats >= 1;
}

double Median(std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: galaxy-frame-trace [--repeats N>=1] [--galaxy FILE]\n");
        return 2;
    }
    const std::string galaxy =
        options.galaxy.empty() ? frame_workload::WriteSampleGalaxy() : options.galaxy;
    const size_t repeats = static_cast<size_t>(options.repeats);
    // times[variant][frame - 1][repeat], all allocated before the first frame.
    std::vector<std::vector<std::vector<double>>> times(
        Variants.size(), std::vector<std::vector<double>>(Frames, std::vector<double>(repeats)));
    std::vector<int32_t> reprojected(Frames);
    // Passes of the three variants take turns, so that a burst of load on a shared machine
    // falls on one pass of each rather than on all passes of one.
    for (size_t repeat = 0; repeat < repeats; ++repeat) {
        for (size_t v = 0; v < Variants.size(); ++v) {
            std::fprintf(stderr, "galaxy-frame-trace: pass %zu of %zu, variant %zu of 3\n",
                         repeat + 1, repeats, v + 1);
            if (!frame_workload::StartScene(galaxy)) {
                std::fprintf(stderr, "galaxy-frame-trace: cannot start on %s\n", galaxy.c_str());
                return 1;
            }
            for (int frame = 1; frame <= Frames; ++frame) {
                const size_t f = static_cast<size_t>(frame - 1);
                times[v][f][repeat] = frame_workload::TimedFrame(Variants[v]) * 1e6;
                if (Variants[v] == Variant::Cached) {
                    reprojected[f] = FlaggedCellCount();
                }
            }
        }
    }
    ShutdownDisplay();
    std::printf("frame,cached_us,full_us,floor_us,reprojected_cells\n");
    for (size_t f = 0; f < static_cast<size_t>(Frames); ++f) {
        std::printf("%zu,%.3f,%.3f,%.3f,%d\n", f + 1, Median(times[0][f]), Median(times[1][f]),
                    Median(times[2][f]), reprojected[f]);
    }
    return 0;
}
