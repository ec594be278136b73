// The event loop: one wait over every socket in use, one receive per ready socket per pass.
#pragma once

#include <cstdint>

struct LoopState {
    bool unboundedWait = false;  // while a connect waits for the server's answer
    uint32_t nowSeconds = 0;     // the seconds clock, read once per pass
    int currentSlot = 0;         // slot whose datagram is being handled
};

extern LoopState loop;

void resetLoop();

// One pass: wait, then dispatch what arrived or run the idle rules. Returns false once the console
// break has been requested (the caller then runs the shutdown).
bool runLoopPass();
