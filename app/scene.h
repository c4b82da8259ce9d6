// scene.h: the start-up sequence that loads, groups and first projects the galaxy.
#pragma once

#include <cstdint>

#include "data/star.h"

struct SceneOptions {
    const char* GalaxyFile = "galaxy.dat";
    int32_t Capacity = MaxStars;  // star slots, or FitCapacity (data/loader.h)
};

enum class SceneStatus {
    Ready,    // the first frame can be drawn
    Stopped,  // a stop was requested (data/startup.h) before the scene was ready
    Failed,   // memory ran out; standard error says for what
};

// Loads the galaxy file and prepares everything the first frame needs, on every thread
// (data/parallel.h), answering stop requests and drawing the progress line (data/startup.h).
SceneStatus StartScene(const SceneOptions& options);

// StartScene with the default capacity; true when the scene is ready.
bool InitScene(const char* galaxyFile);

// Puts every module's program-wide state back as at program start (tests, tools).
void ResetScene();
