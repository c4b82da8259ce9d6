// loader_test.h: loads bytes held in memory by either of the loader's paths and writes out all
// that came of it. Free of any test framework, so that the fuzzer shares it with the tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data/loader.h"
#include "data/loader_internal.h"

// What one load returned, printed and stored.
struct LoadRun {
    int32_t passes = 0;
    std::string out, err;
    std::vector<Star> stars;
    std::vector<uint8_t> tags;
};

// Loads bytes, named galaxy.dat, into `capacity` zeroed slots by the quick or the exact path.
inline LoadRun RunLoader(const std::string& bytes, int32_t capacity, int32_t stride, bool quick) {
    const auto slots = static_cast<std::size_t>(capacity);
    LoadRun run{0, "", "", std::vector<Star>(slots, Star{0.0, 0.0, 0.0}),
                std::vector<uint8_t>(slots)};
    // fmemopen refuses an empty buffer; an empty file reads the same.
    std::FILE* in = bytes.empty() ? std::fopen("/dev/null", "rb")
                                  : fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    char* text[2] = {};
    std::size_t size[2] = {};
    std::FILE* out = open_memstream(&text[0], &size[0]);
    std::FILE* err = open_memstream(&text[1], &size[1]);
    if (in == nullptr || out == nullptr || err == nullptr) {
        std::abort();
    }
    LoaderQuickPath = quick;
    run.passes = LoadGalaxyFromStream(run.stars.data(), run.tags.data(), in, "galaxy.dat", capacity,
                                      stride, out, err);
    LoaderQuickPath = true;
    for (std::FILE* stream : {in, out, err}) {
        std::fclose(stream);
    }
    run.out.assign(text[0], size[0]);
    run.err.assign(text[1], size[1]);
    std::free(text[0]);
    std::free(text[1]);
    return run;
}

// A run as text: what it returned and printed, then every slot whose bits are not all zero,
// values in hexadecimal. Two runs gave the same, bit for bit, exactly when their texts match.
inline std::string Describe(const LoadRun& run) {
    std::string text = std::to_string(run.passes) + " records\n" + run.out + run.err;
    const Star origin{0.0, 0.0, 0.0};
    for (std::size_t slot = 0; slot < run.stars.size(); ++slot) {
        const Star& s = run.stars[slot];
        if (std::memcmp(&s, &origin, sizeof s) != 0 || run.tags[slot] != 0) {
            char line[128];
            std::snprintf(line, sizeof line, "slot %zu: %a %a %a %d\n", slot, s.x, s.y, s.z,
                          run.tags[slot]);
            text += line;
        }
    }
    return text;
}
