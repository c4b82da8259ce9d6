// grouping_bench.cpp: time of the cell grouping, the fast one beside the plain gather.
//
// Each iteration groups the same input: StarArray is restored from it while the timer is
// paused, so only the grouping (SortStarsByCell or GatherStarsByCell), CountCells and
// BuildCells count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>

#include "bench/bench_galaxies.h"
#include "data/cells.h"
#include "data/star.h"

namespace {

using Stars = std::array<Star, MaxStars>;

// A galaxy-like input: an exponential disk of scale 3 file units with two spiral arms and a
// thin vertical spread, filling every slot but the last; deterministic for a given library.
Stars SampleGalaxy() {
    Stars stars{};
    std::mt19937_64 rng(2);
    std::exponential_distribution<double> radius(1.0 / 3.0);
    std::normal_distribution<double> spread(0.0, 0.3);
    std::uniform_int_distribution<int> arm(0, 1);
    for (int32_t slot = 0; slot < MaxStars - 1; ++slot) {
        const double r = std::min(radius(rng), 12.0);
        const double angle = 3.0 * std::log(1.0 + r) + 3.14159265358979 * arm(rng) + spread(rng);
        const double height = spread(rng) * 0.5;
        stars[slot] =
            Star{r * std::cos(angle) * 100000.0, r * std::sin(angle) * 100000.0, height * 100000.0};
    }
    return stars;
}

// Groups `input` with `sort` (the fast or the plain grouping), then counts and builds cells.
void GroupWith(benchmark::State& state, const Stars& input, void (*sort)()) {
    ResetStars();  // the slots exist only once allocated, whatever ran before
    std::copy(input.begin(), input.end(), StarArray.begin());
    sort();
    CountCells();
    AllocateCellArrays();  // once: every iteration finds the same number of cells
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(input.begin(), input.end(), StarArray.begin());
        state.ResumeTiming();
        sort();
        CountCells();
        BuildCells();
        benchmark::DoNotOptimize(CellTable.data());
    }
    state.counters["cells"] = CellCount;
    ResetCells();
    ResetStars();
}

void GroupOurs(benchmark::State& state, const Stars& input) {
    GroupWith(state, input, [] {
        if (!SortStarsByCell()) {
            std::abort();
        }
    });
}

void GroupLiteral(benchmark::State& state, const Stars& input) {
    GroupWith(state, input, GatherStarsByCell);
}

void GroupDistinct(benchmark::State& state) {
    GroupOurs(state, bench_galaxies::DistinctStars());
}
void GroupLiteralDistinct(benchmark::State& state) {
    GroupLiteral(state, bench_galaxies::DistinctStars());
}
void GroupSample(benchmark::State& state) {
    GroupOurs(state, SampleGalaxy());
}
void GroupLiteralSample(benchmark::State& state) {
    GroupLiteral(state, SampleGalaxy());
}

BENCHMARK(GroupDistinct)->Name("Group/distinct")->Unit(benchmark::kMillisecond);
BENCHMARK(GroupLiteralDistinct)->Name("GroupLiteral/distinct")->Unit(benchmark::kMillisecond);
BENCHMARK(GroupSample)->Name("Group/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(GroupLiteralSample)->Name("GroupLiteral/sample")->Unit(benchmark::kMillisecond);

}  // namespace
