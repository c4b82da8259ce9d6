// frame_rate.cpp: STUB, replaced by the render work.
#include "render/frame_rate.h"

double FrameRate = 0.0;
int32_t FrameCounter = 0;
TimeStamp LastRateTime{};
char FrameRateText[20] = {};
void SetFrameRateClock(FrameRateClock) {}
TimeStamp ReadFrameRateClock() { return TimeStamp{}; }
void StartFrameRateClock() {}
void ResetFrameRateCounters() {}
void DrawFrameRate() {}
