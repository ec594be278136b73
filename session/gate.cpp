// Request allowances per address (token buckets, the least recently seen address giving way when
// the table is full), kick bans, and the console lines about refused clients.
#include "session/gate.h"

#include "core/clock.h"
#include "core/print.h"
#include "core/settings.h"
#include "net/slots.h"

namespace {

constexpr int TrackedAddresses = 64;
constexpr int TrackedLogins = 16;
constexpr int BannedAddresses = 32;
constexpr int32_t MilliPerAnswer = 1000;  // allowances are kept in thousandths of an answer
constexpr uint32_t RefusalLineMs = 1000;

struct Allowance {
    uint32_t ip = 0;
    int32_t milli = 0;
    uint32_t lastMs = 0;
    bool used = false;
};

struct Ban {
    uint32_t ip = 0;
    uint32_t untilSeconds = 0;
    bool used = false;
};

struct RefusalLine {
    uint32_t lastMs = 0;
    bool printed = false;
    int heldBack = 0;
};

struct Gate {
    Allowance perAddress[TrackedAddresses];
    Allowance inAll;
    Allowance logins[TrackedLogins];
    Ban bans[BannedAddresses];
    RefusalLine lines[int(Refusal::Count)];
};
Gate gate;

// Refills at `perSecond` answers a second up to `burst`, then takes one if there is one.
bool take(Allowance& a, int perSecond, int burst) {
    uint32_t elapsed = loop.nowMs - a.lastMs;
    a.lastMs = loop.nowMs;
    int64_t milli = int64_t(a.milli) + int64_t(elapsed) * perSecond;
    a.milli = int32_t(milli > int64_t(burst) * MilliPerAnswer ? burst * MilliPerAnswer : milli);
    if (a.milli < MilliPerAnswer) return false;
    a.milli -= MilliPerAnswer;
    return true;
}

template <int Size>
Allowance& allowanceOf(Allowance (&table)[Size], uint32_t ip, int burst) {
    Allowance* oldest = &table[0];
    for (Allowance& a : table) {
        if (a.used && a.ip == ip) return a;
        if (!a.used || (oldest->used && int32_t(a.lastMs - oldest->lastMs) < 0)) oldest = &a;
    }
    *oldest = Allowance{ip, burst * MilliPerAnswer, loop.nowMs, true};
    return *oldest;
}

}  // namespace

void resetGate() {
    gate = Gate();
    gate.inAll = Allowance{0, AnswersPerSecondInAll * MilliPerAnswer, 0, true};
    gate.inAll.lastMs = loop.nowMs;
}

bool mayAnswer(uint32_t ip) {
    // The address's own allowance first: a flood from one address never spends the others'.
    if (!take(allowanceOf(gate.perAddress, ip, AnswerBurst), AnswersPerSecond, AnswerBurst)) return false;
    return take(gate.inAll, AnswersPerSecondInAll, AnswersPerSecondInAll);
}

bool mayTryLogin(uint32_t ip) { return take(allowanceOf(gate.logins, ip, 1), 1, 1); }

int observersFrom(uint32_t ip) {
    int count = 0;
    for (int k = FirstObserverSlot; k <= settings.slotLimit; ++k)
        count += slotInUse(k) && slotTable.slot[k].peerAddress.ip == ip ? 1 : 0;
    return count;
}

void banAddress(uint32_t ip) {
    Ban* slot = &gate.bans[0];
    for (Ban& b : gate.bans) {
        if (b.used && b.ip == ip) {
            slot = &b;
            break;
        }
        // A full list forgets the ban that ends first.
        if (!b.used || (slot->used && int32_t(b.untilSeconds - slot->untilSeconds) < 0)) slot = &b;
    }
    *slot = Ban{ip, loop.nowSeconds + KickBanSeconds, true};
}

uint32_t banSecondsLeft(uint32_t ip) {
    for (Ban& b : gate.bans) {
        if (!b.used || b.ip != ip) continue;
        int32_t left = int32_t(b.untilSeconds - loop.nowSeconds);
        if (left > 0) return uint32_t(left);
        b.used = false;
    }
    return 0;
}

void tellRefused(Refusal cause, const platform::NetAddress& who, const char* why) {
    RefusalLine& line = gate.lines[int(cause)];
    if (line.printed && loop.nowMs - line.lastMs < RefusalLineMs) {
        ++line.heldBack;
        return;
    }
    char address[16];
    formatDottedQuad(who.ip, address);
    if (line.heldBack > 0)
        consolePrintf("Refused %s:%d: %s (and %d more).\n", address, who.port, why, line.heldBack);
    else
        consolePrintf("Refused %s:%d: %s.\n", address, who.port, why);
    line = RefusalLine{loop.nowMs, true, 0};
}
