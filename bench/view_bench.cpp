// view_bench.cpp: projection throughput and the per-frame cost of the projection cache.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <tuple>

#include "data/cells.h"
#include "data/star.h"
#include "view/cache.h"
#include "view/camera.h"
#include "view/projection.h"

namespace {

constexpr int CacheFrames = 4000;  // the first frames of the orbit, close pass included

// A small deterministic generator, so every run flies through the same galaxy.
struct SplitMix {
    uint64_t state;
    double Uniform() {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z = z ^ (z >> 31);
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    }
    double Normal() {
        const double u = 1.0 - Uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * Uniform());
    }
};

// In file units: an exponential disk with two logarithmic arms, a bulge and a thin spread.
Vec3 SampleStar(SplitMix& random, int index) {
    if (index % 5 == 0) {
        return {0.9 * random.Normal(), 0.9 * random.Normal(), 0.5 * random.Normal()};
    }
    const double radius = std::min(8.0, 0.3 - 2.5 * std::log(1.0 - random.Uniform()));
    const double arm = index % 2 == 0 ? 0.0 : std::numbers::pi;
    const double angle = arm + std::log(radius) / 0.3 + 0.35 * random.Normal();
    return {radius * std::cos(angle), radius * std::sin(angle), 0.12 * random.Normal()};
}

std::tuple<int64_t, int64_t, int64_t> KeyOfStar(const Vec3& star) {
    return {static_cast<int64_t>(star.x * 0.00001), static_cast<int64_t>(star.y * 0.00001),
            static_cast<int64_t>(star.z * 0.00001)};
}

// Fills StarArray with 17224 sample stars (the last slot stays at the origin) and groups them
// into cells by sorting on the key.
void BuildSampleGalaxy() {
    ResetStars();
    ResetCells();
    ResetProjectionCache();
    SplitMix random{20251206};
    for (int i = 0; i + 1 < MaxStars; ++i) {
        const Vec3 star = SampleStar(random, i);
        StarArray[static_cast<std::size_t>(i)] = {star.x * 100000.0, star.y * 100000.0,
                                                  star.z * 100000.0};
    }
    std::sort(StarArray.begin(), StarArray.end(),
              [](const Vec3& a, const Vec3& b) { return KeyOfStar(a) < KeyOfStar(b); });
    for (std::size_t i = 0; i < StarArray.size(); ++i) {
        if (i == 0 || KeyOfStar(StarArray[i]) != KeyOfStar(StarArray[i - 1])) {
            const auto [kx, ky, kz] = KeyOfStar(StarArray[i]);
            CellTable.push_back(Cell{static_cast<int32_t>(i), 0, {}, 0});
            CellCentre.push_back({100000.0 * static_cast<double>(kx) + 50000.0,
                                  100000.0 * static_cast<double>(ky) + 50000.0,
                                  100000.0 * static_cast<double>(kz) + 50000.0});
        }
        CellTable.back().EndStar = static_cast<int32_t>(i + 1);
    }
    CellCount = static_cast<int32_t>(CellTable.size());
    AllocateProjectedCentre();
}

void ProjectSample(benchmark::State& state, double focalDistance) {
    BuildSampleGalaxy();
    ResetCamera();
    StepCamera();
    for (auto _ : state) {
        ProjectPoints(StarArray.data(), ProjectedStarArray.data(), Camera.Position,
                      Camera.Direction, Camera.Up, focalDistance, 0, MaxStars);
        benchmark::DoNotOptimize(ProjectedStarArray.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * MaxStars);
}

void ProjectCentral(benchmark::State& state) {
    ProjectSample(state, 1000.0);
}
void ProjectParallel(benchmark::State& state) {
    ProjectSample(state, 0.0);
}

// One iteration is start-up plus the first CacheFrames frames' cache work and camera steps.
void CacheSample(benchmark::State& state) {
    BuildSampleGalaxy();
    int64_t flagged = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ResetCamera();
        StepCamera();
        BuildProjectionCache();
        state.ResumeTiming();
        for (int frame = 0; frame < CacheFrames; ++frame) {
            MarkCells();
            ReprojectCells();
            flagged += FlaggedCellCount();
            StepCamera();
        }
        benchmark::ClobberMemory();
    }
    const double frames = static_cast<double>(state.iterations()) * CacheFrames;
    state.counters["cells"] = CellCount;
    state.counters["flagged/frame"] = static_cast<double>(flagged) / frames;
    state.counters["time/frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(ProjectCentral)->Name("ProjectPoints/central");
BENCHMARK(ProjectParallel)->Name("ProjectPoints/parallel");
BENCHMARK(CacheSample)->Name("Cache/sample")->Unit(benchmark::kMillisecond);
