// View offsets and the impulses that change them; the observers' view from the host's moves.
#pragma once

#include <cstdint>

#include "observers/scanner.h"

// For a move in the PacketBuffer: impulses 1-12 from a slot in state 4 change its offset and
// answer "View offset: x=%d y=%d z=%d\n".
// The layout is the game's the slot's client plays: the host's may run ahead of the observers'.
void applyViewImpulse(int slot, int length, const MoveLayout& move = moveLayout());
// A host move in the PacketBuffer as the observer side takes it: the demo angles and, unless
// `toObservers` is false, the observers' view.
void takeHostMove(int length, bool toObservers);
// One svc_setangle per watching observer, from a host move in the PacketBuffer (rewritten in place).
void feedObserverViews(int length);
// Changes an offset by impulse 1-12; false for any other impulse.
bool changeOffsetByImpulse(int8_t offset[3], int impulse);
// Observing mode, one host move at `nowMs`: drops samples older than 100 ms and, if the ring
// still holds one, writes the angles 100 ms in the past plus the host's offset. False when the
// ring is empty (the previous angles stand).
bool smoothHostView(uint32_t nowMs, uint8_t angles[3]);
// Stores a server svc_setangle (code and three angle bytes) with its arrival time.
void storeAngleSample(const uint8_t setangle[4], uint32_t nowMs);
