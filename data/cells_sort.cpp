// cells_sort.cpp: SortStarsByCell, the run-by-run gather of cells.cpp in about N log N steps;
// here the groups are numbered, and cells_gather.cpp then moves the stars.
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
#include <bit>
#include <cstddef>
#include <numeric>
#include <utility>
#include <vector>

#include "data/cells.h"
#include "data/cells_sort_internal.h"
#include "data/parallel.h"
#include "data/startup.h"

namespace grouping {

GroupingScratch Scratch;
int32_t Stars = 0;

namespace {

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

// Fills keyWords with each star's key less the lowest of `range`, and returns how many low
// bytes of each word can differ between stars.
std::array<uint32_t, 3> ComputeKeyWords(const KeyRange& range) {
    auto& s = Scratch;
    const CellKey& lowest = range.lowest;
    for (int32_t star = 0; star < Stars; ++star) {
        const CellKey key = KeyOf(StarArray[Count(star)]);
        s.keyWords[Count(star)] = {static_cast<uint32_t>(key.x) - static_cast<uint32_t>(lowest.x),
                                   static_cast<uint32_t>(key.y) - static_cast<uint32_t>(lowest.y),
                                   static_cast<uint32_t>(key.z) - static_cast<uint32_t>(lowest.z)};
    }
    const auto bytes = [](int32_t low, int32_t high) {
        return static_cast<uint32_t>((AxisBits(low, high) + 7) / 8);
    };
    return {bytes(lowest.x, range.highest.x), bytes(lowest.y, range.highest.y),
            bytes(lowest.z, range.highest.z)};
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
bool NumberWideGroups(const KeyRange& range) {
    auto& s = Scratch;
    if (!s.keyWords.Resize(Count(Stars)) || !SortStarsByKey(ComputeKeyWords(range)) ||
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
                              : NumberWideGroups(range);
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

}  // namespace grouping

// Produces the order of the run-by-run gather: a run starts at the first slot not yet in a
// run; the later stars of its key, met in increasing slot order, are swapped one by one into
// the slot just after the run, whose star (of another key) moves to where the gathered one was.
// Slots before the run belong to finished runs, so all stars of the key sit at or after its
// start. A swap touches only the run's front and one slot of the key, never a later one, so
// the gather meets exactly the slots the key's stars hold when its run starts, in increasing
// order. Following every star's slot as it moves gives those slots, and the pass costs about
// N log N instead of N times the number of cells.
bool SortStarsByCell() {
    using namespace grouping;
    CellRunEnds.Release();
    Stars = StarSlots();
    const bool done = NumberGroups() && GatherRuns();
    if (done) {
        NoteRunEnds();
    }
    Scratch.Release();
    return done;
}
