// cells_sort.cpp: SortStarsByCell, the run-by-run gather of cells.cpp in about N log N steps.
//
// Why the order must be exactly the gather's: the renderer draws StarArray in order, cell after
// cell, and a later star overwrites an earlier one on the same pixel, so the order of stars
// within and between cells shows on screen. How it is kept: a stable radix sort lists each key's
// stars in slot order once, instead of a rescan per run; then, run by run from slot 0, each key's
// stars are swapped into place by exactly the gather's swaps, every star's slot followed as it
// moves. Each star's tag moves with it. data_test compares the two on many galaxies, hostile
// keys among them, and colour_test compares the tags.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

#include "data/cells.h"
#include "data/parallel.h"
#include "data/startup.h"

namespace {

// The grouping's working memory, sized for StarSlots() stars and given back in stages as each
// part is done with, so that the peak stays near 24 bytes a star. A star is named by the slot it
// held when the pass began.
struct GroupingScratch {
    // Each star's key as x, y, z words, less the smallest on each axis (modulo 2^32), so that
    // the narrow key ranges of real data vary in their lowest byte only. Until groups are named.
    SlotArray<std::array<uint32_t, 3>> keyWords;
    std::array<std::array<int32_t, 256>, 12> byteCounts;  // per key byte, stars per value
    SlotArray<int32_t> members;      // each group's stars, one group after another
    SlotArray<int32_t> sortBuffer;   // the other side of each radix pass; during the sort only
    SlotArray<int32_t> groupStart;   // where each group begins in members, one past the last
    SlotArray<int32_t> groupOfStar;  // the group of each star
    SlotArray<int32_t> slotOfStar;   // where each star is now
    SlotArray<int32_t> starInSlot;   // which star each slot holds now
    SlotArray<int32_t> runGroup;     // the group of each run, in slot order
    SlotArray<uint64_t> slotMarks;   // one bit per slot, zero between uses

    void Release() {
        keyWords.Release();
        members.Release();
        sortBuffer.Release();
        groupStart.Release();
        groupOfStar.Release();
        slotOfStar.Release();
        starInSlot.Release();
        runGroup.Release();
        slotMarks.Release();
    }
};

// The one scratch of SortStarsByCell, empty between calls.
GroupingScratch Scratch;
int32_t Stars = 0;  // slots being grouped

std::size_t Count(int32_t n) {
    return static_cast<std::size_t>(n);
}

// Fills keyWords and returns how many low bytes of each word can differ between stars.
std::array<uint32_t, 3> ComputeKeyWords() {
    auto& s = Scratch;
    CellKey lowest{INT32_MAX, INT32_MAX, INT32_MAX};
    for (int32_t star = 0; star < Stars; ++star) {
        const CellKey key = KeyOf(StarArray[Count(star)]);
        lowest = CellKey{std::min(lowest.x, key.x), std::min(lowest.y, key.y),
                         std::min(lowest.z, key.z)};
        s.keyWords[Count(star)] = {static_cast<uint32_t>(key.x), static_cast<uint32_t>(key.y),
                                   static_cast<uint32_t>(key.z)};
    }
    const std::array<uint32_t, 3> bias{static_cast<uint32_t>(lowest.x),
                                       static_cast<uint32_t>(lowest.y),
                                       static_cast<uint32_t>(lowest.z)};
    std::array<uint32_t, 3> highest{0, 0, 0};
    for (auto& words : s.keyWords) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
            words[axis] -= bias[axis];
            highest[axis] = std::max(highest[axis], words[axis]);
        }
    }
    std::array<uint32_t, 3> bytes{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        bytes[axis] = static_cast<uint32_t>((std::bit_width(highest[axis]) + 7) / 8);
    }
    return bytes;
}

// Byte `byte` of a star's key words: 0 to 3 from x, lowest first, then y, then z.
uint32_t KeyByte(int32_t star, std::size_t byte) {
    return (Scratch.keyWords[Count(star)][byte / 4] >> (8 * (byte % 4))) & 0xFFu;
}

