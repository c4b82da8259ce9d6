// camera_test.cpp: the camera's first steps, its never-wrapped angle and the shape of its orbit.
#include "view/camera.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(CameraTest, FirstStepsThenAnOrbitInItsPlaneWithAnAccumulatedAngle) {
    ResetCamera();
    double nearest = HUGE_VAL;
    int nearestStep = 0;
    for (int n = 1; n <= 13000; ++n) {
        StepCamera();
        if (n == 1) {  // along the start direction (-1, 0, 0), then turned
            EXPECT_TRUE(Camera.Position.x == -1000500.0 && Camera.Position.y == 0.0);
            EXPECT_EQ(Camera.OrbitAngle, -0.5 + 0.0005);
        } else if (n == 2) {  // along the turned direction
            EXPECT_NEAR(Camera.Position.x, -1000061.0889, 5e-5);
            EXPECT_NEAR(Camera.Position.y, -239.4933, 5e-5);
            EXPECT_TRUE(Camera.Direction.x == std::cos(Camera.OrbitAngle) &&
                        Camera.Direction.y == std::sin(Camera.OrbitAngle));
        } else if (n == 1000) {
            EXPECT_NEAR(Camera.OrbitAngle, 4.4e-16, 0.1e-16);  // added up, not -0.5 + n * step
        }
        ASSERT_TRUE(Camera.Position.z == 0.0 && Camera.Direction.z == 0.0);
        ASSERT_TRUE(Camera.Up.x == 0.0 && Camera.Up.y == 0.0 && Camera.Up.z == 1.0);
        ASSERT_EQ(Camera.FocalDistance, 1000.0);
        ASSERT_NEAR(std::hypot(Camera.Position.x + 521293.9, Camera.Position.y - 877702.4),
                    1000000.01, 1.0);
        if (std::hypot(Camera.Position.x, Camera.Position.y) < nearest) {
            nearest = std::hypot(Camera.Position.x, Camera.Position.y);
            nearestStep = n;
        }
    }
    EXPECT_NEAR(nearest, 20840.0, 10.0);
    EXPECT_NEAR(nearestStep, 2071, 2);
    EXPECT_GT(Camera.OrbitAngle, 5.9);  // past a full turn from -0.5, never wrapped
    ResetCamera();
}

}  // namespace
