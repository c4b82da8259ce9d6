// bench_galaxies.h: the galaxies the benchmarks time: galaxy-generate's default sample, and the
// worst case for the cells, 17224 stars each in a cell of its own, as files and as star arrays.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "data/star.h"
#include "tools/galaxy_model.h"

namespace bench_galaxies {

// A record of the distinct galaxy's file.
struct Record {
    Vec3 Place;  // in file units
    int Tag;
};

// One star in the middle of each cell of a slab around the camera's circle of radius 10, keys
// x and y in [-20, 19] and z in [-5, 5], but the origin's cell, where the last slot always sits:
// 17224 stars in 17225 cells with it. In key order, as the frame benchmarks draw it, or
// shuffled with a fixed seed, so that grouping is real work.
inline std::vector<Record> DistinctRecords(bool shuffled) {
    // Keys truncate toward zero, so key k < 0 holds (k - 1, k], whose middle is k - 0.5.
    const auto middle = [](int key) { return key + (key < 0 ? -0.5 : 0.5); };
    const size_t stars = MaxStars - 1;
    std::vector<Record> records;
    for (int z = -5; z <= 5; ++z) {
        for (int y = -20; y < 20; ++y) {
            for (int x = -20; x < 20; ++x) {
                if ((x != 0 || y != 0 || z != 0) && records.size() < stars) {
                    const int tag = static_cast<int>(records.size() % 4);
                    records.push_back(Record{Vec3{middle(x), middle(y), middle(z)}, tag});
                }
            }
        }
    }
    if (shuffled) {
        std::mt19937_64 rng(1);
        std::shuffle(records.begin(), records.end(), rng);
    }
    return records;
}

// The shuffled distinct galaxy as the loader leaves StarArray: in world units, the last slot at
// the origin.
inline std::array<Star, MaxStars> DistinctStars() {
    std::array<Star, MaxStars> stars{};
    const std::vector<Record> records = DistinctRecords(true);
    for (size_t slot = 0; slot < records.size(); ++slot) {
        const Vec3& place = records[slot].Place;
        stars[slot] = Star{place.x * CellSize, place.y * CellSize, place.z * CellSize};
    }
    return stars;
}

inline bool WriteDistinct(std::FILE* file, bool shuffled) {
    bool written = std::fputs("#Distinct cells: one star in each\r\n", file) >= 0;
    for (const Record& record : DistinctRecords(shuffled)) {
        const Vec3& place = record.Place;
        written = written && std::fprintf(file, "%.1f %.1f %.1f %d\r\n", place.x, place.y, place.z,
                                          record.Tag) > 0;
    }
    return written;
}

inline bool WriteSample(std::FILE* file) {
    return WriteGalaxy(file, DefaultStars, DefaultSeed);
}

// Writes a galaxy file of the given name in the temporary folder and returns its path; exits if
// it cannot. The file is written beside its place and renamed into it, so that benchmarks
// running at the same time never read one half written.
inline std::string PublishGalaxy(const char* name, bool (*write)(std::FILE*)) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
    const std::string staging = path.string() + "." + std::to_string(getpid());
    std::FILE* file = std::fopen(staging.c_str(), "wb");
    const bool written = file != nullptr && write(file);
    if (file == nullptr || std::fclose(file) != 0 || !written ||
        std::rename(staging.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    return path.string();
}

// galaxy-generate's default galaxy byte for byte; written once per process.
inline const std::string& WriteSampleGalaxy() {
    static const std::string path = PublishGalaxy("galaxy-benchmark-sample.dat", WriteSample);
    return path;
}

// The distinct galaxy as a file, shuffled (start-up) or in key order (frames); each written
// once per process.
inline const std::string& WriteDistinctGalaxy() {
    static const std::string path = PublishGalaxy(
        "galaxy-benchmark-distinct.dat", [](std::FILE* file) { return WriteDistinct(file, true); });
    return path;
}
inline const std::string& WriteOrderedDistinctGalaxy() {
    static const std::string path =
        PublishGalaxy("galaxy-benchmark-distinct-ordered.dat",
                      [](std::FILE* file) { return WriteDistinct(file, false); });
    return path;
}

}  // namespace bench_galaxies
