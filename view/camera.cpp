// camera.cpp: the camera's orbit, one fixed step per call.
#include "view/camera.h"

#include <cmath>

namespace {

constexpr double CameraStepLength = 500.0;    // world units moved per step
constexpr double CameraTurnPerStep = 0.0005;  // radians added to OrbitAngle per step

// The camera before its first step. Its Direction only serves that first move; it does not
// match OrbitAngle.
constexpr CameraState StartCamera{
    {-1000000.0, 0.0, 0.0}, {-1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}, 1000.0, -0.5};

}  // namespace

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
