// camera_test.cpp: the camera's start values, its first steps and the shape of its orbit.
#include "view/camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

class CameraTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetCamera(); }
    void TearDown() override { ResetCamera(); }
};

void Step(int count) {
    for (int n = 0; n < count; ++n) {
        StepCamera();
    }
}

TEST_F(CameraTest, FirstStepMovesAlongStartDirectionThenTurns) {
    StepCamera();
    EXPECT_EQ(Camera.Position.x, -1000500.0);
    EXPECT_EQ(Camera.Position.y, 0.0);
    EXPECT_EQ(Camera.OrbitAngle, -0.5 + 0.0005);
    EXPECT_NEAR(Camera.OrbitAngle, -0.4995, 1e-15);
    EXPECT_NEAR(Camera.Direction.x, 0.87782216, 5e-9);
    EXPECT_NEAR(Camera.Direction.y, -0.47898669, 5e-9);
}

TEST_F(CameraTest, SecondStepMovesAlongTheFirstTurnedDirection) {
    Step(2);
    EXPECT_NEAR(Camera.Position.x, -1000061.0889, 5e-5);
    EXPECT_NEAR(Camera.Position.y, -239.4933, 5e-5);
    EXPECT_NEAR(Camera.OrbitAngle, -0.499, 1e-15);
    EXPECT_EQ(Camera.Direction.x, std::cos(Camera.OrbitAngle));
    EXPECT_EQ(Camera.Direction.y, std::sin(Camera.OrbitAngle));
}

TEST_F(CameraTest, AngleIsAccumulatedNotMultiplied) {
    Step(1000);
    const double multiplied = -0.5 + 1000 * 0.0005;
    EXPECT_EQ(multiplied, 0.0);
    EXPECT_NE(Camera.OrbitAngle, multiplied);
    EXPECT_NEAR(Camera.OrbitAngle, 4.4e-16, 0.1e-16);
}

TEST_F(CameraTest, OnlyPositionDirectionAndAngleEverChange) {
    for (int n = 0; n < 13000; ++n) {
        StepCamera();
        ASSERT_EQ(Camera.Position.z, 0.0);
        ASSERT_EQ(Camera.Direction.z, 0.0);
        ASSERT_EQ(Camera.Up.x, 0.0);
        ASSERT_EQ(Camera.Up.y, 0.0);
        ASSERT_EQ(Camera.Up.z, 1.0);
        ASSERT_EQ(Camera.FocalDistance, 1000.0);
    }
    // Past a full turn the angle is not wrapped, and the direction follows it.
    EXPECT_GT(Camera.OrbitAngle, 2 * std::numbers::pi - 0.5);
    EXPECT_EQ(Camera.Direction.x, std::cos(Camera.OrbitAngle));
    EXPECT_EQ(Camera.Direction.y, std::sin(Camera.OrbitAngle));
}

TEST_F(CameraTest, OrbitPassesCloseToTheOriginAndStaysOnItsCircle) {
    double nearest = HUGE_VAL;
    int nearestStep = 0;
    double farthest = 0.0;
    const double centreX = -521293.9;
    const double centreY = 877702.4;
    for (int n = 1; n <= 13000; ++n) {
        StepCamera();
        const double distance = std::hypot(Camera.Position.x, Camera.Position.y);
        if (distance < nearest) {
            nearest = distance;
            nearestStep = n;
        }
        farthest = std::fmax(farthest, distance);
        const double radius = std::hypot(Camera.Position.x - centreX, Camera.Position.y - centreY);
        ASSERT_NEAR(radius, 1000000.01, 1.0) << "step " << n;
    }
    EXPECT_NEAR(nearest, 20840.0, 10.0);
    EXPECT_NEAR(nearestStep, 2071, 2);
    EXPECT_NEAR(farthest, 2020840.0, 10.0);
}

}  // namespace
