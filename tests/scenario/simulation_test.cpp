// A seeded simulation of the whole proxy: a server streaming levels, the host and observers that
// come, go and fall silent, every link lossy, duplicating and reordering; the proxy's promises are
// checked after every step.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/loop.h"
#include "observers/capture.h"
#include "scenario/harness.h"
#include "scenario/sim_world.h"

namespace {

using sim::Client;
using sim::ClientPhase;

constexpr int64_t StepMs = 100;
constexpr int DefaultSteps = 5000;  // 500 s of play
constexpr int ObserverClients = 4;  // at most this many observers play at once, in 6 slots
constexpr int64_t StallMs = 30000;
constexpr int64_t CatchUpBoundMs = 30000;  // a heard observer is in the game this long after the host

struct SlotSnapshot {
    bool used = false;
    uint16_t port = 0;
    uint32_t ackedSeq = 0;
    uint32_t lastHeardTime = 0;
    bool fed = false;
};

bool fed(int slot) { return (capture.fanOutMask & (1u << slot)) != 0; }
uint16_t portOf(const Slot& s) { return s.state == SlotFree ? 0 : fakeplatform::boundAddress(s.socket).port; }
bool after(uint32_t a, uint32_t b) { return int32_t(a - b) > 0; }

class SimulationBase : public ProxyScenario {
protected:
    void run(uint64_t seed, int steps);

private:
    void setUpWorld(uint64_t seed);
    void advance();
    void deliverDue();
    void routeProxyOutput();
    void checkStore();
    void checkSlots();
    void checkRemovals();
    void checkBeliefs();
    void checkStalls();
    void fail(const std::string& what) { sim::fail(world, what); }
    uint32_t nowSeconds() const { return 1000 + uint32_t(world.nowMs / 1000); }
    const Client* clientOnPort(uint16_t port) const;

