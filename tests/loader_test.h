// loader_test.h: loads files made by a test and checks what the loader stored and printed.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "data/loader.h"
#include "data/loader_internal.h"

struct LoadOutcome {
    int32_t passes;
    std::string out, err;
};

// A fresh temporary path, removed with all it holds when the owner goes.
struct TempPath {
    static inline std::atomic<int> counter{0};
    std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("loader-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    ~TempPath() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    ASSERT_TRUE(std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes)));
}

inline const std::string H = "#abc\r\n";  // the usual header line

// Loads path into the arrays, cleared first, capturing both output streams.
inline LoadOutcome LoadPath(const std::filesystem::path& path, int32_t capacity = MaxStars,
                            int32_t stride = 1) {
    ResetStars();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int32_t passes =
        LoadGalaxy(StarArray.data(), StarTag.data(), path.c_str(), capacity, stride);
    std::string out = testing::internal::GetCapturedStdout();
    return {passes, out, testing::internal::GetCapturedStderr()};
}

// Loads bytes from a file named galaxy.dat; diagnostics lose the temporary directory.
inline LoadOutcome LoadBytes(const std::string& bytes, int32_t capacity = MaxStars,
                             int32_t stride = 1) {
    TempPath directory;
    std::filesystem::create_directory(directory.path);
    WriteFile(directory.path / "galaxy.dat", bytes);
    LoadOutcome outcome = LoadPath(directory.path / "galaxy.dat", capacity, stride);
    const std::string prefix = directory.path.string() + "/";
    for (auto at = outcome.err.find(prefix); at != std::string::npos;
         at = outcome.err.find(prefix)) {
        outcome.err.erase(at, prefix.size());
    }
    return outcome;
}

// Expects the slots to hold exactly the records "x y z tag|x y z tag|...", each value rounded by
// the C library, bit for bit, and every later slot the origin.
inline void ExpectStored(const std::string& records) {
    const auto bits = [](double value) { return std::bit_cast<uint64_t>(value); };
    std::size_t slot = 0;
    for (const char* at = records.c_str(); *at != '\0'; ++slot) {
        char* end = nullptr;
        for (const double stored : {StarArray[slot].x, StarArray[slot].y, StarArray[slot].z}) {
            const float want = std::strtof(at, &end);
            EXPECT_EQ(bits(stored), bits(static_cast<double>(want) * 100000.0)) << "slot " << slot;
            at = end;
        }
        EXPECT_EQ(StarTag[slot], std::strtol(at, &end, 10) & 0xFF) << "slot " << slot;
        at = *end == '|' ? end + 1 : end;
    }
    for (const Star& s : std::span(StarArray).subspan(slot)) {
        ASSERT_TRUE(s.x == 0.0 && s.y == 0.0 && s.z == 0.0) << "slot " << &s - StarArray.data();
    }
}

// One load: the file, what must come out of it, and the stored records as for ExpectStored.
struct LoadCase {
    std::string bytes, out, err;
    int32_t passes;
    std::string stored;
    int32_t capacity = MaxStars, stride = 1;
};

inline void ExpectLoads(const std::vector<LoadCase>& cases) {
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 60));
        const LoadOutcome outcome = LoadBytes(c.bytes, c.capacity, c.stride);
        EXPECT_EQ(std::tie(outcome.out, outcome.err, outcome.passes),
                  std::tie(c.out, c.err, c.passes));
        ExpectStored(c.stored);
    }
}
