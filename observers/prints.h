// The texts collected for all the proxy's players (observer chat, joins, leaves, time-outs): sent
// in one datagram, or carried on the server's next datagram to the host.
#pragma once

#include <cstdint>

#include "platform/format.h"

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

// The WelcomeBlock: the centre print and stuffed command new observers get on their datagrams.
constexpr int WelcomeBlockCapacity = 1024;
struct WelcomeBlock {
    uint8_t bytes[WelcomeBlockCapacity] = {1};  // before the host's first "name": a single svc_nop
    int length = 1;
};
extern WelcomeBlock welcomeBlock;

// The collected texts and the WelcomeBlock back to their start.
void resetObserverPrints();
// Appends a text for all the proxy's players. Texts that would pass the flush limit flush the
// collected ones first; a single text longer than the limit is cut.
void appendObserverPrint(const char* format, ...) PRINTF_FORMAT(1, 2);
int observerPrintTextLength();
inline bool observerPrintsEmpty() { return observerPrints.bytes[2] == 0 || observerPrints.writePos == 2; }
// The collected texts as one unreliable datagram to every slot whose state is odd (under a delay,
// to every slot in use); then empty.
void flushObserverPrints();
// Moves the collected texts (8, 2, text, zero) to `dest` if they fit in `room` bytes: returns
// the bytes written and empties the buffer, or 0 and keeps them.
int takeObserverPrints(uint8_t* dest, int room);
// The ObserverBanner payload with the host's name; returns its length, the zero included. A
// store too small gets the banner cut, still zero-terminated.
int formatObserverBanner(uint8_t* buffer, int capacity);
