// parallel.h: the one place the program's threads are set up and work is split between them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

// Upper bound on --threads: more than any machine this runs on has cores.
inline constexpr int32_t MaxThreads = 256;

// Threads the parallel steps use from now on, clamped to [1, MaxThreads]; 1 runs everything on
// the calling thread. The default is the number of processors.
void SetThreadCount(int32_t threads);
int32_t ThreadCount();
// The number of processors this process may run on.
int32_t ProcessorCount();

// How many slices [0, items) is cut into: one per thread, but none shorter than minPerSlice, so
// that small jobs run on one thread rather than pay for waking the others.
int32_t SliceCount(int64_t items, int64_t minPerSlice);
// Slice `slice` of `slices` equal-as-possible consecutive slices of [0, items): its first item.
inline int64_t SliceStart(int64_t items, int32_t slices, int32_t slice) {
    return items / slices * slice + std::min<int64_t>(slice, items % slices);
}

// Runs body(slice) for slice = 0 .. slices - 1, at the same time on up to that many threads, and
// returns once all have ended. slices is at most ThreadCount(). Bodies must not throw.
template <typename Body>
void RunSlices(int32_t slices, Body&& body);

// Implementation: the OpenMP region lives in parallel.cpp alone, behind a plain function call.
void RunSlicesErased(int32_t slices, void (*call)(void* body, int32_t slice), void* body);

template <typename Body>
void RunSlices(int32_t slices, Body&& body) {
    using Plain = std::remove_reference_t<Body>;
    RunSlicesErased(
        slices, [](void* erased, int32_t slice) { (*static_cast<Plain*>(erased))(slice); },
        const_cast<void*>(static_cast<const void*>(&body)));
}
