// display.cpp: STUB, replaced by the display work.
#include "display/display.h"

DisplayDevice* DisplayObject = nullptr;
DisplaySurface* PrimarySurface = nullptr;
DisplaySurface* BackBuffer = nullptr;
