// png_writer.h: a fast PNG encoder for the display's frames, with buffers made once and reused.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <span>
#include <vector>

// One encoder per thread. The picture is converted from the display's B, G, R, unused bytes to
// RGB; every buffer is sized in PngEncoderInit, so encoding allocates nothing.
struct PngEncoder {
    int32_t Width = 0;
    int32_t Height = 0;
    z_stream Stream{};
    bool StreamReady = false;
    std::vector<uint8_t> Rows;  // the rows as PNG compresses them: filter byte 0, then RGB
    std::vector<uint8_t> File;  // the PNG file being built
};

// Prepares an encoder for width x height pictures; false if zlib cannot be set up.
bool PngEncoderInit(PngEncoder& encoder, int32_t width, int32_t height);
void PngEncoderFree(PngEncoder& encoder);

// Encodes pixels (4 bytes each: B, G, R, unused; pitch bytes from row to row) as an RGB PNG.
// The result stays valid until the next call; it is empty if zlib failed.
std::span<const uint8_t> EncodePng(PngEncoder& encoder, const uint8_t* pixels, int32_t pitch);