// One stable counting pass over one key byte; `counts` become the starting offsets.
void RadixPass(const int32_t* from, int32_t* to, std::size_t byte) {
    auto& counts = Scratch.byteCounts[byte];
    int32_t offset = 0;
    for (int32_t& count : counts) {
        offset += std::exchange(count, offset);
    }
    for (int32_t entry = 0; entry < Stars; ++entry) {
        to[counts[KeyByte(from[entry], byte)]++] = from[entry];
    }
}

// Brings each key's stars together in members, in increasing order: a stable radix sort over
// the key bytes that can differ, skipping any that turns out the same for all stars. Which
// order the keys come in does not matter, only that each one's stars are together and
// ascending.
bool SortStarsByKey(const std::array<uint32_t, 3>& significantBytes) {
    auto& s = Scratch;
    if (!s.members.Resize(Count(Stars)) || !s.sortBuffer.Resize(Count(Stars))) {
        return false;
    }
    std::iota(s.members.begin(), s.members.end(), 0);
    int32_t* from = s.members.data();
    int32_t* to = s.sortBuffer.data();
    for (std::size_t byte = 0; byte < s.byteCounts.size(); ++byte) {
        if (byte % 4 >= significantBytes[byte / 4]) {
            continue;
        }
        auto& counts = s.byteCounts[byte];
        counts.fill(0);
        for (int32_t star = 0; star < Stars; ++star) {
            ++counts[KeyByte(star, byte)];
        }
        if (std::find(counts.begin(), counts.end(), Stars) == counts.end()) {
            RadixPass(from, to, byte);
            std::swap(from, to);
        }
    }
    if (from != s.members.data()) {
        std::copy(from, from + Stars, s.members.begin());
    }
    s.sortBuffer.Release();
    return true;
}

// The signed range of keys on each axis.
struct KeyRange {
    CellKey lowest{INT32_MAX, INT32_MAX, INT32_MAX};
    CellKey highest{INT32_MIN, INT32_MIN, INT32_MIN};
};

// Stars per slice of the passes over every star: fewer are done faster on one thread.
constexpr int64_t MinStarsPerSlice = int64_t{1} << 18;

// The stars [first, end) of slice `slice` of `slices`.
struct StarSlice {
    int32_t first;
    int32_t end;
};
StarSlice SliceOfStars(int32_t slices, int32_t slice) {
    return {static_cast<int32_t>(SliceStart(Stars, slices, slice)),
            static_cast<int32_t>(SliceStart(Stars, slices, slice + 1))};
}

void Widen(KeyRange& range, const CellKey& key) {
    range.lowest = CellKey{std::min(range.lowest.x, key.x), std::min(range.lowest.y, key.y),
                           std::min(range.lowest.z, key.z)};
    range.highest = CellKey{std::max(range.highest.x, key.x), std::max(range.highest.y, key.y),
                            std::max(range.highest.z, key.z)};
}

KeyRange FindKeyRange() {
    const int32_t slices = SliceCount(Stars, MinStarsPerSlice);
    std::array<KeyRange, MaxThreads> ranges{};
    RunSlices(slices, [&](int32_t slice) {
        const StarSlice part = SliceOfStars(slices, slice);
        KeyRange own;  // not ranges[slice]: the threads' entries share a cache line
        for (int32_t star = part.first; star < part.end; ++star) {
            Widen(own, KeyOf(StarArray[Count(star)]));
        }
        ranges[Count(slice)] = own;
    });
    KeyRange range;
    for (int32_t slice = 0; slice < slices; ++slice) {
        Widen(range, ranges[Count(slice)].lowest);
        Widen(range, ranges[Count(slice)].highest);
    }
    return range;
}

// Bits of an axis's keys less the lowest, which never exceeds highest - lowest.
int AxisBits(int32_t lowest, int32_t highest) {
    return std::bit_width(static_cast<uint32_t>(highest) - static_cast<uint32_t>(lowest));
}

