// text.cpp: crisp text from DejaVu Sans Mono through SDL2_ttf, copied into 32-bit buffers.
#include "display/text.h"

#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr const char* DefaultFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr int FontPixelSize = 16;
constexpr int32_t MaxTextLength = 255;  // longer texts are cut; the overlay needs 19

const char* FontPath = DefaultFontPath;  // the file OpenTextFont opens
TTF_Font* Font = nullptr;                // the open font, or null
bool FontLibraryStarted = false;         // our TTF_Init, to be matched by one TTF_Quit
bool FontFailureReported = false;        // the "cannot open" line is written only once

// The glyphs of the strings drawn last, kept so that an unchanged text costs no rendering: enough
// for the frame-rate line and every line of the viewer's help, which are drawn on every frame.
struct CachedText {
    SDL_Surface* glyphs = nullptr;
    char text[MaxTextLength + 1] = {};
    uint64_t lastUse = 0;  // in GlyphsFor calls: the least recently used entry goes first
};
std::array<CachedText, 16> Cached;
uint64_t GlyphRequests = 0;

void Forget(CachedText& entry) {
    SDL_FreeSurface(entry.glyphs);
    entry = CachedText{};
}

void ForgetCachedGlyphs() {
    for (CachedText& entry : Cached) {
        Forget(entry);
    }
}

// The 8-bit glyph surface for text; index 0 is background, any other index is ink.
SDL_Surface* GlyphsFor(const char* text, int32_t length) {
    const size_t size = static_cast<size_t>(std::min(length, MaxTextLength));
    ++GlyphRequests;
    CachedText* oldest = &Cached[0];
    for (CachedText& entry : Cached) {
        if (entry.glyphs != nullptr && std::strlen(entry.text) == size &&
            std::memcmp(entry.text, text, size) == 0) {
            entry.lastUse = GlyphRequests;
            return entry.glyphs;
        }
        oldest = entry.lastUse < oldest->lastUse ? &entry : oldest;
    }
    char terminated[MaxTextLength + 1];
    std::memcpy(terminated, text, size);
    terminated[size] = '\0';
    if (std::strlen(terminated) == 0) {
        return nullptr;  // nothing to draw, and SDL_ttf refuses empty text
    }
    Forget(*oldest);
    const SDL_Color ink{255, 255, 255, 255};
    SDL_Surface* glyphs = TTF_RenderText_Solid(Font, terminated, ink);
    if (glyphs == nullptr || glyphs->format->BytesPerPixel != 1) {
        SDL_FreeSurface(glyphs);
        return nullptr;
    }
    oldest->glyphs = glyphs;
    std::memcpy(oldest->text, terminated, size + 1);
    oldest->lastUse = GlyphRequests;
    return glyphs;
}

// Says once why there will be no text; the program goes on without it.
void ReportNoText(const char* what) {
    if (!FontFailureReported) {
        std::fprintf(stderr, "galaxy: no text: %s %s: %s\n", what, FontPath, TTF_GetError());
        FontFailureReported = true;
    }
}

// The four bytes of a pixel in colour: blue, green, red, 0.
uint32_t PixelBytes(ColorRef colour) {
    const uint8_t bytes[4] = {static_cast<uint8_t>((colour >> 16) & 0xFF),
                              static_cast<uint8_t>((colour >> 8) & 0xFF),
                              static_cast<uint8_t>(colour & 0xFF), 0};
    uint32_t pixel = 0;
    std::memcpy(&pixel, bytes, sizeof pixel);
    return pixel;
}

// Draws text[0, length) with its top-left corner at (x, y) in the given colours (0x00BBGGRR),
// on an opaque background box, clipped to the width x height buffer.
void DrawText(uint8_t* pixels, int32_t pitch, int32_t width, int32_t height, int32_t x, int32_t y,
              const char* text, int32_t length, ColorRef textColour, ColorRef backgroundColour) {
    if (Font == nullptr || pixels == nullptr || text == nullptr || length <= 0) {
        return;
    }
    const SDL_Surface* glyphs = GlyphsFor(text, length);
    if (glyphs == nullptr) {
        return;
    }
    // The box is the glyph surface, clipped to the buffer; work in 64 bits so no sum overflows.
    const int64_t left = std::max<int64_t>(x, 0);
    const int64_t top = std::max<int64_t>(y, 0);
    const int64_t right = std::min<int64_t>(int64_t{x} + glyphs->w, width);
    const int64_t bottom = std::min<int64_t>(int64_t{y} + glyphs->h, height);
    const auto* source = static_cast<const uint8_t*>(glyphs->pixels);
    const uint32_t ink = PixelBytes(textColour), background = PixelBytes(backgroundColour);
    for (int64_t row = top; row < bottom; ++row) {
        const uint8_t* sourceRow = source + (row - y) * glyphs->pitch;
        uint8_t* targetRow = pixels + row * pitch;
        for (int64_t column = left; column < right; ++column) {
            const uint32_t pixel = sourceRow[column - x] != 0 ? ink : background;
            std::memcpy(targetRow + column * 4, &pixel, sizeof pixel);
        }
    }
}

}  // namespace

bool OpenTextFont() {
    if (Font != nullptr) {
        return true;
    }
    if (!FontLibraryStarted) {
        if (TTF_Init() != 0) {
            ReportNoText("cannot start SDL_ttf");
            return false;
        }
        FontLibraryStarted = true;
    }
    Font = TTF_OpenFont(FontPath, FontPixelSize);
    if (Font == nullptr) {
        ReportNoText("cannot open font");
        return false;
    }
    TTF_SetFontHinting(Font, TTF_HINTING_MONO);
    return true;
}

void CloseTextFont() {
    ForgetCachedGlyphs();
    if (Font != nullptr) {
        TTF_CloseFont(Font);
        Font = nullptr;
    }
    if (std::exchange(FontLibraryStarted, false)) {
        TTF_Quit();
    }
}

void SetTextFontPath(const char* path) {
    FontPath = path != nullptr ? path : DefaultFontPath;
    FontFailureReported = false;
}

void BufferDeviceContext::Attach(uint8_t* pixels, int32_t pitch, int32_t width, int32_t height) {
    Pixels = pixels;
    Pitch = pitch;
    Width = width;
    Height = height;
    TextColour = 0x00000000;
    BackgroundColour = 0x00FFFFFF;
}

void BufferDeviceContext::Detach() {
    Pixels = nullptr;
}

ColorRef BufferDeviceContext::SetBkColor(ColorRef colour) {
    return std::exchange(BackgroundColour, colour);
}

ColorRef BufferDeviceContext::SetTextColor(ColorRef colour) {
    return std::exchange(TextColour, colour);
}

bool BufferDeviceContext::TextOut(int32_t x, int32_t y, const char* text, int32_t length) {
    if (Pixels == nullptr || text == nullptr || length < 0) {
        return false;
    }
    DrawText(Pixels, Pitch, Width, Height, x, y, text, length, TextColour, BackgroundColour);
    return true;
}
