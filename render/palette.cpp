// palette.cpp: the star palette, built at compile time from its four anchors (see palette.h).
#include "render/palette.h"

#include <cstddef>

namespace {

struct Anchor {
    int32_t colourClass;
    StarColour colour;
};

// Blue-white, white, yellow, orange-red; neighbours share a channel at 255, so every colour on
// the straight line between them has one too.
constexpr Anchor Anchors[] = {
    {1, {155, 176, 255}}, {86, {255, 255, 255}}, {149, {255, 221, 150}}, {255, {255, 120, 60}}};

// The colour at class `at` on the straight line from `low` to `high`, each channel rounded to
// nearest (halves up) in integers.
constexpr StarColour Between(const Anchor& low, const Anchor& high, int32_t at) {
    const int32_t span = high.colourClass - low.colourClass;
    const auto channel = [&](int32_t from, int32_t to) {
        const int32_t value = from * (high.colourClass - at) + to * (at - low.colourClass);
        return static_cast<uint8_t>((2 * value + span) / (2 * span));
    };
    return StarColour{channel(low.colour.red, high.colour.red),
                      channel(low.colour.green, high.colour.green),
                      channel(low.colour.blue, high.colour.blue)};
}

constexpr std::array<StarColour, 256> BuildPalette() {
    std::array<StarColour, 256> palette{};
    palette[0] = StarColour{255, 255, 255};  // unknown colour: white, so the star stays grey
    for (std::size_t anchor = 0; anchor + 1 < std::size(Anchors); ++anchor) {
        const Anchor& low = Anchors[anchor];
        const Anchor& high = Anchors[anchor + 1];
        for (int32_t at = low.colourClass; at <= high.colourClass; ++at) {
            palette[static_cast<std::size_t>(at)] = Between(low, high, at);
        }
    }
    return palette;
}

constexpr bool EveryLargestChannelIsFull(const std::array<StarColour, 256>& palette) {
    for (const StarColour& colour : palette) {
        if (colour.red != 255 && colour.green != 255 && colour.blue != 255) {
            return false;
        }
    }
    return true;
}

constexpr std::array<StarColour, 256> Palette = BuildPalette();
static_assert(EveryLargestChannelIsFull(Palette));

}  // namespace

const std::array<StarColour, 256> StarPalette = Palette;
