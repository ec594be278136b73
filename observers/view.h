// View offsets and the impulses that change them; the observers' view from the host's moves.
#pragma once

#include <cstdint>

#include "observers/scanner.h"

// Observing mode: the host is itself an observer behind another proxy; the server's setangle
// samples are kept here and replayed 100 ms in the past.
constexpr int AngleRingSize = 32;
struct ObservingState {
    bool observingMode = false;
    struct Sample {
        uint8_t setangle[4];  // code 10 and three angle bytes
        uint32_t timeMs;
    } ring[AngleRingSize] = {};
    int readIndex = 0;
    int writeIndex = 0;
    uint8_t lastForwardedButtons = 0;
    uint32_t lastForwardTime = 0;  // seconds
};
extern ObservingState observing;

// The host's view in degrees (pitch, yaw, roll), as each demo block and stored record carries it.
struct DemoView {
    float angles[3] = {0, 0, 0};
};
extern DemoView demoView;

void resetView();
// The view from angles of `angleBytes` each (1 and 2: 256 and 65536 to the circle, 4: float degrees).
void setDemoView(const uint8_t* angles, int angleBytes);
// The view into a stored record's angle fields (bytes 4 to 15).
void writeDemoView(uint8_t* record);

// For a move in the PacketBuffer: impulses 1-12 from a slot in state 4 change its offset and
// answer "View offset: x=%d y=%d z=%d\n".
// The layout is the game's the slot's client plays: the host's may run ahead of the observers'.
void applyViewImpulse(int slot, int length, const MoveLayout& move = moveLayout());
// A host move in the PacketBuffer as the observer side takes it: the demo angles and, unless
// `toObservers` is false, the observers' view.
void takeHostMove(int length, bool toObservers);
// One svc_setangle per watching observer, from a host move in the PacketBuffer, all in one call.
void feedObserverViews(int length);
// Changes an offset by impulse 1-12; false for any other impulse.
bool changeOffsetByImpulse(int8_t offset[3], int impulse);
// Observing mode, one host move at `nowMs`: drops samples older than 100 ms and, if the ring
// still holds one, writes the angles 100 ms in the past plus the host's offset. False when the
// ring is empty (the previous angles stand).
bool smoothHostView(uint32_t nowMs, uint8_t angles[3]);
// Stores a server svc_setangle (code and three angle bytes) with its arrival time.
void storeAngleSample(const uint8_t setangle[4], uint32_t nowMs);
