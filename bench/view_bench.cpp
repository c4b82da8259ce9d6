// view_bench.cpp: projection throughput over all 17225 slots of the sample galaxy.
#include <benchmark/benchmark.h>

#include "bench/frame_workload.h"
#include "data/star.h"
#include "display/display.h"
#include "view/cache.h"
#include "view/camera.h"
#include "view/projection.h"

namespace {

// Projects every slot of the started sample galaxy with the first frame's camera.
void ProjectSample(benchmark::State& state, double focalDistance) {
    if (!frame_workload::StartScene(frame_workload::WriteSampleGalaxy())) {
        state.SkipWithError("could not start the scene");
        return;
    }
    for (auto _ : state) {
        ProjectRange(MakeProjector(Camera.Position, Camera.Direction, Camera.Up, focalDistance),
                     StarArray.data(), ProjectedStarArray.data(), 0, MaxStars);
        benchmark::DoNotOptimize(ProjectedStarArray.data());
        benchmark::ClobberMemory();
    }
    ShutdownDisplay();
    state.SetItemsProcessed(state.iterations() * MaxStars);
}

void ProjectCentral(benchmark::State& state) {
    ProjectSample(state, 1000.0);
}
void ProjectParallel(benchmark::State& state) {
    ProjectSample(state, 0.0);
}

}  // namespace

BENCHMARK(ProjectCentral)->Name("ProjectPoints/central");
BENCHMARK(ProjectParallel)->Name("ProjectPoints/parallel");
