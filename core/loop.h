// The event loop: one wait over every socket in use, then what waits on each ready socket.
#pragma once

// Reads both clocks of core/clock.h.
void readLoopClocks();

// Touches the first page of every burst buffer, as a burst of small datagrams does, so that the
// proxy's resident memory is what it stays at from the start rather than growing with the bursts.
void primeBurstBuffers();

// One pass: wait, then dispatch what arrived or run the idle rules. Returns false once the console
// break has been requested (the caller then runs the shutdown).
bool runLoopPass();