// Real data spans few cells per axis: when the three keys, less the lowest, fit side by side
// in CompactKeyBits bits, that one number orders the stars in a single counting pass, with no
// per-star key kept.
constexpr int CompactKeyBits = 20;

struct CompactKeys {
    CellKey lowest;
    int yBits;
    int zBits;

    uint32_t Of(const Star& star) const {
        const CellKey key = KeyOf(star);
        const auto x = static_cast<uint32_t>(key.x) - static_cast<uint32_t>(lowest.x);
        const auto y = static_cast<uint32_t>(key.y) - static_cast<uint32_t>(lowest.y);
        const auto z = static_cast<uint32_t>(key.z) - static_cast<uint32_t>(lowest.z);
        return (x << (yBits + zBits)) | (y << zBits) | z;
    }
};

// Turns each slice's count of every key value into where the slice's first star of that value
// goes in members, slice after slice, so that each key's stars stay in increasing order; numbers
// the values that occur (groups) and notes where each group starts. Returns the group count.
int32_t PlaceGroups(std::vector<SlotArray<int32_t>>& next, SlotArray<int32_t>& groupOf) {
    auto& s = Scratch;
    int32_t group = 0;
    int32_t offset = 0;
    for (std::size_t value = 0; value < groupOf.size(); ++value) {
        const int32_t start = offset;
        for (SlotArray<int32_t>& counts : next) {
            offset += std::exchange(counts[value], offset);
        }
        if (offset != start) {
            groupOf[value] = group;
            s.groupStart[Count(group++)] = start;
        }
    }
    s.groupStart[Count(group)] = Stars;
    return group;
}

// Lists each key's stars in members, in increasing order, and numbers the groups, by counting
// the stars of every compact key: a counting sort, each slice of stars counted and placed by a
// thread of its own.
bool NumberCompactGroups(const CompactKeys& keys, int bits) {
    auto& s = Scratch;
    const std::size_t values = std::size_t{1} << bits;
    const int32_t slices = SliceCount(Stars, MinStarsPerSlice);
    // Per slice and key value: how many stars, then where the next one goes in members.
    std::vector<SlotArray<int32_t>> next(Count(slices));
    SlotArray<int32_t> groupOf;  // per key value: its group
    bool allocated = groupOf.Resize(values) && s.members.Resize(Count(Stars)) &&
                     s.groupOfStar.Resize(Count(Stars)) &&
                     s.groupStart.Resize(std::min(values, Count(Stars)) + 1);
    for (SlotArray<int32_t>& counts : next) {
        allocated = allocated && counts.Resize(values);
    }
    if (!allocated) {
        return false;
    }
    // Each star's key value waits in groupOfStar until its group is known.
    RunSlices(slices, [&](int32_t slice) {
        const StarSlice part = SliceOfStars(slices, slice);
        SlotArray<int32_t>& counts = next[Count(slice)];
        for (int32_t star = part.first; star < part.end; ++star) {
            const uint32_t value = keys.Of(StarArray[Count(star)]);
            s.groupOfStar[Count(star)] = static_cast<int32_t>(value);
            ++counts[value];
        }
    });
    if (!s.runGroup.Resize(Count(PlaceGroups(next, groupOf))) || !KeepStarting()) {
        return false;
    }
    RunSlices(slices, [&](int32_t slice) {
        const StarSlice part = SliceOfStars(slices, slice);
        SlotArray<int32_t>& place = next[Count(slice)];
        for (int32_t star = part.first; star < part.end; ++star) {
            const auto value = static_cast<uint32_t>(s.groupOfStar[Count(star)]);
            s.members[Count(place[value]++)] = star;
            s.groupOfStar[Count(star)] = groupOf[value];
        }
    });
    return true;
}

