// The bandwidth limiter: drops host moves and server unreliable datagrams over the byte rates.
#include "net/limiter.h"

#include <cmath>
#include <cstdint>

#include "core/print.h"
#include "core/settings.h"
#include "platform/platform.h"

LimiterState limiter;

void resetLimiter() { limiter = LimiterState{}; }

bool timerAvailable() { return limiter.ticksPerMs != 0; }

void checkTimer() {
    limiter.ticksPerMs = uint32_t(platform::performanceFrequency()) / 1000;
    if (!timerAvailable()) {
        consolePrintf("WARNING: Timer not available. Packet filtering disabled!!!\n");
        settings.c2sbps = 0;
        settings.s2cbps = 0;
        return;
    }
    limiter.startMs = performanceMs();
}

uint32_t performanceMs() {
    if (!timerAvailable()) return 0;
    uint64_t counter = platform::performanceCounter();
    long double ms = (long double)(counter >> 32) * 4294967296.0L + (long double)uint32_t(counter);
    ms /= limiter.ticksPerMs;
    // Only the low 32 bits are kept; reducing first keeps the conversion in range even where long
    // double is no wider than double and the quotient rounds up to 2^64.
    return uint32_t(std::fmod(ms, 4294967296.0L));
}

// A rate of 0 or less, or no counter to measure it with, means no limit.
static bool limitActive(int rate) { return rate > 0 && timerAvailable(); }

static void readClock() { limiter.nowMs = performanceMs() - limiter.startMs; }

// The window ends at nextMs (inclusive) and began windowMs before it. Measuring back from its end
// is wrap-safe and, unlike comparing nowMs with nextMs, stays right however long ago it was set.
// An empty window (cost 0, or restarted) holds nothing back.
static bool insideWindow(uint32_t nextMs, uint32_t windowMs) {
    return windowMs != 0 && nextMs - limiter.nowMs <= windowMs;
}

int32_t datagramCostMs(int length, int rate) {
    if (rate <= 0) return 0;
    int64_t cost = (200 * (5 * int64_t(length) + 140)) / rate;
    if (cost < 0) return 0;
    return cost > INT32_MAX ? INT32_MAX : int32_t(cost);
}

bool allowHostMove(int length, uint8_t buttons, uint8_t impulse) {
    if (!limitActive(settings.c2sbps)) return true;
    readClock();
    uint32_t key = uint32_t(buttons) << 8 | impulse;
    // A change of buttons or impulse always goes through, so thinning never loses a press.
    if (key == limiter.lastMoveKey && insideWindow(limiter.c2sNextSendMs, limiter.c2sWindowMs)) return false;
    limiter.lastMoveKey = key;
    limiter.c2sWindowMs = uint32_t(datagramCostMs(length, settings.c2sbps));
    limiter.c2sNextSendMs = limiter.nowMs + limiter.c2sWindowMs;
    return true;
}

bool holdServerDatagram() {
    if (!limitActive(settings.s2cbps)) return false;
    readClock();
    return insideWindow(limiter.s2cNextSendMs, limiter.s2cWindowMs);
}

void chargeServerDatagram(int length) {
    if (!limitActive(settings.s2cbps)) return;
    limiter.s2cWindowMs = uint32_t(datagramCostMs(length, settings.s2cbps));
    limiter.s2cNextSendMs = limiter.nowMs + limiter.s2cWindowMs;
}

void restartRateWindow(bool clientToServer) {
    (clientToServer ? limiter.c2sWindowMs : limiter.s2cWindowMs) = 0;
}
