// sdl_display.cpp: STUB, replaced by the display work.
#include "display/display.h"

HResult InitDisplay(SDL_Window*, int32_t, int32_t, int32_t) {
    return DisplayErrorNoDevice;
}
void ShutdownDisplay() {}
const char* DisplayErrorText() {
    return "not built yet";
}
