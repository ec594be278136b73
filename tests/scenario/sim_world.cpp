// The simulated world: links, reliable channels, the server's levels and the clients' signon, each
// message checked as a client takes it, and the proxy's tables checked after every step.
#include "scenario/sim_world.h"

#include <algorithm>
#include <map>

#include "observers/capture.h"

namespace sim {

namespace {

constexpr size_t MaxFragment = 1024;
constexpr int64_t ResendMs = 1000, StepMs = 100, StallMs = 30000;
constexpr int64_t CatchUpPatienceMs = 45000;  // a client stuck this long in its signon gives up
constexpr int ObserverClients = 8;            // at most this many observers play at once
constexpr uint32_t ProxyIp = (127u << 24) | 1;

Bytes print(const std::string& text) { return wire::stringMessage(8, text); }
// Byte 2, svc_disconnect's code, opens every continuation fragment of a long print.
Bytes filler(size_t size) { return print(std::string(size, '\x02')); }
Bytes longValue(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
using unit::str;
// svc_clientdata of protocol 15 with items, health, ammo and the weapon.
Bytes clientData() { return Bytes{15, 0, 2} + longValue(1) + Bytes{100, 0, 25, 25, 0, 0, 0, 1}; }
bool fed(int slot) { return (capture.fanOutMask & (1u << slot)) != 0; }
uint16_t portOf(const Slot& s) { return s.state == SlotFree ? 0 : s.peerAddress.port; }  // whose slot it is

}  // namespace

uint64_t Rng::next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A server message as sent: its level, the signon stage it carries (0: none) and its first number.
struct Logged {
    int level, stage;
    uint32_t firstSeq;
};

enum class Phase { WaitPrespawn, WaitSpawn, WaitBegin, InGame, Intermission, Connecting, Catching, Live, Gone };

struct Client {
    bool isHost = false;
    int number = 0;
    NetAddress self, proxy;
    Channel channel;
    Phase phase = Phase::Connecting;
    int record = 1, recordLevel = 0;  // catch-up record expected next; the level of its record 1
    Bytes stage2Taken;                // stage-2 messages of the catch-up so far
    int signon = 0;                   // taken in the catch-up; a reconnect order sets it back to 0
    int lastId = -1;                  // last stream message taken
    int64_t joinedMs = 0, progressMs = 0, silentUntilMs = 0, connectSentMs = 0, leftMs = -1;
};

struct SlotSnapshot {
    bool used = false, heard = false;
    uint16_t port = 0;
    uint32_t lastHeardTime = 0, admittedTime = 0;
};

struct World::Impl {
    World& w;
    NetAddress serverSelf, serverProxy;
    Channel server;
    Phase serverPhase = Phase::WaitPrespawn;
    int64_t phaseEndsMs = 0, hostInGameSinceMs = -1;
    uint32_t plannedSeq = 0;  // number of the next fragment queued
    uint8_t players = 4;
    size_t hostCommandsTaken = 0;
    std::vector<Client> clients;  // [0] is the host
    std::vector<Logged> log;      // index = message id
    std::map<Bytes, int> ids;     // message id by its bytes
    std::vector<Bytes> stage2;    // per level: the signon stage 2 messages, concatenated
    std::vector<Bytes> hostSent;  // the host's reliable messages, in order
    SlotSnapshot before[SlotCount];

    Impl(World& world, NetAddress self, NetAddress proxy) : w(world), serverSelf(self), serverProxy(proxy) {}

    int idOf(const Bytes& m) { return ids.count(m) != 0 ? ids[m] : -1; }
    bool isStateBlock(const Bytes& m) { return idOf(m) < 0 && m.size() >= 2 && m[m.size() - 2] == 25 && m.back() == 3; }
    std::string nameOf(const Client& c) { return c.isHost ? "the host" : "observer " + std::to_string(c.number); }

    // ---- Server ----

