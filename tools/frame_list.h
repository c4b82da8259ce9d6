// frame_list.h: galaxy-render's --frames list, "1,2,50-60,2070", as ranges of frame numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int32_t LastFrameNumber = 99999999;  // names have six digits, more beyond 999999

// Frames First to Last, both included.
struct FrameRange {
    int32_t First;
    int32_t Last;
};

// The list as sorted ranges, overlapping or touching ones merged: a range takes the same memory
// however many frames it holds. Throws std::invalid_argument, saying what is wrong, for an
// empty entry, a number outside 1 to LastFrameNumber or a range that runs backwards.
std::vector<FrameRange> ParseFrameList(const std::string& list);
