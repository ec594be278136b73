// Name lookups, shared by the POSIX and Windows layers: getaddrinfo, on threads of their own for the
// event loop so that a slow resolver never stalls the game.
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "platform/sockaddr.h"

namespace platform {

namespace {

// A slot is handed between the loop's thread and its worker through its state alone. A slot
// abandoned while its worker runs stays taken until the worker ends, so a hung resolver can never
// write into a reused slot.
enum LookupState { LookupFree, LookupRunning, LookupFound, LookupFailed, LookupAbandoned };
constexpr size_t MaxLookupName = 256;  // longer than any DNS name (253)

struct LookupSlot {
    std::atomic<int> state{LookupFree};
    char name[MaxLookupName];
    uint32_t ip;
};
LookupSlot Lookups[MaxLookups];

void runLookup(int handle) {
    LookupSlot& slot = Lookups[handle];
    uint32_t ip = 0;
    int result = firstIpv4Address(slot.name, ip) ? LookupFound : LookupFailed;
    slot.ip = ip;
    int expected = LookupRunning;
    // An abandoned slot is freed here: nobody will poll it, and its name was ours until now.
    if (!slot.state.compare_exchange_strong(expected, result)) slot.state.store(LookupFree);
}

bool validLookup(int handle) { return handle >= 0 && handle < MaxLookups; }

}  // namespace

bool resolveHostName(const char* name, uint32_t& ip) { return firstIpv4Address(name, ip); }

bool thisMachineAddress(uint32_t& ip) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return false;
    name[sizeof name - 1] = '\0';
    return firstIpv4Address(name, ip);
}

int startLookup(const char* name) {
    if (name == nullptr || strlen(name) >= MaxLookupName) return -1;
    for (int i = 0; i < MaxLookups; ++i) {
        int expected = LookupFree;
        if (!Lookups[i].state.compare_exchange_strong(expected, LookupRunning)) continue;
        memcpy(Lookups[i].name, name, strlen(name) + 1);
        try {
            std::thread(runLookup, i).detach();
        } catch (...) {  // no thread to be had: as if every slot were taken
            Lookups[i].state.store(LookupFree);
            return -1;
        }
        return i;
    }
    return -1;
}

LookupStatus pollLookup(int handle, uint32_t& ip) {
    if (!validLookup(handle)) return LookupStatus::Failed;
    LookupSlot& slot = Lookups[handle];
    int state = slot.state.load();
    if (state == LookupRunning) return LookupStatus::Pending;
    if (state != LookupFound && state != LookupFailed) return LookupStatus::Failed;
    if (state == LookupFound) ip = slot.ip;
    slot.state.store(LookupFree);
    return state == LookupFound ? LookupStatus::Found : LookupStatus::Failed;
}

void abandonLookup(int handle) {
    if (!validLookup(handle)) return;
    int expected = LookupRunning;
    if (Lookups[handle].state.compare_exchange_strong(expected, LookupAbandoned)) return;
    if (expected == LookupFound || expected == LookupFailed) Lookups[handle].state.store(LookupFree);
}

}  // namespace platform
