// frame_output.h: what galaxy-render's outputs share: the display's pixels as RGB, and buffers
// written whole to a file or a pipe.
#pragma once

#include <cstdint>
#include <span>

// Converts one row of width pixels from the display's B, G, R, unused bytes to R, G, B.
void ConvertRowToRgb(const uint8_t* source, uint8_t* target, int32_t width);

// Writes every byte to the descriptor, retrying short and interrupted writes. On failure returns
// false with errno saying why (EIO if the descriptor took nothing).
bool WriteAll(int descriptor, std::span<const uint8_t> bytes);
