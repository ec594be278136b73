// The clocks of one pass of the event loop, read once per pass: every timing rule reads these.
#pragma once

#include <cstdint>

struct LoopState {
    uint32_t nowSeconds = 0;  // the seconds clock
    // The millisecond clock, for timings finer than a second (the connect resends): the
    // high-resolution counter, or the seconds clock where there is none.
    uint32_t nowMs = 0;
};

extern LoopState loop;

void resetClock();
