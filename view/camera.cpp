// camera.cpp: the camera's orbit and free flight, one step per frame.
#include "view/camera.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double CameraStepLength = 500.0;    // world units moved per step
constexpr double CameraTurnPerStep = 0.0005;  // radians added to OrbitAngle per step

// The camera before its first step. Its Direction only serves that first move; it does not
// match OrbitAngle.
constexpr CameraState StartCamera{
    {-1000000.0, 0.0, 0.0}, {-1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}, 1000.0, -0.5};

Vec3 Scaled(const Vec3& v, double factor) {
    return {v.x * factor, v.y * factor, v.z * factor};
}

Vec3 Sum(const Vec3& a, const Vec3& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}

double Dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vec3 Cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vec3 Normalised(const Vec3& v) {
    return Scaled(v, 1.0 / std::sqrt(Dot(v, v)));
}

// A power of two, so that at the default exponent 0 every product is exactly the orbit's.
double SpeedFactor() {
    return std::ldexp(1.0, CameraKeys.SpeedExponent);
}

void StepOrbit() {
    const double speed = SpeedFactor();
    // The move uses the direction left by the previous step; only then does the camera turn.
    Camera.Position.x = Camera.Position.x + Camera.Direction.x * (CameraStepLength * speed);
    Camera.Position.y = Camera.Position.y + Camera.Direction.y * (CameraStepLength * speed);
    // Accumulated by repeated addition and never wrapped, so the path depends on every step's
    // rounding exactly as a long run sees it.
    Camera.OrbitAngle = Camera.OrbitAngle + CameraTurnPerStep * speed;
    Camera.Direction.x = std::cos(Camera.OrbitAngle);
    Camera.Direction.y = std::sin(Camera.OrbitAngle);
}

// The projection shows Direction x Up to the right and Up toward the bottom of the picture
// (rows grow downward), so what the viewer sees as up lies along -Up.
Vec3 PictureRight() {
    return Cross(Camera.Direction, Camera.Up);
}

Vec3 PictureUp() {
    return Scaled(Camera.Up, -1.0);
}

void StepFreely() {
    const Vec3 move = Sum(Sum(Scaled(Camera.Direction, CameraKeys.Forward),
                              Scaled(PictureRight(), CameraKeys.Sideways)),
                          Scaled(PictureUp(), CameraKeys.Rise));
    Camera.Position = Sum(Camera.Position, Scaled(move, CameraStepLength * SpeedFactor()));
}

}  // namespace

CameraState Camera = StartCamera;
CameraControls CameraKeys;

void StepCamera() {
    if (CameraKeys.Paused) {
        return;
    }
    if (CameraKeys.FreeFlight) {
        StepFreely();
    } else {
        StepOrbit();
    }
}

void ResetCamera() {
    Camera = StartCamera;
    CameraKeys = CameraControls{};
}

void ToggleCameraPause() {
    CameraKeys.Paused = !CameraKeys.Paused;
}

void ChangeCameraSpeed(int32_t doublings) {
    CameraKeys.SpeedExponent =
        std::clamp(CameraKeys.SpeedExponent + doublings, MinSpeedExponent, MaxSpeedExponent);
}

void ToggleFreeFlight() {
    if (!CameraKeys.FreeFlight) {
        CameraKeys.LeftOrbit = Camera;
        CameraKeys.FreeFlight = true;
        return;
    }
    CameraKeys.FreeFlight = false;
    Camera.Direction = {std::cos(Camera.OrbitAngle), std::sin(Camera.OrbitAngle), 0.0};
    Camera.Up = StartCamera.Up;
}

void ReturnToOrbit() {
    if (CameraKeys.FreeFlight) {
        Camera = CameraKeys.LeftOrbit;
        CameraKeys.FreeFlight = false;
    }
}

void TurnCamera(double yaw, double pitch) {
    if (!CameraKeys.FreeFlight) {
        return;
    }
    const Vec3 turned =
        Sum(Scaled(Camera.Direction, std::cos(yaw)), Scaled(PictureRight(), std::sin(yaw)));
    // Pitching toward the picture's top is toward -Up; Up follows, staying perpendicular.
    const Vec3 direction =
        Normalised(Sum(Scaled(turned, std::cos(pitch)), Scaled(PictureUp(), std::sin(pitch))));
    const Vec3 up = Sum(Scaled(Camera.Up, std::cos(pitch)), Scaled(turned, std::sin(pitch)));
    // Whatever rounding left of Up along the new direction is taken out again.
    Camera.Direction = direction;
    Camera.Up = Normalised(Sum(up, Scaled(direction, -Dot(up, direction))));
}
