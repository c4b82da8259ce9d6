// cache.cpp: STUB, replaced by the view work.
#include "view/cache.h"

#include "data/cells.h"
#include <cstddef>

std::array<ProjectedStar, MaxStars> ProjectedStarArray{};
std::vector<ProjectedStar> ProjectedCentre;

void AllocateProjectedCentre() { ProjectedCentre.assign(static_cast<std::size_t>(CellCount), {}); }
void BuildProjectionCache() {}
void MarkCells() {}
void ReprojectCells() {}
int32_t FlaggedCellCount() { return 0; }
void ResetProjectionCache() {
    ProjectedStarArray.fill({});
    ProjectedCentre.clear();
}
