// cells.cpp: STUB, replaced by the grouping work.
#include "data/cells.h"

#include <cstddef>

std::vector<Cell> CellTable;
std::vector<Vec3> CellCentre;
int32_t CellCount = 0;

CellKey KeyOf(const Vec3&) { return CellKey{0, 0, 0}; }
void AllocateCellArrays() {
    CellTable.assign(static_cast<std::size_t>(CellCount), Cell{});
    CellCentre.assign(static_cast<std::size_t>(CellCount), Vec3{});
}
void SortStarsByCell() {}
void CountCells() { CellCount = 1; }
void BuildCells() {
    CellTable[0].FirstStar = 0;
    CellTable[0].EndStar = MaxStars;
    CellCentre[0] = Vec3{50000.0, 50000.0, 50000.0};
}
void ResetCells() {
    CellTable.clear();
    CellCentre.clear();
    CellCount = 0;
}
