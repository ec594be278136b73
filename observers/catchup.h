// An observer's reliable stream: its catch-up messages and the stored server datagrams, one
// fragment of at most 1024 bytes at a time in the observer's own numbering.
#pragma once

#include <cstdint>

// An observer's catch-up messages go one fragment at a time (1024-byte pieces numbered on from
// reliableSeq), each sent once the one before is acknowledged and resent until it is: NetQuake
// clients acknowledge every fragment, even one they drop, so only one in flight tells the proxy
// what its client took. Each slot sends from a copy of its own, as the level's records change.
// The store record 3 is built in for `slot`.
uint8_t* catchUpStore(int slot);
// Starts message ReconnectOrder, record 1, the stage-2 message catchUpPart (copied) or record 3
// (built in the store) and sends its first fragment.
void startCatchUpMessage(int slot, int32_t message);
// The observer's ack `number`: true when it acknowledged the fragment in flight; the next one is
// then sent, or catchUpMessage is 0 and catchUpTaken names the message completed.
bool takeCatchUpAck(int slot, uint32_t number);
// A new catch-up for the observer, in state 1: record 1, after any message in flight and, for a
// client that took a signon before, after the reconnect order.
void restartCatchUp(int slot);
// The observer's next reliable fragment: its catch-up fragment in flight, else the piece of the
// stored datagram after ackedSeq; the resend timer starts again.
void sendNextStoredBlock(int slot);
// A live reliable datagram, numbered `streamNumber`, stored already: sent at once when it is the
// observer's next.
void sendLiveReliable(int slot, uint32_t streamNumber);
// The observer's ack `number` of its stream: advances past the piece in flight when it names it.
void takeStreamAck(int slot, uint32_t number);
// The observer's number for the next piece of its stream it has not acknowledged.
uint32_t nextStreamNumber(int slot);
// Taking an observer off the stream: the rest of the message its client is or may be inside, from
// the stored datagrams it has not acknowledged, into its store; none (at a message boundary with
// nothing out), whole up to the message's end, waiting for fragments the reassembly has yet to
// bring, or lost (not held, or too long for the store).
enum MessageRest { RestNone, RestWhole, RestPartial, RestLost };
MessageRest storeMessageRest(int slot);
// More of the rest as the reassembly brings it; false when the store cannot hold it.
bool addToMessageRest(int slot, const uint8_t* bytes, int count);
// Sends the rest, numbered on from reliableSeq, as a message that needs no answer (EndedRecord).
void sendMessageRest(int slot);
