// The two relays between the host client and the server.
#pragma once

#include <cstdint>

// A datagram from the host client (slot 1) in the PacketBuffer, in two steps around the walk of its
// string commands: the first takes its numbers and acks, the second sends it on.
enum class ClientStep {
    Done,      // nothing more to do with it
    HostLeft,  // its clc_disconnect went on to the server: the host's connection ends
    Relay,     // walk its commands, then relay it
};
ClientStep takeClientDatagram(int length);
void relayClientDatagram(int length);
// A data datagram from the server in the PacketBuffer (length checks already done). True when it
// ended the connection (svc_disconnect, kept from the host): the server connection ends.
bool relayServerDatagram(int length);

// The held fragment of the last change of server forgotten.
void resetRelays();

// A change of server: if the host has not acknowledged the last reliable fragment it was passed,
// the new server's stream is held back and that fragment sent again until it has.
void holdNewServerForHostAck();
// The held fragment again, once a second; run on every pass.
void runHostTailTimer();
// Milliseconds until runHostTailTimer has something due, -1 when nothing is.
int hostTailWaitMs();
