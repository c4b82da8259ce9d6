// camera.cpp: STUB, replaced by the view work.
#include "view/camera.h"

CameraState Camera{};
void StepCamera() {}
void ResetCamera() { Camera = CameraState{}; }