    sim::World world;
    SlotSnapshot before[SlotCount];
    uint32_t newestStream = 0;
    int64_t hostInGameSinceMs = -1;
};

void SimulationBase::run(uint64_t seed, int steps) {
    std::printf("[ simulation ] seed %llu, %d steps\n", static_cast<unsigned long long>(seed), steps);
    setUpWorld(seed);
    int step = 0;
    while (step < steps && world.failure.empty()) {
        world.step = ++step;
        advance();
        deliverDue();
        checkStore();
        checkSlots();
        checkRemovals();
        checkBeliefs();
        checkStalls();
        console();
    }
    const sim::Counts& n = world.counts;
    std::printf("[ simulation ] %d levels, %d host messages; observers: %d joined, %d refused, %d reached the game, "
                "%d stalled in the catch-up, %d messages, %d level changes followed, %d leaves, %d silences; "
                "removed %d leaving, %d silent, %d behind\n",
                n.levels, n.hostMessages, n.joins, n.refused, n.reachedGame, n.stalledCatchUps, n.observerMessages,
                n.levelsFollowed, n.leaves, n.silences, n.removedLeaving, n.removedSilent, n.removedBehind);
    ASSERT_TRUE(world.failure.empty()) << "seed " << seed << ", step " << step << ": " << world.failure
                                       << "\nreplay: SKOPOS_SIM_SEED=" << seed << " SKOPOS_SIM_STEPS=" << step
                                       << " proxy_tests --gtest_filter=SimulationReplay.*";
}

void SimulationBase::setUpWorld(uint64_t seed) {
    // Odd seeds also record, so that the reconnect order restarts the demo file; every third seed
    // caps the server's bytes, so that the limiter holds unreliable datagrams back.
    std::vector<std::string> options = {"-o", "6"};
    if (seed % 2 == 1) options.insert(options.end(), {"-d", "sim"});
    if (seed % 3 == 0) options.insert(options.end(), {"-s", "3000"});
    start(options);
    admitHost();
    connectServer();
    sent();
    console();
    world.rng.state = seed;
    world.server.self = serverData;
    world.server.proxy = proxyServerSide();
    Client& h = world.clients.emplace_back();
    h.isHost = true;
    h.self = host;
    h.proxy = hostSocket;
    h.phase = ClientPhase::Live;
    sim::startLevel(world, false);
}

void SimulationBase::advance() {
    world.nowMs += StepMs;
    fakeplatform::setSeconds(nowSeconds());
    fakeplatform::setMilliseconds(uint64_t(world.nowMs));
    sim::serverStep(world);
    int observers = 0;
    for (size_t i = 0; i < world.clients.size(); i++) {
        sim::clientStep(world, world.clients[i]);
        if (!world.clients[i].isHost && world.clients[i].phase != ClientPhase::Gone) observers++;
    }
    if (observers < ObserverClients && world.rng.perMille(15)) sim::addObserver(world);
}

// Every datagram due this step, in the order sent: the proxy takes each in a pass of its own.
void SimulationBase::deliverDue() {
    std::vector<sim::Wire> due, later;
    for (sim::Wire& w : world.wires) (w.due <= world.step ? due : later).push_back(std::move(w));
    world.wires.swap(later);
    for (const sim::Wire& w : due) {
        if (w.to.ip != sim::ProxyIp) {
            sim::deliverToEndpoint(world, w);
        } else if (fakeplatform::inject(w.to, w.from, w.bytes)) {  // false: that socket is closed
            runLoopPass();
            routeProxyOutput();
        }
    }
}

void SimulationBase::routeProxyOutput() {
    for (const Datagram& d : sent()) {
        if (d.bytes.size() >= HeaderSize && d.bytes[0] == 0 && lengthField(d.bytes.data()) != d.bytes.size())
            fail("the proxy sent a datagram whose length field is not its size");
        sim::send(world, d.from, d.to, d.bytes);
    }
}

// No stored datagram outlives its last reader, and none is kept for a slot that is gone.
void SimulationBase::checkStore() {
    for (int i = 0; i < StoredCount; i++) {
        const StoredEntry& e = capture.stored[i];
        if (!e.held) continue;
        std::string entry = "stored entry " + std::to_string(e.streamNumber);
        if (e.mask == 0) fail(entry + " is kept without a reader");
        if (e.streamNumber % StoredCount != uint32_t(i)) fail(entry + " is kept in slot " + std::to_string(i));
        if ((e.mask & (1u << HostSlot)) != 0 && after(capture.nextReassemblySeq, e.streamNumber))
            fail(entry + " is kept for the reassembly that passed it");
        for (int n = FirstObserverSlot; n < SlotCount; n++) {
            if ((e.mask & (1u << n)) == 0) continue;
            const Slot& s = slotTable.slot[n];
            std::string slot = " is kept for slot " + std::to_string(n);
            if (s.state < SlotInGame) fail(entry + slot + ", which is not fed");
            else if (!after(e.streamNumber, s.ackedSeq)) fail(entry + slot + ", which acknowledged it");
        }
    }
    for (int n = FirstObserverSlot; n < SlotCount; n++)
        if (fed(n) && !slotInUse(n)) fail("the fan-out mask holds free slot " + std::to_string(n));
}

void SimulationBase::checkSlots() {
    int used = 0;
    for (int i = HostSlot; i < SlotCount; i++) {
        const Slot& s = slotTable.slot[i];
        std::string slot = "slot " + std::to_string(i);
        if (s.state == SlotFree) {
            if (s.socket != platform::NoSocket) fail("free " + slot + " keeps a socket");
            continue;
        }
        if (i > settings.slotLimit) fail(slot + " is used above the limit");
        if (fakeplatform::boundAddress(s.socket) == NetAddress{}) fail(slot + " is used without an open socket");
        if (i >= FirstObserverSlot) used++;
    }
    if (used != slotTable.observerCount) fail("observerCount is not the number of observer slots used");
    if (!slotTable.hostConnected || !slotInUse(HostSlot) || !slotTable.serverConnected)
        fail("the host's connection ended");
    if (fakeplatform::openSocketCount() != 3 + used) fail("a socket outlived its slot");
}

// An observer goes only when it left, fell silent for 120 s or fell a whole table behind.
void SimulationBase::checkRemovals() {
    if (after(numbering.lastHostReliableSeq, newestStream)) newestStream = numbering.lastHostReliableSeq;
    for (int n = FirstObserverSlot; n < SlotCount; n++) {
        const Slot& s = slotTable.slot[n];
        SlotSnapshot& b = before[n];
        if (b.used && portOf(s) != b.port) {
            const Client* c = clientOnPort(b.port);
            bool left = c != nullptr && c->left;
            bool silent = nowSeconds() - b.lastHeardTime > 120;
            bool behind = b.fed && newestStream - b.ackedSeq >= StoredCount;
            if (!left && !silent && !behind) fail("observer slot " + std::to_string(n) + " was removed without cause");
            sim::Counts& k = world.counts;
            (left ? k.removedLeaving : silent ? k.removedSilent : k.removedBehind)++;
        }
        b = SlotSnapshot{s.state != SlotFree, portOf(s), s.ackedSeq, s.lastHeardTime, fed(n)};
    }
    for (Client& c : world.clients)
        if (!c.isHost && c.phase != ClientPhase::Connecting && !fakeplatform::portOpen(c.proxy.port))
            c.phase = ClientPhase::Gone;
}

// The proxy never counts a fragment as taken that the observer's client has not taken.
void SimulationBase::checkBeliefs() {
    for (const Client& c : world.clients) {
        if (c.isHost || c.phase != ClientPhase::Live) continue;
        for (int n = FirstObserverSlot; n < SlotCount; n++) {
            const Slot& s = slotTable.slot[n];
            if (portOf(s) != c.proxy.port || !fed(n) || s.state < SlotInGame) continue;
            uint32_t acked = s.ackedSeq - s.seqOffset;
            if (!after(c.channel.recvSeq, acked))
                fail("the proxy counts fragment " + std::to_string(acked) + " as taken by observer " +
                     std::to_string(c.number) + ", whose client waits for " + std::to_string(c.channel.recvSeq));
        }
    }
}

void SimulationBase::checkStalls() {
    const sim::Channel& server = world.server.channel;
    const sim::Channel& host = world.clients[0].channel;
    if (server.inFlight && world.nowMs - server.waitingSinceMs > StallMs) fail("the server's stream stalled");
    if (host.inFlight && world.nowMs - host.waitingSinceMs > StallMs) fail("the host's stream stalled");
    // An observer in the game that is heard keeps taking the stream while the host does.
    for (const Client& c : world.clients) {
        if (c.isHost || c.phase != ClientPhase::Live) continue;
        int64_t since = std::max(c.progressMs, c.silentUntilMs);
        if (world.nowMs - since > StallMs && world.clients[0].progressMs > since)
            fail("observer " + std::to_string(c.number) + " took nothing of the stream for 30 s");
    }
    // Catch-up messages are resent until taken: one that is heard finishes its catch-up while the
    // host stays in the game.
    if (hostSlot().state != SlotInGame) hostInGameSinceMs = -1;
    else if (hostInGameSinceMs < 0) hostInGameSinceMs = world.nowMs;
    for (const Client& c : world.clients) {
        if (c.isHost || c.phase != ClientPhase::Catching || hostInGameSinceMs < 0) continue;
        int64_t since = std::max({c.joinedMs, c.silentUntilMs, hostInGameSinceMs});
        if (world.nowMs - since > CatchUpBoundMs)
            fail("observer " + std::to_string(c.number) + " is still in its catch-up 30 s after the host entered the game");
    }
}

const Client* SimulationBase::clientOnPort(uint16_t port) const {
    for (const Client& c : world.clients)
        if (!c.isHost && c.phase != ClientPhase::Connecting && c.proxy.port == port) return &c;
    return nullptr;
}

class Simulation : public SimulationBase, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(Simulation, EveryReaderGetsTheStreamInOrderOnceAndTheTablesStayConsistent) {
    run(GetParam(), DefaultSteps);
}

INSTANTIATE_TEST_SUITE_P(Simulation, Simulation,
                         ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8, 0x5EED, 0xC0FFEE, 20240611, 987654321));

