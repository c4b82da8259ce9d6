// grouping_bench.cpp: time of the cell grouping, ours beside the step-by-step reference.
//
// Each iteration groups the same input: StarArray (or the reference's copy) is restored from
// it while the timer is paused, so only SortStarsByCell, CountCells and BuildCells count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "data/cells.h"
#include "data/star.h"
#include "tests/support/literal_grouping.h"

namespace {

// The worst case: 17224 stars each in a cell of its own, shuffled, and the last slot at the
// origin as the loader leaves it; the reference then rescans the rest for every cell.
literal::Stars DistinctCells() {
    literal::Stars stars{};
    const auto middle = [](int32_t key) { return (key + (key < 0 ? -0.5 : 0.5)) * 100000.0; };
    for (int32_t slot = 0; slot < MaxStars - 1; ++slot) {
        stars[slot] =
            Star{middle(slot % 32 - 16), middle(slot / 32 % 32 - 16), middle(slot / 1024 + 1)};
    }
    std::mt19937_64 rng(1);
    std::shuffle(stars.begin(), stars.end() - 1, rng);
    return stars;
}

// A galaxy-like input: an exponential disk of scale 3 file units with two spiral arms and a
// thin vertical spread, filling every slot but the last; deterministic for a given library.
literal::Stars SampleGalaxy() {
    literal::Stars stars{};
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

void GroupOurs(benchmark::State& state, const literal::Stars& input) {
    StarArray = input;
    SortStarsByCell();
    CountCells();
    AllocateCellArrays();  // once: every iteration finds the same number of cells
    for (auto _ : state) {
        state.PauseTiming();
        StarArray = input;
        state.ResumeTiming();
        SortStarsByCell();
        CountCells();
        BuildCells();
        benchmark::DoNotOptimize(CellTable.data());
    }
    state.counters["cells"] = CellCount;
    ResetCells();
    ResetStars();
}

void GroupLiteral(benchmark::State& state, const literal::Stars& input) {
    literal::Stars stars{};
    int32_t count = 0;
    for (auto _ : state) {
        state.PauseTiming();
        stars = input;
        state.ResumeTiming();
        literal::SortStarsByCell(stars);
        count = literal::CountCells(stars);
        benchmark::DoNotOptimize(literal::BuildCells(stars));
    }
    state.counters["cells"] = count;
}

void GroupDistinct(benchmark::State& state) {
    GroupOurs(state, DistinctCells());
}
void GroupLiteralDistinct(benchmark::State& state) {
    GroupLiteral(state, DistinctCells());
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
