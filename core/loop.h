// The event loop: one wait over every socket in use, one receive per ready socket per pass.
#pragma once

#include <cstdint>

struct LoopState {
    uint32_t nowSeconds = 0;     // the seconds clock, read once per pass
    // The millisecond clock, read once per pass, for timings finer than a second (the connect
    // resends): the high-resolution counter, or the seconds clock where there is none.
    uint32_t nowMs = 0;
    int currentSlot = 0;         // slot whose datagram is being handled
};

extern LoopState loop;

void resetLoop();
// Reads both clocks into nowSeconds and nowMs.
void readLoopClocks();

// One pass: wait, then dispatch what arrived or run the idle rules. Returns false once the console
// break has been requested (the caller then runs the shutdown).
bool runLoopPass();
