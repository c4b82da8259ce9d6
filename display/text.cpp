// text.cpp: STUB, replaced by the display work.
#include "display/text.h"

bool OpenTextFont() { return false; }
void CloseTextFont() {}
void DrawText(uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, int32_t,
              ColorRef, ColorRef) {}
