// camera.h: the one program-wide camera, its circular orbit and the controls the viewer's keys
// and mouse steer it by.
#pragma once

#include <cstdint>

#include "data/star.h"

struct CameraState {
    Vec3 Position;         // world position; lies on the picture plane
    Vec3 Direction;        // view direction, also the direction of the next move
    Vec3 Up;               // up vector, the world's z axis on the orbit
    double FocalDistance;  // distance of the eye behind Position; 0 means parallel projection
    double OrbitAngle;     // radians, accumulated step by step and never wrapped
};

// How the camera moves from one frame to the next. The defaults fly the orbit exactly as the
// viewer always has.
struct CameraControls {
    bool Paused = false;        // no step at all: the picture holds still
    int32_t SpeedExponent = 0;  // the step and the turn are scaled by 2^SpeedExponent
    bool FreeFlight = false;    // moved by the held keys instead of along the orbit
    // Held movement in free flight, each -1, 0 or +1: forward, to the right and upward as the
    // picture shows them.
    int32_t Forward = 0;
    int32_t Sideways = 0;
    int32_t Rise = 0;
    CameraState LeftOrbit{};  // where free flight left the orbit, for ReturnToOrbit
};

inline constexpr int32_t MinSpeedExponent = -6;  // 1/64 of the orbit's speed
inline constexpr int32_t MaxSpeedExponent = 6;   // 64 times

extern CameraState Camera;         // the one view state
extern CameraControls CameraKeys;  // how StepCamera moves it

// Moves the camera one step: along its orbit (it moves along its current direction, then
// turns), or in free flight by the held movement; not at all while paused.
void StepCamera();

// Puts the camera and its controls back to their start values.
void ResetCamera();

void ToggleCameraPause();
// Doubles (+1) or halves (-1) the speed, within 1/64 to 64 times the orbit's. On the orbit the
// step and the turn scale together, so the circle stays the same.
void ChangeCameraSpeed(int32_t doublings);
// From the orbit into free flight where the camera is; from free flight back onto an orbit
// through the current position, level again, at the orbit's current angle.
void ToggleFreeFlight();
// Back from free flight to the orbit exactly where free flight left it; nothing on the orbit.
void ReturnToOrbit();
// Turns the view in free flight toward what the picture shows on its right by yaw and above by
// pitch (radians). Direction and Up stay orthonormal. Nothing on the orbit, whose direction the
// angle fixes.
void TurnCamera(double yaw, double pitch);