    void queueMessage(const Bytes& body, int stage) {
        Bytes bytes = body + print("m" + std::to_string(log.size()) + "\n");  // each message unique
        ids[bytes] = int(log.size());
        log.push_back(Logged{w.levels - 1, stage, plannedSeq});
        plannedSeq += uint32_t((bytes.size() + MaxFragment - 1) / MaxFragment);
        server.queue.push_back(bytes);
        if (stage == 2 || (stage == 0 && serverPhase == Phase::WaitSpawn))
            stage2.back().insert(stage2.back().end(), bytes.begin(), bytes.end());
    }

    // Some levels have 16 players with long names: their state block takes more than one fragment.
    void startLevel(bool reconnectOrder) {
        if (reconnectOrder) queueMessage(wire::stringMessage(9, "reconnect\n"), 0);
        w.levels++;
        stage2.emplace_back();
        serverPhase = Phase::WaitPrespawn;
        players = w.rng.perMille(300) ? 16 : 4;
        Bytes info = Bytes{11, 15, 0, 0, 0, players, 0} + str("Sim") + str("maps/sim" + std::to_string(w.levels));
        info = info + str("progs/player.mdl") + Bytes{0, 0, 25, 1};
        queueMessage(w.rng.perMille(500) ? filler(w.rng.below(5000)) + info : info, 1);
    }

    // Stage 2 in a few messages; stage 3 is the state the new client needs: scoreboard, light
    // styles, stats, its view, then signon 3.
    void queueSignon(int stage) {
        if (stage == 2) {
            int messages = 1 + int(w.rng.below(3));
            for (int i = 1; i <= messages; i++) {
                Bytes body = filler(100 + w.rng.below(2400));
                queueMessage(i == messages ? body + Bytes{25, 2} : body, i == messages ? 2 : 0);
            }
            return;
        }
        Bytes block;
        for (uint8_t p = 0; p < players; p++) {
            block = block + Bytes{13, p} + str("player" + std::to_string(p) + std::string(w.rng.below(56), 'n'));
            block = block + Bytes{14, p, uint8_t(w.rng.below(50)), 0, 17, p, uint8_t(w.rng.below(256))};
        }
        for (uint8_t i = 0; i < 4; i++) block = block + Bytes{12, i} + str("azazm");
        for (uint8_t stat = 11; stat <= 14; stat++) block = block + Bytes{3, stat} + longValue(w.rng.below(100));
        queueMessage(block + clientData() + Bytes{5, 1, 0, 25, 3}, 3);
    }

    void queueGameMessage() {
        switch (w.rng.below(4)) {
        case 0: return queueMessage(print("chat " + std::to_string(w.rng.below(1000)) + "\n"), 0);
        case 1: return queueMessage(Bytes{3, uint8_t(w.rng.below(32))} + longValue(w.rng.below(200)), 0);
        case 2: return queueMessage(Bytes{14, uint8_t(w.rng.below(4)), uint8_t(w.rng.below(50)), 0}, 0);
        default: return queueMessage(filler(1000 + w.rng.below(2000)), 0);
        }
    }

    void takeHostCommand(const Bytes& message) {
        if (hostCommandsTaken >= hostSent.size() || hostSent[hostCommandsTaken] != message)
            return w.fail("the server took a host message out of order or changed");
        hostCommandsTaken++;
        auto has = [&](const std::string& command) {
            Bytes wanted = wire::stringCommand(command);
            return std::search(message.begin(), message.end(), wanted.begin(), wanted.end()) != message.end();
        };
        if (serverPhase == Phase::WaitPrespawn && has("prespawn")) {
            serverPhase = Phase::WaitSpawn;
            queueSignon(2);
        } else if (serverPhase == Phase::WaitSpawn && has("spawn")) {
            serverPhase = Phase::WaitBegin;
            queueSignon(3);
        } else if (serverPhase == Phase::WaitBegin && has("begin")) {
            serverPhase = Phase::InGame;
            phaseEndsMs = w.nowMs + 20000 + w.rng.below(40000);
        }
    }

