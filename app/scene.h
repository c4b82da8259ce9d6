// scene.h: the start-up sequence that loads, groups and first projects the galaxy.
#pragma once

// Loads galaxyFile and prepares everything the first frame needs. Returns false, after writing
// the reason to standard error, only when memory for the cell arrays cannot be had.
bool InitScene(const char* galaxyFile);

// Puts every module's program-wide state back as at program start (tests, tools).
void ResetScene();
