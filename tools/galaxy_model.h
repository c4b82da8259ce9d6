// galaxy_model.h: the sample galaxy model: a bulge, an exponential disk and two spiral arms.
#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr int64_t DefaultStars = 17224;       // every slot the viewer keeps, the last aside
inline constexpr uint64_t DefaultSeed = 0x5EED2026;  // fixed, so the default file never changes

// Writes a galaxy file of `stars` records drawn from the model with `seed`: a '#' header line,
// a comment naming the fields, then "x y z tag" records with CR LF line ends. The same seed
// always gives the same bytes. Returns false on a write error.
bool WriteGalaxy(std::FILE* file, int64_t stars, uint64_t seed);
