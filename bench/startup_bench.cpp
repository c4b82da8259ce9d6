// startup_bench.cpp: time from a galaxy file in the page cache to the first projected frame.
//
// The galaxies are bench_galaxies.h's: "sample" is galaxy-generate's default output, made by the
// tool's own code; "distinct" puts 17224 stars each in a cell of its own, in shuffled order.
// Each iteration puts the program-wide state back (not timed) and runs InitScene, whose
// standard output goes to /dev/null while the benchmark runs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "app/scene.h"
#include "bench/bench_galaxies.h"
#include "bench/frame_workload.h"
#include "data/loader.h"
#include "data/star.h"

namespace {

void StartUp(benchmark::State& state, const std::string& path) {
    const frame_workload::QuietStdout quiet;
    for (auto _ : state) {
        state.PauseTiming();
        ResetScene();
        state.ResumeTiming();
        benchmark::DoNotOptimize(InitScene(path.c_str()));
    }
    ResetScene();
}

void Load(benchmark::State& state, const std::string& path) {
    const frame_workload::QuietStdout quiet;
    ResetStars();  // the slots exist only once allocated, whatever ran before
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            LoadGalaxy(StarArray.data(), StarTag.data(), path.c_str(), MaxStars, 1));
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(path)));
    ResetStars();
}

void StartupSample(benchmark::State& state) {
    StartUp(state, bench_galaxies::WriteSampleGalaxy());
}
void StartupDistinct(benchmark::State& state) {
    StartUp(state, bench_galaxies::WriteDistinctGalaxy());
}
void LoadSample(benchmark::State& state) {
    Load(state, bench_galaxies::WriteSampleGalaxy());
}
void LoadDistinct(benchmark::State& state) {
    Load(state, bench_galaxies::WriteDistinctGalaxy());
}

BENCHMARK(StartupSample)->Name("Startup/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(StartupDistinct)->Name("Startup/distinct")->Unit(benchmark::kMillisecond);
BENCHMARK(LoadSample)->Name("Load/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(LoadDistinct)->Name("Load/distinct")->Unit(benchmark::kMillisecond);

}  // namespace
