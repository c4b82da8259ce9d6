// scene.cpp: STUB, replaced by the app work.
#include "app/scene.h"

bool InitScene(const char*) { return true; }
void ResetScene() {}
