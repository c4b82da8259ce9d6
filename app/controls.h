// controls.h: the viewer's keys and mouse: the camera's pause, speed and free flight, saved
// pictures, the help text and full screen.
#pragma once

#include <SDL.h>

#include <cstdint>

// Frames drawn so far by the run in progress: the number galaxy-render gives the last one.
extern int64_t ViewerFramesDrawn;

// Acts on one key or mouse event; other events are left alone.
void HandleControlEvent(const SDL_Event& event);

// Puts the controls back as at program start: help hidden, no frame drawn (tests).
void ResetControls();

// Saves the back buffer as frame-NNNNNN.png in the working folder, NNNNNN the last frame drawn,
// with -1, -2, ... added rather than replacing a file; names the file on standard error.
// Returns false after saying why it could not.
bool SaveShownFrame();
