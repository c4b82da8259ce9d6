// sky.cpp: the importer's sky geometry: distances, directions, the galactic turn, the file
// scale and the colour classes.
#include "tools/import/sky.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double RadiansPerDegree = std::numbers::pi / 180.0;
constexpr float FileValueCeiling = 21475.0f;  // the loader rejects values at or above this
constexpr float FileValueFloor = -21476.0f;   // and at or below this

// The rotation from ICRS to galactic axes as the Hipparcos catalogue defines it: its rows are
// the galactic x (towards l = 0, b = 0), y (l = 90) and z (the north galactic pole) axes in
// ICRS coordinates, fixed by the pole at RA 192.85948, Dec 27.12825 degrees and the galactic
// longitude 122.93192 degrees of the north celestial pole.
constexpr double IcrsToGalacticMatrix[3][3] = {
    {-0.0548755604162154, -0.8734370902348850, -0.4838350155487132},
    {+0.4941094278755837, -0.4448296299600112, +0.7469822444972189},
    {-0.8676661490190047, -0.1980763734312015, +0.4559837761750669},
};

double Row(int row, SkyVector v) {
    const double* m = IcrsToGalacticMatrix[row];
    return m[0] * v.x + m[1] * v.y + m[2] * v.z;
}

}  // namespace

double DistanceFromParallax(double parallaxMas) {
    return 1000.0 / parallaxMas;
}

SkyVector IcrsDirection(double raDegrees, double decDegrees) {
    const double ra = raDegrees * RadiansPerDegree;
    const double dec = decDegrees * RadiansPerDegree;
    return {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
}

SkyVector IcrsToGalactic(SkyVector icrs) {
    return {Row(0, icrs), Row(1, icrs), Row(2, icrs)};
}

SkyVector PlaceStar(double distancePc, double raDegrees, double decDegrees, Frame frame) {
    SkyVector v = IcrsDirection(raDegrees, decDegrees);
    if (frame == Frame::Galactic) {
        v = IcrsToGalactic(v);
    }
    return {v.x * distancePc, v.y * distancePc, v.z * distancePc};
}

double ChooseScale(std::span<double> distances) {
    if (distances.empty()) {
        return 1.0;
    }
    // The k-th nearest star with k = ceil(0.9 n): k stars, 90% or more, lie at or within it.
    const double wanted = std::ceil(ScaleFraction * static_cast<double>(distances.size()));
    const auto k = static_cast<std::size_t>(std::max(wanted, 1.0));  // 1 <= k <= size
    const auto kth = distances.begin() + static_cast<std::ptrdiff_t>(k - 1);
    std::nth_element(distances.begin(), kth, distances.end());
    return *kth > 0.0 ? *kth / ScaleRadius : 1.0;
}

bool InFileRange(float value) {
    return value < FileValueCeiling && value > FileValueFloor;  // false for NaN too
}

uint8_t ColourClass(double index, ColourIndex kind) {
    if (!std::isfinite(index)) {
        return 0;
    }
    const bool bv = kind == ColourIndex::BMinusV;
    const double bluest = bv ? BMinusVBluest : BpMinusRpBluest;
    const double reddest = bv ? BMinusVReddest : BpMinusRpReddest;
    const double t = std::clamp((index - bluest) / (reddest - bluest), 0.0, 1.0);
    return static_cast<uint8_t>(1.0 + std::floor(t * 254.0 + 0.5));  // 1 to 255
}
