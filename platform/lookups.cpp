// Name lookups, shared by the POSIX and Windows layers: the resolver on threads of their own for the
// event loop, so that a slow resolver never stalls the game.
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "platform/sockaddr.h"

namespace platform {

namespace {

// A lookup's state is shared by the loop's thread and its worker: abandoning a lookup lets go of the
// handle at once, while a worker stuck in a hung resolver keeps its own share until it returns. So a
// hung lookup never holds a handle a new connect needs; only the workers themselves are bounded.
enum LookupState { LookupRunning, LookupFound, LookupFailed };
constexpr size_t MaxLookupName = 256;  // longer than any DNS name (253)
constexpr int MaxWorkers = 32;         // lookups running at once, abandoned ones included

struct Lookup {
    std::atomic<int> state{LookupRunning};
    char name[MaxLookupName];
    uint32_t ip = 0;
};
std::shared_ptr<Lookup> Lookups[MaxLookups];
std::atomic<int> RunningWorkers{0};

void runLookup(std::shared_ptr<Lookup> lookup) {
    uint32_t ip = 0;
    bool found = resolveName(lookup->name, ip);
    lookup->ip = ip;
    lookup->state.store(found ? LookupFound : LookupFailed);
    --RunningWorkers;
}

bool validLookup(int handle) { return handle >= 0 && handle < MaxLookups && Lookups[handle] != nullptr; }

}  // namespace

bool resolveHostName(const char* name, uint32_t& ip) { return resolveName(name, ip); }

bool thisMachineAddress(uint32_t& ip) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return false;
    name[sizeof name - 1] = '\0';
    return resolveName(name, ip);
}

int startLookup(const char* name) {
    if (name == nullptr || strlen(name) >= MaxLookupName) return -1;
    for (int i = 0; i < MaxLookups; ++i) {
        if (Lookups[i] != nullptr) continue;
        if (++RunningWorkers > MaxWorkers) {
            --RunningWorkers;
            return -1;
        }
        std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
        memcpy(lookup->name, name, strlen(name) + 1);
        try {
            std::thread(runLookup, lookup).detach();
        } catch (...) {  // no thread to be had: as if every handle were taken
            --RunningWorkers;
            return -1;
        }
        Lookups[i] = lookup;
        return i;
    }
    return -1;
}

LookupStatus pollLookup(int handle, uint32_t& ip) {
    if (!validLookup(handle)) return LookupStatus::Failed;
    int state = Lookups[handle]->state.load();
    if (state == LookupRunning) return LookupStatus::Pending;
    if (state == LookupFound) ip = Lookups[handle]->ip;
    Lookups[handle].reset();
    return state == LookupFound ? LookupStatus::Found : LookupStatus::Failed;
}

void abandonLookup(int handle) {
    if (validLookup(handle)) Lookups[handle].reset();
}

}  // namespace platform
