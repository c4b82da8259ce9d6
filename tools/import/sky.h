// sky.h: the importer's sky geometry: parallax to distance, ICRS directions and their turn into
// galactic coordinates, the file scale, the file's value range and the colour classes.
#pragma once

#include <cstdint>
#include <span>

// A direction or a position, in the frame its producer names.
struct SkyVector {
    double x;
    double y;
    double z;
};

// The frame in which positions are written. Galactic: the galactic plane is z = 0 and the
// Galactic centre lies along +x. ICRS: the celestial equator is z = 0 and RA 0 lies along +x.
enum class Frame { Galactic, Icrs };

// Distance in parsecs of a star of the given parallax in milliarcseconds: 1000 / parallax.
double DistanceFromParallax(double parallaxMas);

// The unit vector towards right ascension and declination (degrees) in ICRS Cartesian axes:
// (cos dec cos ra, cos dec sin ra, sin dec).
SkyVector IcrsDirection(double raDegrees, double decDegrees);

// An ICRS vector turned into galactic Cartesian axes.
SkyVector IcrsToGalactic(SkyVector icrs);

// Where a star at the given distance and direction lies in the frame: the ICRS direction,
// turned into galactic axes when asked, times the distance.
SkyVector PlaceStar(double distancePc, double raDegrees, double decDegrees, Frame frame);

// File units (parsecs per unit) that put 90% of the stars within 8 units of the origin: the
// distance of the star at the 90th percentile divided by 8. Distances are reordered. 1 when
// there is no star or that star lies at the origin.
double ChooseScale(std::span<double> distances);

// Inclusive bounds of the fraction of stars and the radius that ChooseScale aims at.
inline constexpr double ScaleFraction = 0.9;
inline constexpr double ScaleRadius = 8.0;

// Whether the galaxy loader takes this file value: above -21476 and below 21475.
bool InFileRange(float value);

// Which colour index a column holds; their ranges differ.
enum class ColourIndex { BMinusV, BpMinusRp };

// Colour classes: 0 when the index is unknown (not finite); otherwise the index mapped
// linearly from its range onto 1 (bluest) to 255 (reddest) and clamped there: B-V from -0.4 to
// 2.0, BP-RP from -0.5 to 4.0. Both ranges run from the hottest O and B stars to cool M stars.
uint8_t ColourClass(double index, ColourIndex kind);

inline constexpr double BMinusVBluest = -0.4;
inline constexpr double BMinusVReddest = 2.0;
inline constexpr double BpMinusRpBluest = -0.5;
inline constexpr double BpMinusRpReddest = 4.0;
