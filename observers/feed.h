// Observer catch-up and feed: what observers send; the feed's side of the stream is in stream.h.
#pragma once

#include <cstdint>

#include "observers/stream.h"

// A datagram from observer `slot` in the PacketBuffer, in two steps around the walk of its string
// commands: the first takes it (acks, moves, leaving) and says whether the walk is due, the second
// takes the signon step the walk found (1 "prespawn", 2 "spawn", else 0) and runs the catch-up.
struct ObserverDatagram {
    bool taken = false;         // false: not the observer's, nothing more to do with it
    bool walkCommands = false;  // a new reliable fragment: its string commands are walked
    bool request = false;       // it asked for something (any message but clc_nop)
    bool left = false;          // its clc_disconnect: the session removes it before the second step
};
ObserverDatagram takeObserverDatagram(int slot, int length);
void finishObserverDatagram(int slot, const ObserverDatagram& taken, int signon);
// Takes an observer off the stored stream. A client inside a message first gets the rest of it,
// then catches up again (true); one at a message boundary is only left waiting (false).
bool leaveStoredStream(int slot);
// "Observer NAME timed out." to the players and the console.
void sayTimedOut(int slot);
