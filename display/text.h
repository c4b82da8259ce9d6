// text.h: the display's text output, drawn into a locked 32-bit pixel buffer.
#pragma once

#include <cstdint>

#include "display/display.h"

// Opens the monospace font once; on failure says so once on standard error and returns false,
// after which text output draws nothing.
bool OpenTextFont();
void CloseTextFont();

// Replaces the font file OpenTextFont opens (tests); nullptr restores the system's DejaVu Sans
// Mono. Takes effect at the next OpenTextFont after CloseTextFont.
void SetTextFontPath(const char* path);

// A device context over a plain 32-bit pixel buffer (B, G, R, unused; pitch in bytes) that
// writes its text crisp, on an opaque background box, clipped to the buffer. Both displays hand
// one out from GetDC.
class BufferDeviceContext final : public DeviceContext {
  public:
    // Points the context at a buffer and restores the default colours: black text on white,
    // as a freshly obtained context has.
    void Attach(uint8_t* pixels, int32_t pitch, int32_t width, int32_t height);
    // Forgets the buffer; TextOut fails until the next Attach.
    void Detach();

    ColorRef SetBkColor(ColorRef colour) override;
    ColorRef SetTextColor(ColorRef colour) override;
    bool TextOut(int32_t x, int32_t y, const char* text, int32_t length) override;

  private:
    uint8_t* Pixels = nullptr;
    int32_t Pitch = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    ColorRef TextColour = 0x00000000;
    ColorRef BackgroundColour = 0x00FFFFFF;
};
