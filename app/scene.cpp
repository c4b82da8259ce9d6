// scene.cpp: the start-up sequence: clock, frame records, load, group, allocate, first projection.
#include "app/scene.h"

#include <cstdio>
#include <new>

#include "data/cells.h"
#include "data/loader.h"
#include "data/startup.h"
#include "render/frame.h"
#include "render/frame_rate.h"
#include "render/plot.h"
#include "view/cache.h"
#include "view/camera.h"

namespace {

// The per-cell arrays and the projected stars; every later step needs all of them, so any
// failure ends start-up.
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

SceneStatus Stopped() {
    EndStartup();
    return SceneStatus::Stopped;
}

SceneStatus Failed() {
    EndStartup();
    return SceneStatus::Failed;
}

}  // namespace

SceneStatus StartScene(const SceneOptions& options) {
    StartFrameRateClock();
    PrepareFrameRecords();
    ResetFrameRateCounters();
    BeginStartup(options.GalaxyFile);
    int32_t records = 0;
    const LoadStatus loaded = LoadStars(options.GalaxyFile, options.Capacity, &records);
    if (loaded != LoadStatus::Loaded) {
        return loaded == LoadStatus::Stopped ? Stopped() : Failed();
    }
    // The grouping's scratch is given back before the projected stars are allocated: the
    // two are never held at once.
    if (!SortStarsByCell()) {
        if (StopRequested()) {
            return Stopped();
        }
        std::fprintf(stderr, "galaxy: out of memory for grouping %d stars\n", StarSlots());
        return Failed();
    }
    CountCells();
    if (!AllocatePerCellArrays()) {
        return Failed();
    }
    BuildCells();
    StepCamera();
    BuildProjectionCache();
    ReservePlotSlices();
    if (!KeepStarting()) {
        return Stopped();
    }
    EndStartup();
    return SceneStatus::Ready;
}

bool InitScene(const char* galaxyFile) {
    return StartScene(SceneOptions{galaxyFile, MaxStars}) == SceneStatus::Ready;
}

void ResetScene() {
    ResetStars();
    ResetCells();
    ResetCamera();
    ResetProjectionCache();
    ResetFrameRate();
    ResetFrame();
    ResetStartup();
}
