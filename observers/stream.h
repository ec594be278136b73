// The server's stream as the relays hand it to the observer side: capture, then feed.
#pragma once

#include <cstdint>

// Hand-over from the server relay: the datagram in the PacketBuffer as the relay left it.
void captureServerDatagram(int length);
// The newest reliable fragment passed to the host was not the last of its message.
bool streamInsideMessage();
void emptyCaptureBuffer();
// A host client connected: new server datagrams are stored for it alone.
void storeStreamForHostOnly();
// The level's catch-up records are there for an observer joining now.
bool observersCanJoinMidLevel();
