// The server's stream as the relays hand it to the observer side (through the delay line when
// observers watch late), and what the relays ask of it.
#pragma once

#include <cstdint>

#include "observers/scanner.h"

// Ends the observer side finds while it handles a datagram, which the session acts on as soon as
// the handler returns (the loop settles them after each). Until then a slot named here is sent nothing.
struct EndRequests {
    uint32_t observers = 0;  // bit n: observer n lost its stream and is timed out
    bool host = false;       // the host side fell a whole stored table behind: its connection ends
};
extern EndRequests endRequests;
inline bool endRequested(int slot) { return (endRequests.observers & (1u << slot)) != 0; }

// Hand-over from the server relay: the datagram in the PacketBuffer as the relay left it, a
// reliable one numbered numbering.lastHostReliableSeq.
void handServerDatagram(int length);
// Hand-over from the client relay: a host move in the PacketBuffer, for the observers' view and
// the demo angles.
void handHostMove(int length);
// `record stop` (no name) or `record NAME` under a delay, while a file is still written: it acts
// once the observer side comes to this moment, so each file holds all the host received up to its
// own command. False when it can act now (no delay, no file, no command waiting).
bool recordWhenPlayed(const char* name);
// Observers watch late: texts for them cannot ride on the host's datagrams.
bool streamDelayed();
// The live game's protocol, which the relays read by whatever the observer side has played.
ProtocolInForce liveProtocol();
// The observer side's end of the hand-over: capture, then feed (stream number as handed over).
void captureStreamDatagram(int length, uint32_t streamNumber);
void captureServerDatagram(int length);  // numbered numbering.lastHostReliableSeq
// The newest reliable fragment passed to the host was not the last of its message.
bool streamInsideMessage();
void emptyCaptureBuffer();
// A host client connected: new server datagrams are stored for it alone.
void storeStreamForHostOnly();
// The level's catch-up records are there for an observer joining now.
bool observersCanJoinMidLevel();
