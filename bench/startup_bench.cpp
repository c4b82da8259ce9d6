// startup_bench.cpp: time from a galaxy file in the page cache to the first projected frame.
//
// The files are written once to /tmp: "sample" is galaxy-generate's default output, made by the
// tool's own code; "distinct" puts 17224 stars each in a cell of its own, in shuffled order.
// Each iteration puts the program-wide state back (not timed) and runs InitScene, whose
// standard output goes to /dev/null while the benchmark runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/scene.h"
#include "data/loader.h"
#include "data/star.h"

#include "tools/galaxy_model.h"

namespace {

// Names of this benchmark's own: the frame benchmarks write other galaxies to /tmp.
const char* const SamplePath = "/tmp/galaxy-startup-sample.dat";
const char* const DistinctPath = "/tmp/galaxy-startup-distinct.dat";

// The file written beside path; Publish renames it to path, so that a run of the
// benchmarks elsewhere never reads it half written.
std::string Staging(const char* path) {
    return std::string(path) + "." + std::to_string(::getpid());
}
void Publish(const char* path, std::FILE* file, bool written) {
    if (!written || std::fclose(file) != 0 || std::rename(Staging(path).c_str(), path) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path);
        std::exit(1);
    }
}

void WriteSample() {
    std::FILE* file = std::fopen(Staging(SamplePath).c_str(), "wb");
    Publish(SamplePath, file, file != nullptr && WriteGalaxy(file, DefaultStars, DefaultSeed));
}

// Keys run over 32 x 32 x 17 cells; each star sits in the middle of its own.
void WriteDistinct() {
    std::vector<std::string> records;
    for (int32_t star = 0; star < MaxStars - 1; ++star) {
        const auto middle = [](int32_t key) { return key + (key < 0 ? -0.5 : 0.5); };
        char record[64];
        std::snprintf(record, sizeof record, "%.1f %.1f %.1f %d\r\n", middle(star % 32 - 16),
                      middle(star / 32 % 32 - 16), middle(star / 1024 + 1), star % 4);
        records.emplace_back(record);
    }
    std::mt19937_64 rng(1);
    std::shuffle(records.begin(), records.end(), rng);
    std::FILE* file = std::fopen(Staging(DistinctPath).c_str(), "wb");
    bool written = file != nullptr && std::fputs("#Distinct cells\r\n", file) >= 0;
    for (const std::string& record : records) {
        written = written && std::fputs(record.c_str(), file) >= 0;
    }
    Publish(DistinctPath, file, written);
}

// Sends standard output to /dev/null for as long as it lives.
struct QuietStdout {
    int saved;
    QuietStdout() {
        std::fflush(stdout);
        saved = ::dup(1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
    }
};

void StartUp(benchmark::State& state, const char* path) {
    QuietStdout quiet;
    for (auto _ : state) {
        state.PauseTiming();
        ResetScene();
        state.ResumeTiming();
        benchmark::DoNotOptimize(InitScene(path));
    }
    ResetScene();
}

void Load(benchmark::State& state, const char* path) {
    QuietStdout quiet;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LoadGalaxy(StarArray.data(), StarTag.data(), path, MaxStars, 1));
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(path)));
    ResetStars();
}

void StartupSample(benchmark::State& state) {
    StartUp(state, SamplePath);
}
void StartupDistinct(benchmark::State& state) {
    StartUp(state, DistinctPath);
}
void LoadSample(benchmark::State& state) {
    Load(state, SamplePath);
}
void LoadDistinct(benchmark::State& state) {
    Load(state, DistinctPath);
}

// Writes both files before the first benchmark of this file runs.
[[maybe_unused]] const bool FilesWritten = (WriteSample(), WriteDistinct(), true);

BENCHMARK(StartupSample)->Name("Startup/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(StartupDistinct)->Name("Startup/distinct")->Unit(benchmark::kMillisecond);
BENCHMARK(LoadSample)->Name("Load/sample")->Unit(benchmark::kMillisecond);
BENCHMARK(LoadDistinct)->Name("Load/distinct")->Unit(benchmark::kMillisecond);

}  // namespace
