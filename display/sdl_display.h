// sdl_display.h: the pacing of the SDL display's flips, kept apart from SDL so it can be tested.
#pragma once

#include <cstdint>

inline constexpr int32_t PresentWarmUpFlips = 10;  // flips that may fill a driver's queue
inline constexpr int32_t PresentProbeFlips = 60;   // flips timed before deciding to pace

// Paces flips to the display's refresh when presenting does not wait for it by itself.
struct FlipPacer {
    int64_t Interval = 0;                      // nanoseconds per refresh
    bool Pacing = false;                       // true once presents proved not to wait
    int32_t ProbeFlips = -PresentWarmUpFlips;  // flips timed so far (below 0: warming up)
    int64_t ProbeStart = 0;                    // clock at the first probed flip
    int64_t NextDeadline = 0;                  // when the next paced flip may return
};

// Called after each present with the monotonic clock in nanoseconds; returns the time to sleep
// until before the flip returns, or 0 for no sleep. After a warm-up in which a driver may fill
// its queue of frames without blocking, it times runs of flips: presents that wait for the
// refresh are never faster than it, give or take the rounding of the reported rate. If a run
// comes faster, presenting does not wait (software renderer, dummy driver, Xvfb, some remote
// displays), and every later flip is held to the refresh. A slow frame moves the schedule on
// instead of leaving a debt for later frames to rush through.
inline int64_t NextFlipDeadline(FlipPacer& pacer, int64_t now) {
    if (!pacer.Pacing) {
        if (pacer.ProbeFlips == 0) {
            pacer.ProbeStart = now;
        }
        if (++pacer.ProbeFlips <= PresentProbeFlips) {
            return 0;
        }
        pacer.ProbeFlips = 0;
        int64_t expected = int64_t{PresentProbeFlips} * pacer.Interval;
        if (now - pacer.ProbeStart >= expected / 100 * 98) {
            return 0;
        }
        pacer.Pacing = true;
        pacer.NextDeadline = now;
    }
    pacer.NextDeadline += pacer.Interval;
    if (pacer.NextDeadline <= now) {
        pacer.NextDeadline = now;
        return 0;
    }
    return pacer.NextDeadline;
}