// ---- Real networks: every player ends in the game or is told why not, within the limits ----

enum class Fault { None, LateServer, DeadServer, SilentServer, HostRestart, PendingChat, ChangeUnacked, Count };

// A game server: accepts once up, greets, takes the host's prespawn in order and lets it in.
struct Peer {
    NetAddress control, data;
    sim::Channel channel;
    int64_t upAtMs = 0;
    bool accepted = false, silent = false;
};

class Resilience : public ProxyScenario, public ::testing::WithParamInterface<uint64_t> {
protected:
    void run(int steps);

private:
    void startEpisode();
    void restartHost();
    void say(const std::string& text) { channel.queue.push_back(wire::stringCommand("say " + text)); }
    void hostStep();
    void toHost(const sim::Wire& w);
    void toPeer(Peer& p, const sim::Wire& w);
    void judge();
    // What the proxy sent goes on the links; what it said to the host counts as told, lost or not.
    void route() {
        for (const Datagram& d : sent()) {
            if (d.to == self)
                for (const std::string& text : wire::prints(d)) told.push_back(text);
            sim::send(world, d.from, d.to, d.bytes);
        }
    }

    sim::World world;
    std::vector<Peer> peers;
    NetAddress self = fakeplatform::loopback(27001, 2), proxyPort;
    sim::Channel channel;
    bool accepted = false, inGame = false;
    int64_t requestMs = -10000, deadlineMs = 0, nextEpisodeMs = 0;
    Fault fault = Fault::None;
    std::vector<std::string> told;
    int games = 0, reasons = 0;
};

