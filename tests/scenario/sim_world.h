// The simulated world around the proxy: a NetQuake server streaming levels, game clients that sign
// on, watch, leave and fall silent, and lossy, duplicating, reordering links between them.
#pragma once

#include <deque>
#include <memory>

#include "scenario/harness.h"

namespace sim {

// splitmix64: one seed replays a whole run.
struct Rng {
    uint64_t state = 0;
    uint64_t next();
    uint32_t below(uint32_t n) { return uint32_t(next() % n); }
    bool perMille(uint32_t p) { return below(1000) < p; }
};

// One end of a NetQuake connection: one reliable fragment in flight, resent each second until
// acknowledged; fragments taken only in order.
struct Channel {
    std::deque<Bytes> queue;
    Bytes sending, partial;
    size_t offset = 0, piece = 0;  // of the fragment in flight
    bool inFlight = false;
    uint32_t sendSeq = 0, recvSeq = 0, partialFirst = 0, unreliableSeq = 0;
    int64_t sentAtMs = 0, waitingSinceMs = 0;
};

struct Wire {
    NetAddress from, to;
    Bytes bytes;
    int due;
};

// The world and the proxy in it, as a test fixture: build it, step it, read the first broken promise.
class World : public ProxyScenario {
public:
    // The proxy started with these options, the host in the game on the server, a first level begun.
    void build(uint64_t seed, const std::vector<std::string>& options);
    // 100 ms: everyone acts, the datagrams due arrive, the proxy's promises are checked.
    void stepWorld();
    const std::string& failure() const { return failed; }
    void fail(const std::string& what) { failed = failed.empty() ? what : failed; }

    // Links and clock, shared with other drivers of the proxy.
    bool send(const NetAddress& from, const NetAddress& to, const Bytes& bytes);  // false: lost
    // Sends the channel's next fragment (new, or the one in flight once its resend is due), if any.
    void pump(Channel& c, const NetAddress& from, const NetAddress& to);
    // Takes a datagram of the channel's connection (acknowledging data as NetQuake does): true when
    // a reliable fragment in order completed `message`, which began at `firstSeq`.
    bool receive(Channel& c, const Wire& w, Bytes& message, uint32_t& firstSeq);
    void tick();
    std::vector<Wire> takeDue();
    std::vector<Wire> wires;
    // What the proxy sent goes on the links; what it said to `listener` is kept in `heard`, lost or not.
    void route();
    NetAddress listener;
    std::string heard;

    Rng rng;
    int step = 0, levels = 0, levelsFollowed = 0;
    int64_t nowMs = 0;

private:
    struct Impl;
    std::shared_ptr<Impl> impl;
    std::string failed;
};

}  // namespace sim
