// cells_gather.cpp: the gather of SortStarsByCell (cells_sort.cpp): run by run from slot 0,
// each key's stars swapped into place by exactly the swaps of the plain gather in cells.cpp,
// every star's slot followed as it moves, each star's tag moved with it.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <thread>
#include <utility>

#include "data/cells.h"
#include "data/cells_sort_internal.h"
#include "data/parallel.h"
#include "data/startup.h"

namespace grouping {

namespace {

// Lists the marked slots from `runStart` on in increasing order into `out`, and clears them.
void TakeMarkedSlots(int32_t* out, const int32_t* last, int32_t runStart) {
    auto& marks = Scratch.slotMarks;
    for (std::size_t word = static_cast<std::size_t>(runStart) / 64; out != last; ++word) {
        for (uint64_t bits = std::exchange(marks[word], 0); bits != 0; bits &= bits - 1) {
            *out++ = static_cast<int32_t>(64 * word) + std::countr_zero(bits);
        }
    }
}

// Turns a group's list of stars into the slots they hold now, in increasing order, all at or
// after `runStart`. Until one of its stars has been displaced, the list is in slot order
// already; otherwise a large group is sorted by marking its slots in a bitmap, which costs
// N / 64 at most, and a small one by sorting.
void ListGroupSlots(int32_t* first, int32_t* last, int32_t runStart) {
    auto& s = Scratch;
    for (int32_t* entry = first; entry != last; ++entry) {
        *entry = s.slotOfStar[Count(*entry)];
    }
    if (std::is_sorted(first, last)) {
        return;
    }
    if (last - first < 64) {
        std::sort(first, last);
        return;
    }
    for (const int32_t* entry = first; entry != last; ++entry) {
        const auto slot = Count(*entry);
        s.slotMarks[slot / 64] |= uint64_t{1} << (slot % 64);
    }
    TakeMarkedSlots(first, last, runStart);
}

// A key's stars lie thousands of bytes apart in a large galaxy, too far for the processor to
// see the pattern: each swap would wait for memory. The slots to come are known, so their
// lines are asked for this many swaps ahead.
constexpr std::ptrdiff_t PrefetchDistance = 16;

// Swaps between two looks for a stop request.
constexpr int64_t SwapsPerStopCheck = 65536;

// The gather is followed in two parts that need nothing of each other's memory. The first
// follows the slots: for each run it lists the key's slots (ListGroupSlots) and then moves the
// displaced stars' entries in slotOfStar and starInSlot. The second moves the stars and their
// tags along those lists, run after run. On two threads the second follows a run behind the
// first, so each waits on memory for half the work; on one, the first moves the stars itself,
// swap by swap.
struct RunProgress {
    bool pipelined = false;            // the second part runs on a thread of its own
    std::atomic<int32_t> listed{0};    // runs whose slot lists are final
    std::atomic<bool> ended{false};    // no run will be listed any more
    std::atomic<bool> stopped{false};  // ended early: a stop request
};

// Swaps the stars and tags in slots `front` and `from`.
void SwapStars(int32_t front, int32_t from) {
    std::swap(StarArray[Count(front)], StarArray[Count(from)]);
    std::swap(StarTag[Count(front)], StarTag[Count(from)]);
}

// A star of 24 bytes lies across two cache lines three times in eight: both are asked for.
void PrefetchStars(int32_t slot) {
    const auto* star = reinterpret_cast<const char*>(&StarArray[Count(slot)]);
    __builtin_prefetch(star, 1);
    __builtin_prefetch(star + sizeof(Star) - 1, 1);
    __builtin_prefetch(&StarTag[Count(slot)], 1);
}

// Moves the stars and tags along a run's slot list [first, last): the star at each listed slot
// is exchanged with the one at the run's front, which starts at `front`. Returns the run's end,
// or -1 if the gather stopped meanwhile.
int32_t MoveRunStars(const RunProgress& progress, const int32_t* first, const int32_t* last,
                     int32_t front) {
    for (const int32_t* slot = first; slot != last; ++slot, ++front) {
        if ((slot - first) % SwapsPerStopCheck == SwapsPerStopCheck - 1 &&
            progress.stopped.load(std::memory_order_relaxed)) {
            return -1;
        }
        if (last - slot > PrefetchDistance) {
            PrefetchStars(slot[PrefetchDistance]);
        }
        if (*slot != front) {
            SwapStars(front, *slot);
        }
    }
    return front;
}

void EndListing(RunProgress& progress, bool stopped) {
    progress.stopped.store(stopped, std::memory_order_relaxed);
    progress.ended.store(true, std::memory_order_release);
}

// Follows every run's slots from slot 0; false if a stop was requested on the way.
bool FollowRuns(RunProgress& progress) {
    auto& s = Scratch;
    int64_t nextCheck = 0;  // 64-bit: near 2^31 stars, a 32-bit count plus the step overflows
    int64_t swaps = 0;
    int32_t runs = 0;
    for (int32_t runStart = 0; runStart < Stars; ++runs) {
        const int32_t group = s.groupOfStar[Count(s.starInSlot[Count(runStart)])];
        int32_t* first = s.members.data() + s.groupStart[Count(group)];
        int32_t* last = s.members.data() + s.groupStart[Count(group) + 1];
        ListGroupSlots(first, last, runStart);
        s.runGroup[Count(runs)] = group;
        if (progress.pipelined) {
            progress.listed.store(runs + 1, std::memory_order_release);
        }
        int32_t front = runStart;
        for (const int32_t* slot = first; slot != last; ++slot, ++swaps, ++front) {
            if (swaps >= nextCheck) {
                if (!KeepStarting()) {
                    EndListing(progress, true);
                    return false;
                }
                nextCheck = swaps + SwapsPerStopCheck;
            }
            if (last - slot > PrefetchDistance) {
                if (!progress.pipelined) {
                    PrefetchStars(slot[PrefetchDistance]);
                }
                __builtin_prefetch(&s.starInSlot[Count(slot[PrefetchDistance])], 1);
                if (front + PrefetchDistance < Stars) {
                    // The star that swap will displace, unless a swap before it moves one
                    // there: only a hint.
                    const int32_t displaced = s.starInSlot[Count(front + PrefetchDistance)];
                    __builtin_prefetch(&s.slotOfStar[Count(displaced)], 1);
                }
            }
            if (*slot != front) {
                if (!progress.pipelined) {
                    SwapStars(front, *slot);
                }
                // The star at the run's front, of another key, takes the gathered star's slot.
                // Only it is followed: the run's slots are final and never looked at again.
                const int32_t displaced = s.starInSlot[Count(front)];
                s.starInSlot[Count(*slot)] = displaced;
                s.slotOfStar[Count(displaced)] = *slot;
            }
        }
        runStart = front;
    }
    EndListing(progress, false);
    return true;
}

// Waits until run `run` is listed; false if none will be any more.
bool AwaitRun(const RunProgress& progress, int32_t run) {
    for (;;) {
        // `ended` is read first: once it is seen, `listed` is final.
        const bool ended = progress.ended.load(std::memory_order_acquire);
        if (progress.listed.load(std::memory_order_acquire) > run) {
            return !progress.stopped.load(std::memory_order_relaxed);
        }
        if (ended) {
            return false;
        }
        std::this_thread::yield();
    }
}

// The second part on a thread of its own: every run's stars moved as soon as it is listed.
void MoveStarsAlongRuns(const RunProgress& progress) {
    const auto& s = Scratch;
    int32_t front = 0;
    for (int32_t run = 0; front >= 0 && AwaitRun(progress, run); ++run) {
        const auto group = Count(s.runGroup[Count(run)]);
        front = MoveRunStars(progress, s.members.data() + s.groupStart[group],
                             s.members.data() + s.groupStart[group + 1], front);
    }
}

}  // namespace

// Stars from which the two parts of the gather run on two threads at once.
constexpr int32_t MinStarsToPipeline = 1 << 18;

// Runs the gather; false if a stop was requested.
bool GatherRuns() {
    RunProgress progress;
    progress.pipelined = Stars >= MinStarsToPipeline && ThreadCount() >= 2;
    if (!progress.pipelined) {
        return FollowRuns(progress);
    }
    // The first part never waits on the second, so even a team of one thread, which runs the
    // slices in order, cannot deadlock.
    bool followed = true;
    RunSlices(2, [&](int32_t part) {
        if (part == 0) {
            followed = FollowRuns(progress);
        } else {
            MoveStarsAlongRuns(progress);
        }
    });
    return followed;
}

}  // namespace grouping
