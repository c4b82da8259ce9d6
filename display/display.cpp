// display.cpp: the display objects every part draws through, whichever display is linked in.
#include "display/display.h"

DisplayDevice* DisplayObject = nullptr;    // the display behind the surfaces
DisplaySurface* PrimarySurface = nullptr;  // what is shown
DisplaySurface* BackBuffer = nullptr;      // what is drawn

DisplayDevice::~DisplayDevice() = default;

FlipOverlayFunction FlipOverlay = nullptr;  // drawn over each picture before it is shown
