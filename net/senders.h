// The proxy's own datagrams: prints and stuffed commands to one slot, the collected observer
// texts, reliable catch-up messages in fragments, and the resend of stored server datagrams.
#pragma once

#include <cstdint>

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
void printfToSlot(int slot, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends a text for all the proxy's players. Texts that would pass the flush limit flush the
// collected ones first; a single text longer than the limit is cut.
void appendObserverPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
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

// One reliable fragment of `piece` bytes from p, numbered `number`, built in `build`.
void sendFragment(const uint8_t* p, int piece, bool last, uint32_t number, uint8_t* build, int slot);
// The next piece of a message of which `remaining` bytes from p are left: up to 1024 of them, the
// last piece ending the message.
void sendMessagePiece(const uint8_t* p, int32_t remaining, uint32_t number, uint8_t* build, int slot);
// The record's message as reliable fragments of at most 1024 bytes, all at once, built in `build`.
void sendReliable(const uint8_t* record, uint8_t* build, int slot);
