// loader_test.h: loads bytes held in memory by either of the loader's paths and writes out all
// that came of it. Free of any test framework, so that the fuzzer shares it with the tests.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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

// Captures what a load writes to its two streams.
struct CapturedText {
    char* text[2] = {};
    std::size_t size[2] = {};
    std::FILE* out = open_memstream(&text[0], &size[0]);
    std::FILE* err = open_memstream(&text[1], &size[1]);

    void TakeInto(LoadRun& run) {
        std::fclose(out);
        std::fclose(err);
        run.out.assign(text[0], size[0]);
        run.err.assign(text[1], size[1]);
        std::free(text[0]);
        std::free(text[1]);
    }
};

// Loads bytes, named galaxy.dat, into StarArray and StarTag with LoadStars' capacity, cut into
// parts at `cuts` (offsets just after line feeds; none: one pass), and takes the arrays.
inline LoadRun RunSplitLoader(const std::string& bytes, int32_t capacity,
                              const std::vector<int64_t>& cuts) {
    // A file in memory that the loader can open by name, as often as it likes.
    const int file = memfd_create("galaxy.dat", 0);
    if (file < 0 || write(file, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::abort();
    }
    const std::string name = "/proc/self/fd/" + std::to_string(file);
    LoadRun run;
    CapturedText captured;
    const LoadStatus status =
        LoadStarsInParts(name.c_str(), capacity, &run.passes, captured.out, captured.err, &cuts);
    close(file);
    if (status != LoadStatus::Loaded) {
        std::abort();
    }
    captured.TakeInto(run);
    // Every diagnostic line starts with the file's name, which differs from RunLoader's.
    std::string err;
    for (std::size_t at = 0; at < run.err.size();) {
        const std::size_t end = std::min(run.err.find('\n', at), run.err.size() - 1) + 1;
        const std::string line = run.err.substr(at, end - at);
        err += line.starts_with(name) ? "galaxy.dat" + line.substr(name.size()) : line;
        at = end;
    }
    run.err = err;
    run.stars.assign(StarArray.begin(), StarArray.end());
    run.tags.assign(StarTag.begin(), StarTag.end());
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