    void serverStep() {
        bool playing = serverPhase == Phase::InGame || serverPhase == Phase::Intermission;
        if (playing && server.queue.size() < 2 && w.rng.perMille(serverPhase == Phase::InGame ? 250 : 100))
            queueGameMessage();
        if (serverPhase == Phase::InGame && w.nowMs >= phaseEndsMs) {
            queueMessage(Bytes{30}, 0);  // svc_intermission
            serverPhase = Phase::Intermission;
            phaseEndsMs = w.nowMs + 2000 + w.rng.below(3000);
        } else if (serverPhase == Phase::Intermission && w.nowMs >= phaseEndsMs) {
            startLevel(w.rng.perMille(500));  // QuakeSpasm orders a reconnect, DarkPlaces does not
        }
        w.pump(server, serverSelf, serverProxy);
        if (!playing) return;
        Bytes update = Bytes{7} + longValue(uint32_t(w.nowMs)) + clientData();  // svc_time, the client's state
        w.send(serverSelf, serverProxy, wire::unreliable(server.unreliableSeq++, update));
    }

    // ---- Clients ----

    void answerSignon(Client& c, int stage) {
        std::string name = c.isHost ? "host" : "obs" + std::to_string(c.number);
        Bytes answer = stage == 1   ? wire::stringCommand("prespawn")
                       : stage == 2 ? wire::stringCommand("name " + name) + wire::stringCommand("spawn")
                       : stage == 3 ? wire::stringCommand("begin")
                                    : Bytes();
        if (answer.empty()) return;
        c.channel.queue.push_back(answer);
        if (c.isHost) hostSent.push_back(answer);
    }

    // Records 1 and 2 are the level's own signon messages; record 3 is the proxy's state block. A
    // server information restarts the signon wherever it stands, but, as QuakeSpasm clients insist,
    // only at signon 0: once it took one, the client needs a reconnect order first.
    void takeRecord(Client& c, const Bytes& message) {
        int id = idOf(message);
        c.progressMs = w.nowMs;
        if (message == wire::stringMessage(9, "reconnect\n")) {
            c.record = 1;
            c.signon = 0;
            c.stage2Taken.clear();
            return;
        }
        if (id >= 0 && log[size_t(id)].stage == 1) {
            if (c.signon > 0) return w.fail(nameOf(c) + " took signon 1 without a reconnect");
            c.record = 1;
            c.recordLevel = log[size_t(id)].level;
        } else if (c.record == 2) {
            // Stage 2 comes as the server sent it, message by message.
            const Bytes& whole = stage2[size_t(c.recordLevel)];
            c.stage2Taken.insert(c.stage2Taken.end(), message.begin(), message.end());
            if (c.stage2Taken.size() > whole.size() ||
                !std::equal(c.stage2Taken.begin(), c.stage2Taken.end(), whole.begin()))
                return w.fail(nameOf(c) + " took a garbled catch-up record 2");
            if (c.stage2Taken.size() < whole.size()) return;
        } else if (c.record == 1 || (c.record == 3 && !isStateBlock(message))) {
            return w.fail(nameOf(c) + " took a garbled catch-up record " + std::to_string(c.record));
        }
        c.stage2Taken.clear();
        answerSignon(c, c.record);
        c.signon = c.record;
        if (c.record++ < 3) return;
        c.phase = Phase::Live;
    }

    const Slot* slotOf(const Client& c) {
        for (int n = FirstObserverSlot; n < SlotCount; n++)
            if (slotTable.slot[n].state != SlotFree && slotTable.slot[n].peerAddress == c.self)
                return &slotTable.slot[n];
        return nullptr;
    }

