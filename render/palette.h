// palette.h: star colours: a colour for each colour class, shaded to a star's grey level.
//
// A star's tag is its colour class, as galaxy-import writes it: 0 when the colour is unknown,
// otherwise 1 (bluest, B-V -0.4 or BP-RP -0.5) to 255 (reddest, B-V 2.0 or BP-RP 4.0), linear
// in the colour index between. The palette runs through four anchors, straight lines in RGB
// between neighbours:
//
//   class   1  (B-V -0.4, O stars)   blue-white   (155, 176, 255)
//   class  86  (B-V  0.4, F stars)   white        (255, 255, 255)
//   class 149  (B-V  1.0, K stars)   yellow       (255, 221, 150)
//   class 255  (B-V  2.0, M stars)   orange-red   (255, 120,  60)
//
// Class 0 is white, so a star of unknown colour stays grey. Every entry's largest channel is
// 255, so that shading an entry to a level keeps the level as the pixel's largest channel.
#pragma once

#include <array>
#include <cstdint>

struct StarColour {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

// The colour of each class, at full brightness.
extern const std::array<StarColour, 256> StarPalette;

// One palette channel at a star's grey level: channel x level / 255 rounded to the nearest
// whole number, as (channel x level + 127) / 255 in integers. The quotient is never a half
// (255 is odd and channel x level whole), so the rounding has no ties; a channel of 255 gives
// the level exactly, and every level is kept within 0 to 255.
constexpr uint8_t ShadeChannel(uint8_t channel, uint8_t level) {
    return static_cast<uint8_t>((uint32_t{channel} * level + 127) / 255);
}
