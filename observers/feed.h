// Observer catch-up and feed: what observers send, and the fan-out of the server's datagrams.
#pragma once

#include <cstdint>

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
// The server datagram in the PacketBuffer to every observer in the game; `streamNumber` is the
// stream number of a reliable fragment.
void fanOutToObservers(int length, uint32_t streamNumber);
// A capture unblocked catch-ups: signon stage r (1, 2) or 3 complete.
void onStageCaptured(int stage);
// A complete message has passed: observers whose "spawn" came while the host's stream stood
// inside a message are switched to the live stream now.
void onMessageBoundary();
// A level of a protocol the proxy cannot follow began, or the stream is played ahead of its time:
// observers in the game stop being fed and wait (their stored copies are given up).
void parkWatchingObservers();
// Takes an observer off the stored stream. A client inside a message first gets the rest of it,
// then catches up again (true); one at a message boundary is only left waiting (false).
bool leaveStoredStream(int slot);
// The stored table must reuse an entry the observer has not taken: it catches up again from the
// level's records, after the rest of the message its client is inside.
void fallBehindStore(int slot);
// A fragment the reassembly takes: the rest of the message observers taken off inside it await
// (length -1: none comes, the stream ended, and they are timed out).
void takeMessageRests(const uint8_t* bytes, int length, bool last);
// The stream restarts: a message awaited will not end.
void abandonMessageRests();
// "Observer NAME timed out." to the players and the console.
void sayTimedOut(int slot);
