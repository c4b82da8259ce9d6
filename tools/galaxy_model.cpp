// galaxy_model.cpp: draws sample galaxies: a bulge, an exponential disk and two spiral arms.
#include "tools/galaxy_model.h"

#include <cmath>
#include <random>

namespace {

constexpr double Pi = 3.14159265358979323846;  // the circle constant
constexpr double DiskRadius = 8.0;             // file units; the camera circles at 10
constexpr double DiskScaleLength = 2.6;        // surface density falls by e every this far out
constexpr double DiskThickness = 0.15;         // standard deviation of height in the disk
constexpr double BulgeSize = 0.9;              // standard deviation of the bulge in the plane
constexpr double BulgeFlattening = 0.6;        // the bulge's height relative to its width
constexpr double ArmStart = 1.0;               // radius where the arms leave the bulge
constexpr double ArmScaleLength = 2.8;         // fall-off of star density along the arms
constexpr double ArmWinding = 4.0;   // radians per e-fold of radius: 1 / tan(pitch 14 deg)
constexpr double BulgeShare = 0.15;  // fractions of stars per component; the disk
constexpr double ArmShare = 0.30;    // takes what the bulge and both arms leave

// What a star's tag says it belongs to.
enum Component : int { Bulge = 0, FirstArm = 1, SecondArm = 2, Disk = 3 };

struct Point {
    double x;
    double y;
    double z;
};

// Uniform in [0, 1) from the top 53 bits of the engine, whose output is fixed by the standard.
double Uniform(std::mt19937_64& engine) {
    return static_cast<double>(engine() >> 11) * 0x1.0p-53;
}

// Standard normal by the Box-Muller transform; written out so every library gives the same.
double Normal(std::mt19937_64& engine) {
    const double radius = std::sqrt(-2.0 * std::log(1.0 - Uniform(engine)));
    return radius * std::cos(2.0 * Pi * Uniform(engine));
}

// Exponentially distributed distance with the given scale, drawn again until it is below limit.
double ExponentialBelow(std::mt19937_64& engine, double scale, double limit) {
    for (;;) {
        const double distance = -scale * std::log(1.0 - Uniform(engine));
        if (distance < limit) {
            return distance;
        }
    }
}

Point BulgeStar(std::mt19937_64& engine) {
    const double x = BulgeSize * Normal(engine);
    const double y = BulgeSize * Normal(engine);
    return {x, y, BulgeSize * BulgeFlattening * Normal(engine)};
}

Point DiskStar(std::mt19937_64& engine) {
    const double radius = ExponentialBelow(engine, DiskScaleLength, DiskRadius);
    const double angle = 2.0 * Pi * Uniform(engine);
    const double z = DiskThickness * Normal(engine);
    return {radius * std::cos(angle), radius * std::sin(angle), z};
}

// A star near a logarithmic spiral r = ArmStart * e^(angle / ArmWinding), turned by arm * pi.
Point ArmStar(std::mt19937_64& engine, int arm) {
    const double radius =
        ArmStart + ExponentialBelow(engine, ArmScaleLength, DiskRadius - ArmStart);
    const double angle = arm * Pi + ArmWinding * std::log(radius / ArmStart);
    const double spread = 0.15 + 0.04 * radius;  // arms widen outward
    const double x = radius * std::cos(angle) + spread * Normal(engine);
    const double y = radius * std::sin(angle) + spread * Normal(engine);
    return {x, y, DiskThickness * 0.8 * Normal(engine)};
}

// Draws the component first, then a position within it.
Point GalaxyStar(std::mt19937_64& engine, Component* component) {
    const double pick = Uniform(engine);
    if (pick < BulgeShare) {
        *component = Bulge;
        return BulgeStar(engine);
    }
    if (pick < BulgeShare + 2.0 * ArmShare) {
        *component = pick < BulgeShare + ArmShare ? FirstArm : SecondArm;
        return ArmStar(engine, *component == FirstArm ? 0 : 1);
    }
    *component = Disk;
    return DiskStar(engine);
}

}  // namespace

// Writes the header, the comment describing the fields and the records; false on a write error.
bool WriteGalaxy(std::FILE* file, int64_t stars, uint64_t seed) {
    std::fprintf(file,
                 "#Sample galaxy: %lld stars in an exponential disk with two logarithmic spiral "
                 "arms and a central bulge, seed %llu\r\n",
                 static_cast<long long>(stars), static_cast<unsigned long long>(seed));
    std::fprintf(file, "# x y z in file units, tag: 0 bulge, 1 and 2 spiral arms, 3 disk\r\n");
    std::mt19937_64 engine(seed);
    for (int64_t star = 0; star < stars; ++star) {
        Component component = Disk;
        const Point point = GalaxyStar(engine, &component);
        std::fprintf(file, "%.6f %.6f %.6f %d\r\n", point.x, point.y, point.z,
                     static_cast<int>(component));
    }
    return std::ferror(file) == 0;
}
