// The bandwidth limiter ("packet filtering") and the proxy's millisecond clock.
#pragma once

#include <cstdint>

struct LimiterState {
    uint32_t ticksPerMs = 0;  // 0: no high-resolution counter, limits cannot be used
    uint32_t startMs = 0;
    uint32_t nowMs = 0;
    uint32_t c2sNextSendMs = 0;
    uint32_t lastMoveKey = 0;
    uint32_t s2cNextSendMs = 0;
    // Length of each window, so that a window left untouched for weeks is not mistaken for one
    // still ahead once the clock has run half way round.
    uint32_t c2sWindowMs = 0;
    uint32_t s2cWindowMs = 0;
};
extern LimiterState limiter;

void resetLimiter();
// Start-up timer check; prints the warning and switches both limits off without a counter.
void checkTimer();
bool timerAvailable();
// The counter in milliseconds (not relative to start), low 32 bits.
uint32_t performanceMs();
// Wrap-safe: is a later than b?
inline bool msAfter(uint32_t a, uint32_t b) { return int32_t(a - b) > 0; }

// cost(L, rate) = 1000 * (L + 28) / rate milliseconds.
int32_t datagramCostMs(int length, int rate);

// Host move of total length `length` with buttons and impulse: forward (true) or drop.
bool allowHostMove(int length, uint8_t buttons, uint8_t impulse);
// Server unreliable datagram: hold it back from the host (true)? Reads the clock.
bool holdServerDatagram();
// After a passed server unreliable datagram of final length `length`.
void chargeServerDatagram(int length);
// A new rate: the direction's window starts afresh rather than running out at the old rate.
void restartRateWindow(bool clientToServer);