// The same for keys too wide for that: a radix sort over the key bytes, then groups numbered.
bool NumberWideGroups() {
    auto& s = Scratch;
    if (!s.keyWords.Resize(Count(Stars)) || !SortStarsByKey(ComputeKeyWords()) ||
        !s.groupOfStar.Resize(Count(Stars))) {
        return false;
    }
    int32_t groups = 0;
    for (int32_t entry = 0; entry < Stars; ++entry) {
        const int32_t star = s.members[Count(entry)];
        groups +=
            entry == 0 || s.keyWords[Count(star)] != s.keyWords[Count(s.members[Count(entry - 1)])];
        s.groupOfStar[Count(star)] = groups - 1;
    }
    s.keyWords.Release();
    if (!s.groupStart.Resize(Count(groups) + 1) || !s.runGroup.Resize(Count(groups))) {
        return false;
    }
    for (int32_t entry = Stars - 1; entry >= 0; --entry) {
        s.groupStart[Count(s.groupOfStar[Count(s.members[Count(entry)])])] = entry;
    }
    s.groupStart[Count(groups)] = Stars;
    return true;
}

// Numbers the distinct keys (groups), lists each group's stars, and puts every star in its
// own slot; false when memory runs out or a stop is requested.
bool NumberGroups() {
    auto& s = Scratch;
    const KeyRange range = FindKeyRange();
    if (!KeepStarting()) {
        return false;
    }
    const int xBits = AxisBits(range.lowest.x, range.highest.x);
    const int yBits = AxisBits(range.lowest.y, range.highest.y);
    const int zBits = AxisBits(range.lowest.z, range.highest.z);
    const int bits = xBits + yBits + zBits;
    // The count per key value costs 4 bytes a value on each thread: worth it only where there
    // are no more values than stars, or small galaxies would pay megabytes of fresh memory.
    const bool compact = bits <= CompactKeyBits && (int64_t{1} << bits) <= Stars;
    const bool numbered = compact
                              ? NumberCompactGroups(CompactKeys{range.lowest, yBits, zBits}, bits)
                              : NumberWideGroups();
    if (!numbered || !KeepStarting() || !s.slotOfStar.Resize(Count(Stars)) ||
        !s.starInSlot.Resize(Count(Stars)) || !s.slotMarks.Resize((Count(Stars) + 63) / 64)) {
        return false;
    }
    // Every star in its own slot. Split between threads: the first touch of fresh pages, not the
    // writing, is most of the cost.
    const int32_t slices = SliceCount(Stars, MinStarsPerSlice);
    RunSlices(slices, [&](int32_t slice) {
        const StarSlice part = SliceOfStars(slices, slice);
        for (int32_t star = part.first; star < part.end; ++star) {
            s.slotOfStar[Count(star)] = star;
            s.starInSlot[Count(star)] = star;
        }
    });
    return true;
}

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

void PrefetchStars(int32_t slot) {
    __builtin_prefetch(&StarArray[Count(slot)], 1);
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

// Each group made one run, as long as the group: the list of runs' groups becomes the list of
// where each run ends, in place, and is handed to BuildCells.
void NoteRunEnds() {
    auto& s = Scratch;
    int32_t end = 0;
    for (int32_t& run : s.runGroup) {
        const auto group = Count(run);
        end += s.groupStart[group + 1] - s.groupStart[group];
        run = end;
    }
    CellRunEnds = std::move(s.runGroup);
}

}  // namespace

// Produces the order of the run-by-run gather: a run starts at the first slot not yet in a
// run; the later stars of its key, met in increasing slot order, are swapped one by one into
// the slot just after the run, whose star (of another key) moves to where the gathered one was.
// Slots before the run belong to finished runs, so all stars of the key sit at or after its
// start. A swap touches only the run's front and one slot of the key, never a later one, so
// the gather meets exactly the slots the key's stars hold when its run starts, in increasing
// order. Following every star's slot as it moves gives those slots, and the pass costs about
// N log N instead of N times the number of cells.
bool SortStarsByCell() {
    CellRunEnds.Release();
    Stars = StarSlots();
    const bool done = NumberGroups() && GatherRuns();
    if (done) {
        NoteRunEnds();
    }
    Scratch.Release();
    return done;
}