void Resilience::restartHost() {
    self.port++;
    channel = sim::Channel();
    accepted = inGame = false;
}

void Resilience::startEpisode() {
    fault = inGame ? Fault(world.rng.below(unsigned(Fault::Count))) : Fault(world.rng.below(3));
    told.clear();
    Peer peer;
    peer.control = fakeplatform::loopback(uint16_t(26500 + 10 * peers.size()), 3);
    peer.data = NetAddress{peer.control.ip, uint16_t(peer.control.port + 1)};
    peer.upAtMs = world.nowMs;
    int64_t limitMs = 30000;
    if (fault == Fault::LateServer) peer.upAtMs += 1000 + world.rng.below(3000);
    if (fault == Fault::DeadServer) peer.upAtMs = INT64_MAX, limitMs = 12000;
    if (fault == Fault::SilentServer) {  // the server in use falls silent; no new one is asked
        peers.back().silent = true;
        deadlineMs = world.nowMs + 63000;
        return;
    }
    if (fault == Fault::HostRestart) restartHost();
    if (fault == Fault::ChangeUnacked) {
        Peer& old = peers.back();
        old.channel.queue.push_back(wire::stringMessage(8, "tail\n"));  // the host never takes it
    }
    inGame = false;
    peers.push_back(peer);
    say("proxy:connect 127.0.0.3:" + std::to_string(peer.control.port));
    if (fault == Fault::PendingChat) say("hello while connecting");
    deadlineMs = world.nowMs + limitMs;
}

void Resilience::hostStep() {
    if (!accepted) {
        if (world.nowMs - requestMs >= 2500) {  // as game clients do
            requestMs = world.nowMs;
            sim::send(world, self, listenAddress(), wire::connectRequest());
        }
        return;
    }
    Bytes fragment = sim::pumpChannel(channel, world.nowMs);
    if (!fragment.empty()) sim::send(world, self, proxyPort, fragment);
    if (inGame) sim::send(world, self, proxyPort, wire::unreliable(channel.unreliableSeq++, wire::move(0, 0, 0)));
}

void Resilience::toHost(const sim::Wire& w) {
    const Bytes& d = w.bytes;
    if (d.size() >= 7 && d[0] == 0x80 && d[4] == 0x81 && !accepted) {
        accepted = true;
        proxyPort = fakeplatform::loopback(uint16_t(d[5] | d[6] << 8));
    }
    if (!accepted || w.from.port != proxyPort.port || d.size() < HeaderSize || d[0] != 0) return;
    uint32_t seq = sequenceField(d.data());
    if (d[1] == FlagAck) return sim::takeAck(channel, seq);
    static const std::string tail = "tail";
    if ((d[1] & 0xF7) != FlagData || std::search(d.begin(), d.end(), tail.begin(), tail.end()) != d.end()) return;
    sim::send(world, self, proxyPort, wire::ack(seq));
    Bytes message;
    uint32_t first;
    if (!sim::takeFragment(channel, d, message, first)) return;
    std::string text(message.begin(), message.end());
    if (text.find("welcome") != std::string::npos) channel.queue.push_back(wire::stringCommand("prespawn"));
    if (text.find("in game") != std::string::npos) inGame = true;
}

