// The two relays between the host client and the server.
#pragma once

#include <cstdint>

// A datagram from the host client (slot 1) in the PacketBuffer.
void relayClientDatagram(int length);
// A data datagram from the server in the PacketBuffer (length checks already done).
void relayServerDatagram(int length);

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

void resetRelays();

// A change of server: if the host has not acknowledged the last reliable fragment it was passed,
// the new server's stream is held back and that fragment sent again until it has.
void holdNewServerForHostAck();
// The held fragment again, once a second; run on every pass.
void runHostTailTimer();
// Milliseconds until runHostTailTimer has something due, -1 when nothing is.
int hostTailWaitMs();
