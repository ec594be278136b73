// The event loop: one wait over every socket in use, then what waits on each ready socket.
#pragma once

// Reads both clocks of core/clock.h.
void readLoopClocks();

// One pass: wait, then dispatch what arrived or run the idle rules. Returns false once the console
// break has been requested (the caller then runs the shutdown).
bool runLoopPass();
