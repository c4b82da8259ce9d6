// frame_bench.cpp: the mean CPU time per frame over frames 1 to 4000 of the orbit, for the
// cached renderer, full re-projection and the memory floor, on two galaxies; and the projection
// cache's own share (MarkCells and ReprojectCells) on the sample galaxy.
//
// One iteration flies frames 1 to 4000 from a fresh start-up (untimed), so the Time and CPU
// columns are per 4000 frames. The counters are per frame: frame_time (seconds) and frame_us,
// the mean CPU time of this thread in each frame's timed part, read around that part alone;
// reprojected, the mean number of cells re-projected.
// No variant includes the flip (the in-memory display's 1.9 MB copy), which presents rather than
// draws the frame.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/frame_workload.h"
#include "display/display.h"
#include "view/cache.h"

namespace {

using frame_workload::Variant;

void RunFrames(benchmark::State& state, const std::string& galaxy, Variant variant) {
    double frameSeconds = 0.0;
    double reprojected = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        const bool started = frame_workload::StartScene(galaxy);
        state.ResumeTiming();
        if (!started) {
            state.SkipWithError("could not start the scene");
            break;
        }
        double seconds = 0.0;
        int64_t cells = 0;
        for (int frame = 1; frame <= frame_workload::Frames; ++frame) {
            if (variant == Variant::Floor) {
                state.PauseTiming();
                frame_workload::PrepareFrame(variant);
                state.ResumeTiming();
            }
            const double start = frame_workload::ThreadSeconds();
            frame_workload::RunFrame(variant);
            seconds += frame_workload::ThreadSeconds() - start;
            frame_workload::FinishFrame(variant);
            cells += variant == Variant::Full ? CellCount : FlaggedCellCount();
        }
        frameSeconds += seconds / frame_workload::Frames;
        reprojected += static_cast<double>(cells) / frame_workload::Frames;
    }
    ShutdownDisplay();
    // frame_time (seconds) is what scripts/bench divides for its ratios; frame_us is for people.
    state.counters["frame_time"] =
        benchmark::Counter(frameSeconds, benchmark::Counter::kAvgIterations);
    state.counters["frame_us"] =
        benchmark::Counter(frameSeconds * 1e6, benchmark::Counter::kAvgIterations);
    state.counters["reprojected"] =
        benchmark::Counter(reprojected, benchmark::Counter::kAvgIterations);
}

const std::string& SampleGalaxy() {
    static const std::string path = frame_workload::WriteSampleGalaxy();
    return path;
}

const std::string& DistinctGalaxy() {
    static const std::string path = frame_workload::WriteOrderedDistinctGalaxy();
    return path;
}

void CachedSample(benchmark::State& state) {
    RunFrames(state, SampleGalaxy(), Variant::Cached);
}
void FullSample(benchmark::State& state) {
    RunFrames(state, SampleGalaxy(), Variant::Full);
}
void FloorSample(benchmark::State& state) {
    RunFrames(state, SampleGalaxy(), Variant::Floor);
}
void CacheSample(benchmark::State& state) {
    RunFrames(state, SampleGalaxy(), Variant::CacheOnly);
}
void CachedDistinct(benchmark::State& state) {
    RunFrames(state, DistinctGalaxy(), Variant::Cached);
}
void FullDistinct(benchmark::State& state) {
    RunFrames(state, DistinctGalaxy(), Variant::Full);
}
void FloorDistinct(benchmark::State& state) {
    RunFrames(state, DistinctGalaxy(), Variant::Floor);
}

}  // namespace

BENCHMARK(CachedSample)->Name("Frame/cached/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(FullSample)->Name("Frame/full/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(FloorSample)->Name("Frame/floor/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(CacheSample)->Name("Cache/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(CachedDistinct)->Name("Frame/cached/distinct")->Unit(benchmark::kMillisecond);
BENCHMARK(FullDistinct)->Name("Frame/full/distinct")->Unit(benchmark::kMillisecond);
BENCHMARK(FloorDistinct)->Name("Frame/floor/distinct")->Unit(benchmark::kMillisecond);
