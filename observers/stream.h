// The server's stream one way through: the relays hand it to the observer side (through the delay
// line when observers watch late), the capture keeps and reassembles it, and hands it on to its two
// sinks, the observer feed (observers/feed.cpp) and the demo recorder (demo/recorder.cpp), which
// lives above the observer side and is reached only through what is declared here.
#pragma once

#include <cstdint>

#include "observers/scanner.h"

// --- What the relays hand over and ask (observers/delay.cpp, observers/capture.cpp) ------------

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

// Ends the observer side finds while it handles a datagram, which the session acts on as soon as
// the handler returns (the loop settles them after each). Until then a slot named here is sent nothing.
struct EndRequests {
    uint32_t observers = 0;  // bit n: observer n lost its stream and is timed out
    bool host = false;       // the host side fell a whole stored table behind: its connection ends
};
extern EndRequests endRequests;
inline bool endRequested(int slot) { return (endRequests.observers & (1u << slot)) != 0; }

// --- The level's records, kept by the capture for both sinks (observers/capture.cpp) ----------

// Catch-up record 1 (the level's server information) or 3 (the state block's store).
const uint8_t* catchUpRecord(int n);
// The level's stage-2 messages, each a record of its own.
int stage2MessageCount();
const uint8_t* stage2Message(int part);
uint8_t* stateBlockRecord();
// Records 1 and 2 are of the current level and fit one message (record 3 is rebuilt on demand).
bool catchUpRecordsValid();

// --- Sink: the observer feed (observers/feed.cpp) ---------------------------------------------

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
// The stored table must reuse an entry the observer has not taken: it catches up again from the
// level's records, after the rest of the message its client is inside.
void fallBehindStore(int slot);
// A fragment the reassembly takes: the rest of the message observers taken off inside it await
// (length -1: none comes, the stream ended, and they are timed out).
void takeMessageRests(const uint8_t* bytes, int length, bool last);
// The stream restarts: a message awaited will not end.
void abandonMessageRests();

// --- Sink: the demo recorder (demo/recorder.cpp) ----------------------------------------------

// A demo file is open.
bool recording();
// A complete reliable message; `newLevel` when it began a level, `wasInLevel` when the host was in
// one before it. The file of a level that ended is completed and the next one opened.
void recordStreamMessage(const uint8_t* message, int length, bool newLevel, bool wasInLevel);
// The server's reconnect order while a file is open: the file ends, the next opens for the level
// now loading.
void recordReconnect();
// An unreliable datagram's payload.
void recordUnreliable(const uint8_t* payload, int length);
// Something the host received cannot be written: the file ends here, said as not complete ("Unable
// to write NAME: why."); recording stays armed for the next level.
void cutRecording(const char* why);
// `record NAME`, or `record stop` (null), reached on the delay line.
void playRecordCommand(const char* name);
