// camera.h: the one program-wide camera and its fixed circular flight.
#pragma once

#include "data/star.h"

struct CameraState {
    Vec3 Position;         // world position; lies on the picture plane
    Vec3 Direction;        // view direction, also the direction of the next move
    Vec3 Up;               // up vector, the world's z axis
    double FocalDistance;  // distance of the eye behind Position; 0 means parallel projection
    double OrbitAngle;     // radians, accumulated step by step and never wrapped
};

extern CameraState Camera;  // the one view state; only StepCamera changes it

// Moves the camera one step along its current direction, then turns it.
void StepCamera();

// Puts the camera back to its start values.
void ResetCamera();
