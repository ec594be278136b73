// Server stream capture: the stored copies of the server's reliable datagrams (shared by every
// observer), the reassembly of reliable messages, and the catch-up records of the current level.
#pragma once

#include <cstdint>

#include "net/framing.h"
#include "net/senders.h"

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
constexpr int StateBlockCapacity = 4080;

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
    uint8_t record2[RecordHeaderSize + CaptureMessageCapacity];
    uint8_t record3[RecordHeaderSize + StateBlockCapacity];
    bool recordValid[3] = {false, false, true};
};
extern CaptureState capture;

void resetCapture();
// Catch-up record 1, 2 or 3.
const uint8_t* catchUpRecord(int n);
uint8_t* stateBlockRecord();

// Hand-over from the server relay: the datagram in the PacketBuffer as the relay left it.
void captureServerDatagram(int length);
void emptyCaptureBuffer();
// Clears bit `slot` from the fan-out mask and every stored entry, releasing entries left empty.
void forgetSlotInStore(int slot);
void releaseStoredIfDone(StoredEntry& entry);
// Back to the start of a host connection's stream.
void resetStreamNumbering();