    // The stream as the client sees it: the server's messages, in order, each once, numbered so
    // that its number maps back onto the server's.
    void takeStreamMessage(Client& c, const Bytes& message, uint32_t firstSeq) {
        int id = idOf(message);
        if (id < 0) return w.fail(nameOf(c) + " took a message the server never sent");
        int expected = c.lastId >= 0 ? c.lastId + 1 : (c.isHost ? 0 : id);
        if (id != expected)
            return w.fail(nameOf(c) + " took message " + std::to_string(id) + " where " + std::to_string(expected) +
                          " was due");
        // The observer's numbering maps onto the host's through the offsets the proxy keeps.
        const Slot* s = slotOf(c);
        uint32_t offset = s != nullptr ? s->seqOffset : 0;
        if ((c.isHost || s != nullptr) && firstSeq + offset - hostSlot().seqOffset != log[size_t(id)].firstSeq)
            return w.fail(nameOf(c) + " got message " + std::to_string(id) + " under a number of another");
        c.lastId = id;
        c.progressMs = w.nowMs;
        if (!c.isHost && log[size_t(id)].stage == 1) w.levelsFollowed++;
        answerSignon(c, log[size_t(id)].stage);
    }

    void clientReceive(Client& c, const Wire& wire) {
        const Bytes& d = wire.bytes;
        if (d.size() >= 7 && d[0] == 0x80 && c.phase == Phase::Connecting) {
            if (d[4] == 0x81) c.proxy = fakeplatform::loopback(uint16_t(d[5] | d[6] << 8));
            c.phase = d[4] == 0x81 ? Phase::Catching : Phase::Gone;
            c.progressMs = c.joinedMs = w.nowMs;
            return;
        }
        // Like NetQuake's, the client takes data only from the port its accept named.
        Bytes message;
        uint32_t first;
        if (c.phase == Phase::Connecting || wire.from.port != c.proxy.port ||
            !w.receive(c.channel, wire, message, first))
            return;
        // Taken off the stream (slow, or the stream played ahead of its time): it catches up again.
        if (c.phase == Phase::Live && !c.isHost && message == wire::stringMessage(9, "reconnect\n")) {
            c.phase = Phase::Catching;
            c.lastId = -1;
            c.joinedMs = w.nowMs;
        }
        if (c.phase == Phase::Catching) return takeRecord(c, message);
        takeStreamMessage(c, message, first);
    }

    void leave(Client& c) {
        bool heard = false;
        for (int i = 0; i < 3; i++) heard = w.send(c.self, c.proxy, wire::unreliable(c.channel.unreliableSeq++, {2})) || heard;
        c.leftMs = w.nowMs + (heard ? 0 : 120000);  // all three lost: only its silence ends it
        c.phase = Phase::Gone;
    }

    // What an observer's player does: joins, gives up a stuck signon, leaves, loses its network.
    bool observerActs(Client& c) {
        if (c.phase == Phase::Connecting) {
            if (w.nowMs - c.connectSentMs >= 2000) {
                c.connectSentMs = w.nowMs;
                w.send(c.self, w.listenAddress(), wire::connectRequest());
            }
            return true;
        }
        if ((c.phase == Phase::Catching && w.nowMs - c.progressMs > CatchUpPatienceMs) ||
            (c.phase == Phase::Live && w.rng.perMille(2))) {
            leave(c);
            return true;
        }
        if (!w.rng.perMille(2)) return false;
        uint32_t r = w.rng.below(10);
        int64_t seconds = r < 7 ? 3 + w.rng.below(12) : r < 9 ? 20 + w.rng.below(40) : 125 + w.rng.below(15);
        c.silentUntilMs = w.nowMs + seconds * 1000;
        return true;
    }

    void clientStep(Client& c) {
        if (c.phase == Phase::Gone || w.nowMs < c.silentUntilMs) return;
        if (!c.isHost && observerActs(c)) return;
        w.pump(c.channel, c.self, c.proxy);
        if (c.phase != Phase::Live) return;
        Bytes move = wire::move(uint8_t(w.step), uint8_t(w.step * 3), 0, w.rng.perMille(50) ? 2 : 0);
        w.send(c.self, c.proxy, wire::unreliable(c.channel.unreliableSeq++, move));
    }

    void deliver(const Wire& wire) {
        Bytes message;
        uint32_t first;
        if (wire.to == serverSelf && w.receive(server, wire, message, first)) takeHostCommand(message);
        if (wire.to == serverSelf) return;
        for (Client& c : clients) {
            if (c.self != wire.to || c.phase == Phase::Gone) continue;
            if (w.nowMs >= c.silentUntilMs) clientReceive(c, wire);
            return;
        }
    }

