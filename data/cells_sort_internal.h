// cells_sort_internal.h: what the two halves of SortStarsByCell share: the numbering of the
// groups (cells_sort.cpp) and the gather that follows it (cells_gather.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "data/slots.h"

namespace grouping {

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
extern GroupingScratch Scratch;
extern int32_t Stars;  // slots being grouped

inline std::size_t Count(int32_t n) {
    return static_cast<std::size_t>(n);
}

// Stars per slice of the passes over every star: fewer are done faster on one thread.
inline constexpr int64_t MinStarsPerSlice = int64_t{1} << 18;

// Numbers the distinct keys (groups), lists each group's stars in members, and puts every star
// in its own slot; false when memory runs out or a stop is requested.
bool NumberGroups();

// Moves every group's stars together in the gather's order and notes in runGroup each run's
// group; false if a stop was requested.
bool GatherRuns();

}  // namespace grouping
