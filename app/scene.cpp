// scene.cpp: the start-up sequence: clock, frame records, load, group, allocate, first projection.
#include "app/scene.h"

#include <cstdio>
#include <new>

#include "data/cells.h"
#include "data/loader.h"
#include "data/star.h"
#include "render/frame.h"
#include "render/frame_rate.h"
#include "view/cache.h"
#include "view/camera.h"

namespace {

// The three per-cell arrays; every later step needs all of them, so any failure ends start-up.
bool AllocatePerCellArrays() {
    try {
        AllocateCellArrays();
        AllocateProjectedCentre();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "galaxy: out of memory for the tables of %d cells\n", CellCount);
        return false;
    }
    return true;
}

}  // namespace

bool InitScene(const char* galaxyFile) {
    StartFrameRateClock();
    PrepareFrameRecords();
    ResetFrameRateCounters();
    LoadGalaxy(StarArray.data(), StarTag.data(), galaxyFile, MaxStars, 1);
    SortStarsByCell();
    CountCells();
    if (!AllocatePerCellArrays()) {
        return false;
    }
    BuildCells();
    StepCamera();
    BuildProjectionCache();
    return true;
}

void ResetScene() {
    ResetStars();
    ResetCells();
    ResetCamera();
    ResetProjectionCache();
    ResetFrameRate();
    ResetFrame();
}
