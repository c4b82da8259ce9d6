// text.h: the display's text output, drawn into a locked 32-bit pixel buffer.
#pragma once

#include <cstdint>

#include "display/display.h"

// Opens the monospace font once; on failure says so once on standard error and returns false,
// after which DrawText draws nothing.
bool OpenTextFont();
void CloseTextFont();

// Draws text[0, length) with its top-left corner at (x, y) in the given colours (0x00BBGGRR),
// crisp, on an opaque background box, clipped to the width x height buffer.
void DrawText(uint8_t* pixels, int32_t pitch, int32_t width, int32_t height, int32_t x,
              int32_t y, const char* text, int32_t length, ColorRef textColour,
              ColorRef backgroundColour);
