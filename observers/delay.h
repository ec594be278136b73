// The tournament delay: the observer side (capture, catch-up, feed, view, recording) runs on a
// copy of the relays' hand-offs played back a set number of seconds late.
#pragma once

#include <cstdint>

#include "core/settings.h"

// The line holds this much per second of delay: 64 MiB for 300 seconds of a busy server.
constexpr uint32_t DelayLineBytesPerSecond = (64u << 20) / MaxDelaySeconds;
// A server sending more makes the line grow, up to this many times its size (256 MiB at 300 s);
// only past that do observers catch up again at a later point.
constexpr uint32_t DelayLineGrowth = 4;
static_assert(uint64_t(MaxDelaySeconds) * DelayLineBytesPerSecond * DelayLineGrowth <= (256u << 20), "at most 256 MiB");

void resetDelayLine();
int delaySeconds();
// Sets the delay, moving what the line holds into a line of the new size. Entries due under a
// shorter delay are played at once and every observer catches up again at the new point. False
// (nothing changed) when the memory for the line cannot be had.
bool setDelaySeconds(int seconds);
// Plays the entries whose time has come; the loop calls it on every pass.
void playDueEntries();
// Milliseconds until the oldest entry is due (0: due now), or -1 when the line is empty.
int msUntilNextEntry();
// Plays everything the line holds at once (the game's end for the observer side: a server
// disconnect, the host leaving, a break), so a demo file ends with all the host received.
void playDelayLineThrough();
// Bytes the line has reserved (0 without a delay): more than the delay's own size once it grew.
uint32_t delayLineCapacity();
