// The proxy's own datagrams: prints and stuffed commands to one slot, and reliable messages in
// fragments of at most 1024 bytes.
#pragma once

#include <cstdint>

#include "platform/format.h"

constexpr int SendBufferSize = 1024;
constexpr int MaxSendPayload = SendBufferSize - 8;  // 1016

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

// One reliable fragment of `piece` bytes from p, numbered `number`: its header and the bytes where they
// are, never copied (gathered with other copies while net/batch.h gathers).
void sendFragment(const uint8_t* p, int piece, bool last, uint32_t number, int slot);
