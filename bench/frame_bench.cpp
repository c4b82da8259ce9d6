// frame_bench.cpp: the mean CPU time per frame over frames 1 to 4000 of the orbit, for the
// cached renderer, full re-projection and the memory floor, on two galaxies.
//
// One iteration flies frames 1 to 4000 from a fresh start-up (untimed). The Time column is the
// CPU time of those 4000 frames' timed parts; the counter frame_us is the mean per frame, and
// frame_time the same in seconds, and reprojected the mean number of cells re-projected per frame.
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
        if (!frame_workload::StartScene(galaxy)) {
            state.SkipWithError("could not start the scene");
            break;
        }
        double seconds = 0.0;
        int64_t cells = 0;
        for (int frame = 1; frame <= frame_workload::Frames; ++frame) {
            seconds += frame_workload::TimedFrame(variant);
            cells += FlaggedCellCount();
        }
        state.SetIterationTime(seconds);
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
    static const std::string path = frame_workload::WriteDistinctGalaxy();
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

BENCHMARK(CachedSample)
    ->Name("Frame/cached/sample")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FullSample)->Name("Frame/full/sample")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FloorSample)->Name("Frame/floor/sample")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(CachedDistinct)
    ->Name("Frame/cached/distinct")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FullDistinct)
    ->Name("Frame/full/distinct")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FloorDistinct)
    ->Name("Frame/floor/distinct")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
