// camera.cpp: the camera's orbit, one fixed step per call.
#include "view/camera.h"

#include <cmath>

CameraState Camera = StartCamera;

void StepCamera() {
    // The move uses the direction left by the previous step; only then does the camera turn.
    Camera.Position.x = Camera.Position.x + Camera.Direction.x * CameraStepLength;
    Camera.Position.y = Camera.Position.y + Camera.Direction.y * CameraStepLength;
    // Accumulated by repeated addition and never wrapped, so the path depends on every step's
    // rounding exactly as a long run sees it.
    Camera.OrbitAngle = Camera.OrbitAngle + CameraTurnPerStep;
    Camera.Direction.x = std::cos(Camera.OrbitAngle);
    Camera.Direction.y = std::sin(Camera.OrbitAngle);
}

void ResetCamera() {
    Camera = StartCamera;
}