void Resilience::toPeer(Peer& p, const sim::Wire& w) {
    const Bytes& d = w.bytes;
    if (world.nowMs < p.upAtMs || p.silent) return;
    if (w.to == p.control && d.size() >= 5 && d[0] == 0x80 && d[4] == 0x01) {
        sim::send(world, p.control, proxyServerSide(), wire::accept(p.data.port));
        if (!p.accepted) p.channel.queue.push_back(wire::stringMessage(8, "welcome\n"));
        p.accepted = true;
        return;
    }
    if (w.to != p.data || d.size() < HeaderSize || d[0] != 0) return;
    uint32_t seq = sequenceField(d.data());
    if (d[1] == FlagAck) return sim::takeAck(p.channel, seq);
    if ((d[1] & 0xF7) != FlagData) return;
    sim::send(world, p.data, proxyServerSide(), wire::ack(seq));
    Bytes message;
    uint32_t first;
    if (sim::takeFragment(p.channel, d, message, first) && message == wire::stringCommand("prespawn"))
        p.channel.queue.push_back(wire::stringMessage(8, "in game\n"));
}

// The episode's end: in the game, or told why not, in time.
void Resilience::judge() {
    auto wasTold = [&](const std::string& text) { return std::find(told.begin(), told.end(), text) != told.end(); };
    bool reason = wasTold("No response from 127.0.0.3.\n") || wasTold("Server timed out.\n");
    bool done = fault == Fault::SilentServer ? wasTold("Server timed out.\n")
                : fault == Fault::DeadServer ? wasTold("No response from 127.0.0.3.\n")
                                             : inGame || reason;
    if (done) {
        (inGame && fault != Fault::SilentServer ? games : reasons)++;
        if (fault == Fault::SilentServer) inGame = false;
        nextEpisodeMs = world.nowMs + 1000 + world.rng.below(3000);
        deadlineMs = 0;
    } else if (world.nowMs > deadlineMs) {
        std::string heard;
        for (const std::string& t : told) heard += t;
        sim::fail(world, "fault " + std::to_string(int(fault)) + ": the host is neither in the game nor told why; " +
                             "it heard: " + heard);
    }
}

void Resilience::run(int steps) {
    start();
    world.rng.state = GetParam();
    while (world.step < steps && world.failure.empty()) {
        world.step++;
        world.nowMs += StepMs;
        fakeplatform::setSeconds(1000 + uint32_t(world.nowMs / 1000));
        fakeplatform::setMilliseconds(uint64_t(world.nowMs));
        if (accepted && deadlineMs == 0 && world.nowMs >= nextEpisodeMs) startEpisode();
        hostStep();
        for (Peer& p : peers) {
            if (!p.accepted || p.silent) continue;
            Bytes fragment = sim::pumpChannel(p.channel, world.nowMs);
            if (!fragment.empty()) sim::send(world, p.data, proxyServerSide(), fragment);
            sim::send(world, p.data, proxyServerSide(), wire::unreliable(p.channel.unreliableSeq++, {1}));
        }
        std::vector<sim::Wire> due, later;
        for (sim::Wire& w : world.wires) (w.due <= world.step ? due : later).push_back(std::move(w));
        world.wires.swap(later);
        for (const sim::Wire& w : due) {
            if (w.to.ip == sim::ProxyIp) {
                if (fakeplatform::inject(w.to, w.from, w.bytes)) runLoopPass();
            } else if (w.to == self) {
                toHost(w);
            }
            for (Peer& p : peers)
                if (w.to == p.control || w.to == p.data) toPeer(p, w);
            route();
        }
        runLoopPass();  // the timers run on time even when nothing comes
        route();
        console();
        if (deadlineMs != 0) judge();
    }
    std::printf("[ resilience ] %d episodes in the game, %d told why not\n", games, reasons);
    ASSERT_TRUE(world.failure.empty()) << "seed " << GetParam() << ", step " << world.step << ": " << world.failure;
    EXPECT_GT(games, 5);
}

TEST_P(Resilience, EveryPlayerEndsInTheGameOrIsToldWhyNot) { run(6000); }

INSTANTIATE_TEST_SUITE_P(Resilience, Resilience, ::testing::Values(1, 2, 3, 0x5EED, 20240611));

class SimulationReplay : public SimulationBase {};

// SKOPOS_SIM_SEED=n [SKOPOS_SIM_STEPS=m] runs one seed, for longer runs or to replay a failure.
TEST_F(SimulationReplay, OneSeedFromTheEnvironment) {
    const char* seed = std::getenv("SKOPOS_SIM_SEED");
    if (seed == nullptr) GTEST_SKIP() << "SKOPOS_SIM_SEED is not set";
    const char* steps = std::getenv("SKOPOS_SIM_STEPS");
    run(std::strtoull(seed, nullptr, 0), steps != nullptr ? std::atoi(steps) : DefaultSteps);
}

}  // namespace
