// startup_scale_bench.cpp: start-up on galaxies of a million and ten million stars, and the
// bare read of the larger file, the floor no loader can go below.
//
// Startup/<size>: StartScene with the capacity fitted to the file (load, group, count, allocate,
// build, first camera step and projection cache) on every thread, from a file in the page cache.
// Each iteration puts the program-wide state back first (not timed); the header the loader
// echoes goes to /dev/null. The counter peak_rss_mb is the process's resident peak during the
// start-up alone: the kernel's high-water mark is reset just before it (/proc/self/clear_refs).
// ReadFile/10M: the file's bytes read once with read(2) into a buffer allocated and touched
// beforehand, so that only the copy out of the page cache is timed.
//
// The galaxies are galaxy-generate's (default seed), made once with the built tool found beside
// galaxy-render (GALAXY_RENDER, or the build tree's tools/ folder) and kept in the build folder
// as bench-galaxy-1M.dat and bench-galaxy-10M.dat (32 and 315 MB), since the larger takes
// seconds to write. Start-up runs many threads, so every benchmark here is timed on the wall
// clock (UseRealTime). A ten-million-star start-up takes a second or two: one iteration per
// repetition, and three repetitions whatever the command line asks for.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/scene.h"
#include "bench/frame_workload.h"
#include "bench/scale_galaxies.h"
#include "data/loader.h"

namespace {

namespace fs = std::filesystem;

using scale_galaxies::Galaxy10M;
using scale_galaxies::Galaxy1M;

// Reads the whole file into buffer with read(2); false on any error or a short file.
bool ReadWhole(const fs::path& path, std::vector<char>& buffer) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t got = read(file, buffer.data() + done, buffer.size() - done);
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    close(file);
    return done == buffer.size();
}

// The resident peak is set back to the present size (Linux 4.0 and later); false if it cannot.
bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

// The resident peak (VmHWM) in bytes, or 0 if it cannot be read.
double PeakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            double kilobytes = 0.0;
            status >> kilobytes;
            return kilobytes * 1024.0;
        }
        status.ignore(4096, '\n');
    }
    return 0.0;
}

// Brings the file into the page cache, so that every timed run reads it from memory.
bool WarmPageCache(const fs::path& path) {
    std::error_code error;
    const auto bytes = fs::file_size(path, error);
    std::vector<char> buffer(error ? 0 : bytes);
    return !error && ReadWhole(path, buffer);
}

void StartupAtScale(benchmark::State& state, const fs::path& galaxy) {
    if (galaxy.empty() || !WarmPageCache(galaxy)) {
        state.SkipWithError("cannot make the galaxy with galaxy-generate; set GALAXY_RENDER");
        return;
    }
    const frame_workload::QuietStdout quiet;
    const bool measurePeak = ResetPeakResident();
    double peak = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        ResetScene();
        ResetPeakResident();
        state.ResumeTiming();
        if (StartScene(SceneOptions{galaxy.c_str(), FitCapacity}) != SceneStatus::Ready) {
            state.SkipWithError("start-up failed");
            break;
        }
        state.PauseTiming();
        peak += PeakResidentBytes();
        state.ResumeTiming();
    }
    ResetScene();
    if (measurePeak) {
        state.counters["peak_rss_mb"] =
            benchmark::Counter(peak / 1e6, benchmark::Counter::kAvgIterations);
    }
}

void ReadFileAtScale(benchmark::State& state, const fs::path& galaxy) {
    std::error_code error;
    const auto bytes = galaxy.empty() ? 0 : fs::file_size(galaxy, error);
    if (galaxy.empty() || error) {
        state.SkipWithError("cannot make the galaxy with galaxy-generate; set GALAXY_RENDER");
        return;
    }
    std::vector<char> buffer(bytes);  // zeroed, so every page is mapped before the timing
    if (!ReadWhole(galaxy, buffer)) {
        state.SkipWithError("cannot read the galaxy");
        return;
    }
    for (auto _ : state) {
        if (!ReadWhole(galaxy, buffer)) {
            state.SkipWithError("cannot read the galaxy");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void Startup1M(benchmark::State& state) {
    StartupAtScale(state, Galaxy1M());
}
void Startup10M(benchmark::State& state) {
    StartupAtScale(state, Galaxy10M());
}
void ReadFile10M(benchmark::State& state) {
    ReadFileAtScale(state, Galaxy10M());
}

BENCHMARK(Startup1M)->Name("Startup/1M")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Startup10M)
    ->Name("Startup/10M")
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ReadFile10M)->Name("ReadFile/10M")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