    // ---- The proxy's promises ----

    // Sockets live exactly as long as the slots on them; the host's game never ends; an observer
    // goes only when it left or fell silent for 120 s (10 s before it was first heard), never for
    // being slow; streams never stall; a heard observer finishes its catch-up within 30 s of the
    // host being in the game.
    void check() {
        int used = 0;
        for (int i = FirstObserverSlot; i < SlotCount; i++) {
            used += slotTable.slot[i].state != SlotFree;
            if (slotTable.slot[i].state == SlotFree && fed(i)) w.fail("free slot " + std::to_string(i) + " is fed");
        }
        if (used != slotTable.observerCount) w.fail("observerCount is not the number of observer slots used");
        if (!slotTable.hostConnected || !slotTable.serverConnected) w.fail("the host's connection ended");
        if (fakeplatform::openSocketCount() != 3 + (used > 0)) w.fail("a socket outlived its slots");
        for (int n = FirstObserverSlot; n < SlotCount; n++) {
            const Slot& s = slotTable.slot[n];
            SlotSnapshot& b = before[n];
            if (b.used && portOf(s) != b.port) {
                bool left = std::any_of(clients.begin(), clients.end(), [&](const Client& c) {
                    return !c.isHost && c.phase != Phase::Connecting && c.self.port == b.port && c.leftMs >= 0;
                });
                uint32_t now = 1000 + uint32_t(w.nowMs / 1000);
                bool silent = now - b.lastHeardTime > 120 || (!b.heard && now - b.admittedTime > 10);
                if (!left && !silent)
                    w.fail("observer slot " + std::to_string(n) + " was removed without cause");
            }
            b = SlotSnapshot{s.state != SlotFree, s.heard, portOf(s), s.lastHeardTime, s.admittedTime};
        }
        for (Client& c : clients) {
            if (!c.isHost && c.phase != Phase::Connecting && slotOf(c) == nullptr)
                c.phase = Phase::Gone;
            if (c.leftMs >= 0 && w.nowMs - c.leftMs > 5000 && slotOf(c) != nullptr)
                w.fail(nameOf(c) + " left 5 s ago and keeps its slot");
        }
        for (const Channel* c : {&server, &clients[0].channel})
            if (c->inFlight && w.nowMs - c->waitingSinceMs > StallMs) w.fail("a stream stalled for 30 s");
        if (hostSlot().state != SlotInGame)
            hostInGameSinceMs = -1;
        else if (hostInGameSinceMs < 0)
            hostInGameSinceMs = w.nowMs;
        for (const Client& c : clients) {
            if (c.isHost) continue;
            int64_t since = std::max(c.progressMs, c.silentUntilMs);
            if (c.phase == Phase::Live && w.nowMs - since > StallMs && clients[0].progressMs > since)
                w.fail(nameOf(c) + " took nothing of the stream for 30 s");
            since = std::max({c.joinedMs, c.silentUntilMs, hostInGameSinceMs});
            if (c.phase == Phase::Catching && hostInGameSinceMs >= 0 && w.nowMs - since > 30000)
                w.fail(nameOf(c) + " is still in its catch-up 30 s after the host entered the game");
        }
    }
};

bool World::send(const NetAddress& from, const NetAddress& to, const Bytes& bytes) {
    if (rng.perMille(50)) return false;
    int copies = rng.perMille(100) ? 2 : 1;
    for (int i = 0; i < copies; i++) {
        int late = rng.perMille(100) ? 1 + int(rng.below(4)) : 0;
        wires.push_back(Wire{from, to, bytes, step + 1 + late});
    }
    return true;
}

void World::pump(Channel& c, const NetAddress& from, const NetAddress& to) {
    if (c.inFlight && nowMs - c.sentAtMs < ResendMs) return;
    if (!c.inFlight) {
        if (c.sending.empty() && c.queue.empty()) return;
        if (c.sending.empty()) {
            c.sending = c.queue.front();
            c.queue.pop_front();
            c.offset = 0;
        }
        c.piece = std::min(MaxFragment, c.sending.size() - c.offset);
        c.inFlight = true;
        c.waitingSinceMs = nowMs;
    }
    c.sentAtMs = nowMs;
    Bytes piece(c.sending.begin() + long(c.offset), c.sending.begin() + long(c.offset + c.piece));
    send(from, to, wire::reliable(c.sendSeq, piece, c.offset + c.piece == c.sending.size()));
}

bool World::receive(Channel& c, const Wire& w, Bytes& message, uint32_t& firstSeq) {
    const Bytes& d = w.bytes;
    if (d.size() < HeaderSize || d[0] != 0) return false;
    uint32_t seq = sequenceField(d.data());
    if (d[1] == FlagAck && c.inFlight && seq == c.sendSeq) {  // else stale or duplicate
        c.sendSeq++;
        c.inFlight = false;
        c.offset += c.piece;
        if (c.offset == c.sending.size()) c.sending.clear();
    }
    if ((d[1] & 0xF7) != FlagData) return false;  // acknowledgements and moves
    send(w.to, w.from, wire::ack(seq));           // every fragment, taken or not
    if (seq != c.recvSeq) return false;
    if (c.partial.empty()) c.partialFirst = seq;
    c.recvSeq++;
    c.partial.insert(c.partial.end(), d.begin() + HeaderSize, d.end());
    if (d[1] != (FlagData | FlagEom)) return false;
    message.swap(c.partial);
    c.partial.clear();
    firstSeq = c.partialFirst;
    return true;
}

void World::tick() {
    step++;
    nowMs += StepMs;
    fakeplatform::setSeconds(1000 + uint32_t(nowMs / 1000));
    fakeplatform::setMilliseconds(uint64_t(nowMs));
}

// Every datagram due this step, in the order sent.
std::vector<Wire> World::takeDue() {
    std::vector<Wire> due, later;
    for (Wire& w : wires) (w.due <= step ? due : later).push_back(std::move(w));
    wires.swap(later);
    return due;
}

void World::route() {
    for (const Datagram& d : sent()) {
        if (d.bytes.size() >= HeaderSize && d.bytes[0] == 0 && lengthField(d.bytes.data()) != d.bytes.size())
            fail("the proxy sent a datagram whose length field is not its size");
        if (d.to == listener) heard += wire::allPrints({d});
        send(NetAddress{ProxyIp, d.from.port}, d.to, d.bytes);
    }
}

void World::build(uint64_t seed, const std::vector<std::string>& options) {
    playWithServer(options);
    rng.state = seed;
    impl = std::make_shared<Impl>(*this, serverData, proxyServerSide());
    Client& h = impl->clients.emplace_back();
    h.isHost = true;
    h.self = host;
    h.proxy = hostSocket;
    h.phase = Phase::Live;
    impl->startLevel(false);
}

void World::stepWorld() {
    Impl& s = *impl;
    tick();
    s.serverStep();
    int observers = 0;
    for (size_t i = 0; i < s.clients.size(); i++) {
        s.clientStep(s.clients[i]);
        observers += !s.clients[i].isHost && s.clients[i].phase != Phase::Gone;
    }
    if (observers < ObserverClients && rng.perMille(15)) {
        Client& c = s.clients.emplace_back();
        c.number = int(s.clients.size() - 1);
        c.self = fakeplatform::loopback(uint16_t(27100 + c.number), uint8_t(10 + c.number % 200));
        c.connectSentMs = nowMs - 2000;
    }
    // The proxy takes each datagram in a pass of its own.
    for (const Wire& w : takeDue()) {
        if (w.to.ip != ProxyIp) {
            s.deliver(w);
        } else if (fakeplatform::inject(w.to, w.from, w.bytes)) {  // false: that socket is closed
            runLoopPass();
            route();
        }
    }
    s.check();
    console();
}

}  // namespace sim
