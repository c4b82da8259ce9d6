// main_loop.h: the viewer's main loop: one waiting event or one frame per pass.
#pragma once

#include <SDL.h>

#include <cstdint>

using PollEventFunction = bool (*)(SDL_Event& event);  // takes one waiting event, if any
using DrawFrameFunction = void (*)();

// Runs passes until an event ends the program, a quit signal arrives, or frameLimit frames are
// drawn (0: no limit). A waiting event always goes first and is its pass's only work; only when
// none waits is one frame drawn. Returns the number of frames drawn.
int64_t RunMainLoop(PollEventFunction pollEvent, DrawFrameFunction drawFrame, int64_t frameLimit);
