// parallel.cpp: threads through OpenMP. GCC's own runtime (libgomp) comes with the compiler, so
// nothing more is installed, and its static schedule hands slice i to thread i every time.
#include "data/parallel.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace {

int32_t Threads = 0;  // 0 until set: ThreadCount then gives the processor count

#ifdef _OPENMP
// Between parallel regions libgomp's idle threads spin for a while before they sleep. Where other
// programs share the cores, a spinning thread holds a core that the frame's other thread needs:
// a 1 ms region took 7 ms on a busy machine, where waking a sleeping thread costs microseconds.
// libgomp reads OMP_WAIT_POLICY once, as it is loaded, before main and before this program's
// constructors; an executable's pre-initialisers run before any library's, so the default is set
// from one. A policy in the environment still wins.
void PreferSleepingThreads(int, char**, char**) {
    setenv("OMP_WAIT_POLICY", "passive", 0);
}
[[gnu::used, gnu::section(".preinit_array")]] void (*PreferSleepingThreadsAtLoad)(
    int, char**, char**) = PreferSleepingThreads;
#endif

}  // namespace

int32_t ProcessorCount() {
#ifdef _OPENMP
    return std::clamp(omp_get_num_procs(), 1, MaxThreads);
#else
    return std::clamp(static_cast<int32_t>(std::thread::hardware_concurrency()), 1, MaxThreads);
#endif
}

void SetThreadCount(int32_t threads) {
    Threads = std::clamp(threads, 1, MaxThreads);
}

int32_t ThreadCount() {
    // Not stored here: this is also read inside parallel regions, where a write would race.
    return Threads != 0 ? Threads : ProcessorCount();
}

int32_t SliceCount(int64_t items, int64_t minPerSlice) {
    const int64_t bySize = items / std::max<int64_t>(minPerSlice, 1);
    return static_cast<int32_t>(std::clamp<int64_t>(bySize, 1, ThreadCount()));
}

void RunSlicesErased(int32_t slices, void (*call)(void* body, int32_t slice), void* body) {
    if (slices <= 1) {
        call(body, 0);  // no region at all: one thread pays nothing for OpenMP
        return;
    }
    // Built without OpenMP (the fuzz target), the slices simply run one after another.
#ifdef _OPENMP
#pragma omp parallel for num_threads(slices) schedule(static, 1)
#endif
    for (int32_t slice = 0; slice < slices; ++slice) {
        call(body, slice);
    }
}
