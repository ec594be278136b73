// Server stream capture: the stored copies of the server's reliable datagrams (shared by every
// observer), the reassembly of reliable messages, and the catch-up records of the current level.
#pragma once

#include <cstdint>

#include "net/framing.h"
#include "net/senders.h"
#include "observers/scanner.h"
#include "observers/stream.h"

constexpr int StoredCount = 64;

struct StoredEntry {
    bool held = false;
    uint32_t streamNumber = 0;
    uint32_t mask = 0;  // bit 1: the host-side reassembly; bits 2 and up: observers yet to ack
    int length = 0;
    uint8_t datagram[MaxDatagram];
};

// Room for the largest reliable message today's servers send, plus the terminating zero the
// scanner needs.
constexpr int CaptureMessageCapacity = 65536;
// A catch-up message goes to an observer as one reliable message: the largest one the clients of
// the QuakeSpasm family take.
constexpr int MaxCatchUpMessage = 64000;
static_assert(MaxCatchUpMessage <= CaptureMessageCapacity, "a catch-up message is one captured message");
static_assert(MaxStateBlockSize <= MaxCatchUpMessage, "the state block goes as one catch-up message");
// Signon stage 2 as the server sent it, message by message. Today's largest levels send a few
// hundred kilobytes of statics and baselines in messages of at most 31500 (QuakeSpasm 0.96 and
// later) or 64000 bytes; a level past the pool admits no observer mid-level and a demo opened
// mid-level lacks its catch-up records.
constexpr int Stage2PoolBytes = 1 << 20;
constexpr int MaxStage2Messages = 256;

struct CaptureState {
    StoredEntry stored[StoredCount];
    uint32_t fanOutMask = 2;
    uint32_t nextReassemblySeq = 0;
    uint32_t stageEndSeq[3] = {0, 0, 0};
    bool longMessageSeen = false;
    bool dropMessage = false;  // the message being reassembled overflowed: skip it whole
    // CaptureBuffer and the catch-up records share the demo block layout: length, angles, message.
    uint8_t captureBuffer[RecordHeaderSize + CaptureMessageCapacity + 1];
    int captureWritePos = 0;  // message bytes gathered
    uint8_t record1[RecordHeaderSize + CaptureMessageCapacity];
    // Stage 2: each message a record (length, angles, bytes) at its offset in the pool.
    uint8_t stage2Pool[Stage2PoolBytes];
    int stage2Offsets[MaxStage2Messages];
    int stage2Count = 0;
    int stage2PoolUsed = 0;
    uint8_t record3[RecordHeaderSize + MaxStateBlockSize];
    bool recordValid[3] = {false, false, true};  // [n - 1]: record n may be sent or written
    // The newest reliable fragment passed to the host was not the last of its message: an observer
    // switched to the live stream now would start inside a message.
    bool midMessage = false;
    bool liveMidMessage = false;  // the same of the host's own stream, ahead of a delay
    uint32_t streamNumber = 0xFFFFFFFF;  // of the newest datagram the observer side took
    bool observersHeld = false;  // the stream passes ahead of its time: observers are fed nothing
    // Observers taken off the stream inside a message whose rest the reassembly has yet to bring.
    uint32_t awaitingMessageEnd = 0;
    // Signon stage 2 may come in several messages: record 2 gathers them from the one after
    // svc_signonnum 1 up to the one carrying svc_signonnum 2.
    bool gatheringStage2 = false;
    bool stage2TooLong = false;
    bool unknownProtocolTold = false;
};
extern CaptureState capture;

void resetCapture();
// Clears bit `slot` from the fan-out mask and every stored entry, releasing entries left empty.
void forgetSlotInStore(int slot);
void releaseStoredIfDone(StoredEntry& entry);
// Back to the start of a host connection's stream: every entry released, entry 0's stream number
// 1, nextReassemblySeq 0, the CaptureBuffer empty.
void resetStreamNumbering();
