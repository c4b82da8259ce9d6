// frame.cpp: STUB, replaced by the render work.
#include "render/frame.h"

LockDescription LockDesc{};
BltEffects ClearFx{};
void PrepareFrameRecords() {}
void RenderFrame() {}
int32_t DrawnStarCount() { return 0; }
