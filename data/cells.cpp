// cells.cpp: cell keys, the plain grouping of stars into cells, the cell table and centres.
//
// GatherStarsByCell below is the grouping written plainly; the program runs SortStarsByCell
// (cells_sort.cpp), which gives the same order faster.
#include "data/cells.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

std::vector<Cell> CellTable;
std::vector<Vec3> CellCentre;
int32_t CellCount = 0;
SlotArray<int32_t> CellRunEnds;

namespace {

// Whether a star lies in the cell of `key`: axis by axis, x first, stopping at the first
// difference.
bool HasKey(const Star& star, const CellKey& key) {
    return KeyComponent(star.x) == key.x && KeyComponent(star.y) == key.y &&
           KeyComponent(star.z) == key.z;
}

// The centre of a cell on one axis: CellSize (key + 1/2). Exact in doubles: |key| < 2^31 and
// CellSize is a whole number below 2^22, so every value is a whole number below 2^53.
double CentreComponent(int32_t key) {
    return static_cast<double>(key) * CellSize + CellSize / 2;
}

// Writes one cell entry; entries past the allocated arrays are dropped, never written.
void CloseRun(int32_t entry, int32_t first, int32_t end, const CellKey& key) {
    const auto index = static_cast<std::size_t>(entry);
    if (index >= CellTable.size() || index >= CellCentre.size()) {
        return;
    }
    CellTable[index].FirstStar = first;
    CellTable[index].EndStar = end;
    CellCentre[index] =
        Vec3{CentreComponent(key.x), CentreComponent(key.y), CentreComponent(key.z)};
}

}  // namespace

void AllocateCellArrays() {
    const auto count = static_cast<std::size_t>(std::max(CellCount, 0));
    CellTable.assign(count, Cell{});
    CellCentre.assign(count, Vec3{});
}

void GatherStarsByCell() {
    CellRunEnds.Release();  // the stars are reordered: runs noted before no longer hold
    const std::size_t stars = StarArray.size();
    for (std::size_t runStart = 0, runEnd = 0; runStart < stars; runStart = runEnd) {
        const CellKey key = KeyOf(StarArray[runStart]);
        while (runEnd < stars && HasKey(StarArray[runEnd], key)) {
            ++runEnd;
        }
        for (std::size_t slot = runEnd + 1; slot < stars; ++slot) {
            if (HasKey(StarArray[slot], key)) {
                std::swap(StarTag[runEnd], StarTag[slot]);
                std::swap(StarArray[runEnd++], StarArray[slot]);
            }
        }
    }
}

void CountCells() {
    if (CellRunEnds.size() != 0) {
        CellCount = static_cast<int32_t>(CellRunEnds.size());
        return;
    }
    int32_t boundaries = 0;
    CellKey runKey = KeyOf(StarArray[0]);
    for (int32_t slot = 1; slot < StarSlots(); ++slot) {
        const CellKey key = KeyOf(StarArray[static_cast<std::size_t>(slot)]);
        if (!(key == runKey)) {
            ++boundaries;
            runKey = key;
        }
    }
    CellCount = boundaries + 1;
}

namespace {

// The cells of the runs the grouping noted: a run's key is that of its first star.
void BuildCellsOfNotedRuns() {
    int32_t first = 0;
    for (std::size_t run = 0; run < CellRunEnds.size(); ++run) {
        const int32_t end = CellRunEnds[run];
        const CellKey key = KeyOf(StarArray[static_cast<std::size_t>(first)]);
        CloseRun(static_cast<int32_t>(run), first, end, key);
        first = end;
    }
    CellRunEnds.Release();
}

}  // namespace

void BuildCells() {
    if (CellRunEnds.size() != 0) {
        BuildCellsOfNotedRuns();
        return;
    }
    int32_t entry = 0;
    int32_t runFirst = 0;
    CellKey runKey = KeyOf(StarArray[0]);
    for (int32_t slot = 1; slot < StarSlots(); ++slot) {
        const CellKey key = KeyOf(StarArray[static_cast<std::size_t>(slot)]);
        if (!(key == runKey)) {
            CloseRun(entry, runFirst, slot, runKey);
            ++entry;
            runFirst = slot;
            runKey = key;
        }
    }
    CloseRun(entry, runFirst, StarSlots(), runKey);
}

void ResetCells() {
    CellRunEnds.Release();
    CellTable.clear();
    CellCentre.clear();
    CellCount = 0;
}
