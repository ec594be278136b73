// Observer catch-up and feed: what observers send, and the fan-out of the server's datagrams.
#pragma once

#include <cstdint>

void handleObserverDatagram(int slot, int length);
// The server datagram in the PacketBuffer to every observer in the game; `streamNumber` is the
// stream number of a reliable fragment.
void fanOutToObservers(int length, uint32_t streamNumber);
// A capture unblocked catch-ups: signon stage r (1, 2) or 3 complete.
void onStageCaptured(int stage);
// A complete message has passed: observers whose "spawn" came while the host's stream stood
// inside a message are switched to the live stream now.
void onMessageBoundary();
// A level of a protocol the proxy cannot follow began: observers in the game stop being fed and
// wait (their stored copies are given up, so the table's wrap does not time them out).
void parkWatchingObservers();
