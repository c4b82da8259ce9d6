// loader_test.h: runs LoadGalaxy on file contents made by a test and captures what it prints.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "data/loader.h"

// What one call of LoadGalaxy returned and printed.
struct LoadOutcome {
    int32_t passes;
    std::string out;
    std::string err;
};

// A fresh path in the system's temporary directory, removed when the owner goes.
struct TempPath {
    std::filesystem::path path;
    TempPath() {
        static std::atomic<int> counter{0};
        path = std::filesystem::temp_directory_path() /
               ("loader-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    }
    ~TempPath() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    ASSERT_EQ(std::fclose(file), 0);
}

// Loads path into the program-wide arrays, cleared first, capturing both output streams.
inline LoadOutcome LoadPath(const std::filesystem::path& path, int32_t capacity = MaxStars,
                            int32_t stride = 1) {
    ResetStars();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int32_t passes =
        LoadGalaxy(StarArray.data(), StarTag.data(), path.c_str(), capacity, stride);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {passes, out, err};
}

// Writes bytes to a temporary file named like the data file and loads it.
inline LoadOutcome LoadBytes(const std::string& bytes, int32_t capacity = MaxStars,
                             int32_t stride = 1) {
    TempPath directory;
    std::filesystem::create_directory(directory.path);
    const std::filesystem::path file = directory.path / "galaxy.dat";
    WriteFile(file, bytes);
    LoadOutcome outcome = LoadPath(file, capacity, stride);
    // Diagnostics name the file; tests compare them without the temporary directory.
    const std::string prefix = directory.path.string() + "/";
    for (std::size_t at = outcome.err.find(prefix); at != std::string::npos;
         at = outcome.err.find(prefix, at)) {
        outcome.err.erase(at, prefix.size());
    }
    return outcome;
}

// Number of slots that hold anything but the origin.
inline int CountStoredStars() {
    int count = 0;
    for (const Star& star : StarArray) {
        count += star.x != 0.0 || star.y != 0.0 || star.z != 0.0 ? 1 : 0;
    }
    return count;
}
