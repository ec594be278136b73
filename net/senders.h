// The proxy's own datagrams: prints and stuffed commands to one slot, the collected observer
// texts, reliable catch-up messages in fragments, and the resend of stored server datagrams.
#pragma once

#include <cstdint>

#include "platform/format.h"

constexpr int SendBufferSize = 1024;
constexpr int MaxSendPayload = SendBufferSize - 8;  // 1016
constexpr int ObserverPrintCapacity = 4096;
// The flushed print must fit the 2048-byte scratch datagram: header, 8, 2, text, zero.
constexpr int MaxObserverPrintText = 2048 - 8 - 2 - 1;  // 2037
constexpr int ObserverPrintFlushThreshold = 798;

// 8, 2, then the collected text; the write position starts at byte 2.
struct ObserverPrintBuffer {
    uint8_t bytes[ObserverPrintCapacity] = {8, 2};
    int writePos = 2;
};
extern ObserverPrintBuffer observerPrints;

void resetSenders();

// Stamps the length and the slot's next unreliable number and sends through the slot's socket.
void sendToSlot(uint8_t* datagram, int length, int slot);
// A prepared message (code byte first) as one unreliable datagram; longer than 1016 bytes is cut.
void sendRawToSlot(const uint8_t* message, int length, int slot);
void sendRawToHost(const uint8_t* message, int length);
// svc_print of `length` bytes of text (its terminating zero included).
void printToSlot(const char* text, int length, int slot);
void printToHost(const char* text, int length);
// printf into the scratch text and printToSlot with its zero.
void printfToSlot(int slot, const char* format, ...) PRINTF_FORMAT(2, 3);

// Appends a text for all the proxy's players. Texts that would pass the flush limit flush the
// collected ones first; a single text longer than the limit is cut.
void appendObserverPrint(const char* format, ...) PRINTF_FORMAT(1, 2);
int observerPrintTextLength();
inline bool observerPrintsEmpty() { return observerPrints.bytes[2] == 0 || observerPrints.writePos == 2; }
// The collected texts as one unreliable datagram to every slot whose state is odd; then empty.
void flushObserverPrints();
// Moves the collected texts (8, 2, text, zero) to `dest` if they fit in `room` bytes: returns
// the bytes written and empties the buffer, or 0 and keeps them.
int takeObserverPrints(uint8_t* dest, int room);

// Stored message record: length (u32 LE), three float angles, then the message from offset 16.
constexpr int RecordHeaderSize = 16;
inline uint32_t recordLength(const uint8_t* record) {
    return uint32_t(record[0]) | uint32_t(record[1]) << 8 | uint32_t(record[2]) << 16 | uint32_t(record[3]) << 24;
}
inline void setRecordLength(uint8_t* record, uint32_t length) {
    record[0] = uint8_t(length);
    record[1] = uint8_t(length >> 8);
    record[2] = uint8_t(length >> 16);
    record[3] = uint8_t(length >> 24);
}

// The record's message as reliable fragments of at most 1024 bytes, all at once, built in `build`.
void sendReliable(const uint8_t* record, uint8_t* build, int slot);

// An observer's catch-up messages go one fragment at a time (1024-byte pieces numbered on from
// reliableSeq), each sent once the one before is acknowledged and resent until it is: NetQuake
// clients acknowledge every fragment, even one they drop, so only one in flight tells the proxy
// what its client took. Each slot sends from a copy of its own, as the level's records change.
// The store record 3 is built in for `slot`.
uint8_t* catchUpStore(int slot);
// Starts message ReconnectOrder, record 1 or 2 (copied) or 3 (built in the store) and sends its
// first fragment.
void startCatchUpMessage(int slot, int32_t message);
// The observer's ack `number`: true when it acknowledged the fragment in flight; the next one is
// then sent, or catchUpMessage is 0 and catchUpTaken names the message completed.
bool takeCatchUpAck(int slot, uint32_t number);
// A new catch-up for the observer, in state 1: record 1, after any message in flight and, for a
// client that took a signon before, after the reconnect order.
void restartCatchUp(int slot);
// The observer's next reliable fragment: its catch-up fragment in flight, else the stored
// datagram after ackedSeq; the resend timer starts again.
void sendNextStoredBlock(int slot);
