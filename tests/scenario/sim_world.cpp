// The simulated world around the proxy: links, reliable channels, the server's levels and the
// clients' signon, each message checked as a client takes it.
#include "scenario/sim_world.h"

#include <algorithm>
#include <cstdio>

#include "observers/slots.h"

namespace sim {

namespace {

constexpr size_t MaxFragment = 1024;
constexpr int64_t ResendMs = 1000;
constexpr int64_t CatchUpPatienceMs = 45000;  // a client stuck this long in its signon gives up

Bytes operator+(Bytes a, const Bytes& b) { return wire::concat(std::move(a), b); }
Bytes print(const std::string& text) { return wire::stringMessage(8, text); }
Bytes filler(size_t size) { return print(std::string(size, 'f')); }
Bytes longValue(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes text(const std::string& s) { return Bytes(s.c_str(), s.c_str() + s.size() + 1); }
// svc_clientdata of protocol 15 with items, health, ammo and the weapon.
Bytes clientData() { return Bytes{15, 0, 2} + longValue(1) + Bytes{100, 0, 25, 25, 0, 0, 0, 1}; }
bool isStateBlock(const Bytes& m) {
    return messageId(m) < 0 && m.size() >= 2 && m[m.size() - 2] == 25 && m.back() == 3;  // ends with signon 3
}

std::string nameOf(const Client& c) { return c.isHost ? "the host" : "observer " + std::to_string(c.number); }

}  // namespace

// ---- Reliable channel ----

Bytes fragmentInFlight(const Channel& c) {
    Bytes piece(c.sending.begin() + long(c.offset), c.sending.begin() + long(c.offset + c.piece));
    return wire::reliable(c.sendSeq, piece, c.offset + c.piece == c.sending.size());
}

Bytes pumpChannel(Channel& c, int64_t nowMs) {
    if (c.inFlight) {
        if (nowMs - c.sentAtMs < ResendMs) return {};
        c.sentAtMs = nowMs;
        return fragmentInFlight(c);
    }
    if (c.sending.empty()) {
        if (c.queue.empty()) return {};
        c.sending = c.queue.front();
        c.queue.pop_front();
        c.offset = 0;
    }
    c.piece = std::min(MaxFragment, c.sending.size() - c.offset);
    c.inFlight = true;
    c.sentAtMs = c.waitingSinceMs = nowMs;
    return fragmentInFlight(c);
}

void takeAck(Channel& c, uint32_t seq) {
    if (!c.inFlight || seq != c.sendSeq) return;  // stale or duplicate
    c.sendSeq++;
    c.inFlight = false;
    c.offset += c.piece;
    if (c.offset == c.sending.size()) c.sending.clear();
}

bool takeFragment(Channel& c, const Bytes& d, Bytes& message, uint32_t& firstSeq) {
    uint32_t seq = sequenceField(d.data());
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

namespace {

// ---- Server ----

void queueMessage(World& w, const Bytes& body, int stage) {
    int id = int(w.log.size());
    Bytes bytes = body + print("m" + std::to_string(id) + "\n");
    w.log.push_back(Logged{bytes, w.counts.levels - 1, stage, w.server.plannedSeq});
    w.server.plannedSeq += uint32_t((bytes.size() + MaxFragment - 1) / MaxFragment);
    w.server.channel.queue.push_back(bytes);
    if (stage == 2 || (stage == 0 && w.server.phase == ServerPhase::WaitSpawn))
        w.stage2.back().insert(w.stage2.back().end(), bytes.begin(), bytes.end());
}

Bytes serverInfo(World& w) {
    // Some levels have 16 players with long names: their state block takes more than one fragment.
    w.server.players = w.rng.perMille(300) ? 16 : 4;
    std::string map = "maps/sim" + std::to_string(w.counts.levels) + ".bsp";
    Bytes info = Bytes{11, 15, 0, 0, 0, w.server.players, 0} + text("Sim") + text(map) + text("progs/player.mdl");
    info = info + Bytes{0, 0, 25, 1};
    return w.rng.perMille(500) ? filler(w.rng.below(5000)) + info : info;
}

void queueStage2(World& w) {
    int messages = 1 + int(w.rng.below(3));
    for (int i = 1; i <= messages; i++) {
        Bytes body = filler(100 + w.rng.below(2400));
        queueMessage(w, i == messages ? body + Bytes{25, 2} : body, i == messages ? 2 : 0);
    }
}

// The state the new client needs: scoreboard, light styles, stats, its view, then signon 3.
void queueStage3(World& w) {
    Bytes block;
    for (uint8_t p = 0; p < w.server.players; p++) {
        block = block + Bytes{13, p} + text("player" + std::to_string(p) + std::string(w.rng.below(56), 'n'));
        block = block + Bytes{14, p, uint8_t(w.rng.below(50)), 0, 17, p, uint8_t(w.rng.below(256))};
    }
    for (uint8_t i = 0; i < 4; i++) block = block + Bytes{12, i} + text("azazm");
    for (uint8_t stat = 11; stat <= 14; stat++) block = block + Bytes{3, stat} + longValue(w.rng.below(100));
    queueMessage(w, block + clientData() + Bytes{5, 1, 0, 25, 3}, 3);
}

void queueGameMessage(World& w) {
    switch (w.rng.below(4)) {
    case 0: return queueMessage(w, print("chat " + std::to_string(w.rng.below(1000)) + "\n"), 0);
    case 1: return queueMessage(w, Bytes{3, uint8_t(w.rng.below(32))} + longValue(w.rng.below(200)), 0);
    case 2: return queueMessage(w, Bytes{14, uint8_t(w.rng.below(4)), uint8_t(w.rng.below(50)), 0}, 0);
    default: return queueMessage(w, filler(1000 + w.rng.below(2000)), 0);
    }
}

void takeHostCommand(World& w, const Bytes& message) {
    Server& s = w.server;
    if (s.hostCommandsTaken >= w.hostSent.size() || w.hostSent[s.hostCommandsTaken] != message)
        return fail(w, "the server took a host message out of order or changed");
    s.hostCommandsTaken++;
    auto has = [&](const std::string& command) {
        Bytes wanted = wire::stringCommand(command);
        return std::search(message.begin(), message.end(), wanted.begin(), wanted.end()) != message.end();
    };
    if (s.phase == ServerPhase::WaitPrespawn && has("prespawn")) {
        s.phase = ServerPhase::WaitSpawn;
        queueStage2(w);
    } else if (s.phase == ServerPhase::WaitSpawn && has("spawn")) {
        s.phase = ServerPhase::WaitBegin;
        queueStage3(w);
    } else if (s.phase == ServerPhase::WaitBegin && has("begin")) {
        s.phase = ServerPhase::InGame;
        s.phaseEndsMs = w.nowMs + 20000 + w.rng.below(40000);
    }
}

void serverReceive(World& w, const Bytes& d) {
    if (d.size() < HeaderSize || d[0] != 0) return;
    uint32_t seq = sequenceField(d.data());
    if (d[1] == FlagAck) return takeAck(w.server.channel, seq);
    if ((d[1] & 0xF7) != FlagData) return;  // the host's moves
    send(w, w.server.self, w.server.proxy, wire::ack(seq));
    Bytes message;
    uint32_t first;
    if (takeFragment(w.server.channel, d, message, first)) takeHostCommand(w, message);
}

// ---- Clients ----

void queueReliable(World& w, Client& c, const Bytes& message) {
    c.channel.queue.push_back(message);
    if (c.isHost) w.hostSent.push_back(message);
}

void answerSignon(World& w, Client& c, int stage) {
    if (stage == 1) queueReliable(w, c, wire::stringCommand("prespawn"));
    std::string name = c.isHost ? "host" : "obs" + std::to_string(c.number);
    if (stage == 2) queueReliable(w, c, wire::stringCommand("name " + name) + wire::stringCommand("spawn"));
    if (stage == 3) queueReliable(w, c, wire::stringCommand("begin"));
}

// Records 1 and 2 are the level's own signon messages; record 3 is the proxy's state block. A
// server information restarts the signon wherever it stands, but, as QuakeSpasm clients insist,
// only at signon 0: once it took one, the client needs a reconnect order first.
void takeRecord(World& w, Client& c, const Bytes& message) {
    int id = messageId(message);
    if (message == wire::stringMessage(9, "reconnect\n")) {
        c.record = 1;
        c.signon = 0;
        c.progressMs = w.nowMs;
        c.stage2Taken.clear();
        return;
    }
    if (id >= 0 && size_t(id) < w.log.size() && w.log[size_t(id)].stage == 1 && w.log[size_t(id)].bytes == message) {
        if (c.signon > 0)
            return fail(w, nameOf(c) + " took signon 1 at signon " + std::to_string(c.signon) + " without a reconnect");
        c.record = 1;
        c.recordLevel = w.log[size_t(id)].level;
    } else if (c.record == 2) {
        // Stage 2 comes as the server sent it, message by message.
        const Bytes& whole = w.stage2[size_t(c.recordLevel)];
        c.stage2Taken.insert(c.stage2Taken.end(), message.begin(), message.end());
        if (c.stage2Taken.size() > whole.size() || !std::equal(c.stage2Taken.begin(), c.stage2Taken.end(), whole.begin()))
            return fail(w, nameOf(c) + " took a garbled catch-up record 2");
        c.progressMs = w.nowMs;
        if (c.stage2Taken.size() < whole.size()) return;
    } else if (c.record == 1 || (c.record == 3 && !isStateBlock(message))) {
        return fail(w, nameOf(c) + " took a garbled catch-up record " + std::to_string(c.record));
    }
    c.stage2Taken.clear();
    answerSignon(w, c, c.record);
    c.signon = c.record;
    c.progressMs = w.nowMs;
    if (c.record++ < 3) return;
    c.phase = ClientPhase::Live;
    w.counts.reachedGame++;
}

// The stream as the client sees it: the server's messages, in order, each once, numbered so that
// its number maps back onto the server's.
void takeStreamMessage(World& w, Client& c, const Bytes& message, uint32_t firstSeq) {
    int id = messageId(message);
    if (id < 0 || size_t(id) >= w.log.size() || w.log[size_t(id)].bytes != message)
        return fail(w, nameOf(c) + " took a message the server never sent");
    int expected = c.lastId >= 0 ? c.lastId + 1 : (c.isHost ? 0 : id);
    if (id != expected)
        return fail(w, nameOf(c) + " took message " + std::to_string(id) + " where " + std::to_string(expected) +
                           " was due");
    uint32_t offset = 0;
    if (c.isHost || observerOffset(c, offset)) {
        uint32_t serverSeq = firstSeq + offset - hostSlot().seqOffset;
        if (serverSeq != w.log[size_t(id)].firstSeq)
            return fail(w, nameOf(c) + " got message " + std::to_string(id) + " under a number of another");
    }
    c.lastId = id;
    c.progressMs = w.nowMs;
    (c.isHost ? w.counts.hostMessages : w.counts.observerMessages)++;
    if (!c.isHost && w.log[size_t(id)].stage == 1) w.counts.levelsFollowed++;
    answerSignon(w, c, w.log[size_t(id)].stage);
}

void clientReceive(World& w, Client& c, const Wire& wire) {
    const Bytes& d = wire.bytes;
    if (d.size() >= 7 && d[0] == 0x80 && c.phase == ClientPhase::Connecting) {
        if (d[4] == 0x81) {
            c.proxy = fakeplatform::loopback(uint16_t(d[5] | d[6] << 8));
            c.phase = ClientPhase::Catching;
            c.progressMs = c.joinedMs = w.nowMs;
            w.counts.joins++;
        } else if (d[4] == 0x82) {
            c.phase = ClientPhase::Gone;
            w.counts.refused++;
        }
        return;
    }
    // Like NetQuake's, the client takes data only from the port its accept named.
    if (d.size() < HeaderSize || d[0] != 0 || c.phase == ClientPhase::Connecting) return;
    if (wire.from.port != c.proxy.port) return;
    uint32_t seq = sequenceField(d.data());
    if (d[1] == FlagAck) return takeAck(c.channel, seq);
    if ((d[1] & 0xF7) != FlagData) return;
    send(w, c.self, c.proxy, wire::ack(seq));  // every fragment, taken or not, as NetQuake does
    Bytes message;
    uint32_t first;
    if (!takeFragment(c.channel, d, message, first)) return;
    if (c.phase == ClientPhase::Catching) return takeRecord(w, c, message);
    takeStreamMessage(w, c, message, first);
}

void leave(World& w, Client& c) {
    send(w, c.self, c.proxy, wire::unreliable(c.channel.unreliableSeq++, {2}));
    c.left = true;
    c.phase = ClientPhase::Gone;
    w.counts.leaves++;
}

// What an observer's player does: joins, gives up a stuck signon, leaves, loses its network.
bool observerActs(World& w, Client& c) {
    if (c.phase == ClientPhase::Connecting) {
        if (w.nowMs - c.connectSentMs >= 2000) {
            c.connectSentMs = w.nowMs;
            Bytes request = {0x80, 0x00, 0x00, 0x0C, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3};
            send(w, c.self, fakeplatform::loopback(uint16_t(settings.port)), request);
        }
        return true;
    }
    if (c.phase == ClientPhase::Catching && w.nowMs - c.progressMs > CatchUpPatienceMs) {
        w.counts.stalledCatchUps++;
        leave(w, c);
        return true;
    }
    if (c.phase == ClientPhase::Live && w.rng.perMille(2)) {
        leave(w, c);
        return true;
    }
    if (w.rng.perMille(2)) {
        uint32_t r = w.rng.below(10);
        int64_t seconds = r < 7 ? 3 + w.rng.below(12) : r < 9 ? 20 + w.rng.below(40) : 125 + w.rng.below(15);
        c.silentUntilMs = w.nowMs + seconds * 1000;
        w.counts.silences++;
        return true;
    }
    return false;
}

}  // namespace

uint64_t Rng::next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void send(World& w, const NetAddress& from, const NetAddress& to, const Bytes& bytes) {
    if (w.rng.perMille(50)) return;
    int copies = w.rng.perMille(100) ? 2 : 1;
    for (int i = 0; i < copies; i++) {
        int late = w.rng.perMille(100) ? 1 + int(w.rng.below(4)) : 0;
        w.wires.push_back(Wire{from, to, bytes, w.step + 1 + late});
    }
}

void fail(World& w, const std::string& what) {
    if (w.failure.empty()) w.failure = what;
}

void startLevel(World& w, bool reconnectOrder) {
    if (reconnectOrder) queueMessage(w, wire::stringMessage(9, "reconnect\n"), 0);
    w.counts.levels++;
    w.stage2.emplace_back();
    w.server.phase = ServerPhase::WaitPrespawn;
    queueMessage(w, serverInfo(w), 1);
}

void serverStep(World& w) {
    Server& s = w.server;
    bool playing = s.phase == ServerPhase::InGame || s.phase == ServerPhase::Intermission;
    if (playing && s.channel.queue.size() < 2 && w.rng.perMille(s.phase == ServerPhase::InGame ? 250 : 100))
        queueGameMessage(w);
    if (s.phase == ServerPhase::InGame && w.nowMs >= s.phaseEndsMs) {
        queueMessage(w, Bytes{30}, 0);  // svc_intermission
        s.phase = ServerPhase::Intermission;
        s.phaseEndsMs = w.nowMs + 2000 + w.rng.below(3000);
    } else if (s.phase == ServerPhase::Intermission && w.nowMs >= s.phaseEndsMs) {
        startLevel(w, w.rng.perMille(500));  // QuakeSpasm orders a reconnect, DarkPlaces does not
    }
    Bytes fragment = pumpChannel(s.channel, w.nowMs);
    if (!fragment.empty()) send(w, s.self, s.proxy, fragment);
    if (!playing) return;
    Bytes update = Bytes{7} + longValue(uint32_t(w.nowMs)) + clientData();  // svc_time, then the client's state
    send(w, s.self, s.proxy, wire::unreliable(s.channel.unreliableSeq++, update));
}

void clientStep(World& w, Client& c) {
    if (c.phase == ClientPhase::Gone || w.nowMs < c.silentUntilMs) return;
    if (!c.isHost && observerActs(w, c)) return;
    Bytes fragment = pumpChannel(c.channel, w.nowMs);
    if (!fragment.empty()) send(w, c.self, c.proxy, fragment);
    if (c.phase != ClientPhase::Live) return;
    uint8_t buttons = w.rng.perMille(50) ? 2 : 0;
    Bytes move = wire::move(uint8_t(w.step), uint8_t(w.step * 3), 0, buttons);
    send(w, c.self, c.proxy, wire::unreliable(c.channel.unreliableSeq++, move));
}

void deliverToEndpoint(World& w, const Wire& wire) {
    if (wire.to == w.server.self) return serverReceive(w, wire.bytes);
    for (Client& c : w.clients) {
        if (c.self != wire.to || c.phase == ClientPhase::Gone) continue;
        if (w.nowMs >= c.silentUntilMs) clientReceive(w, c, wire);
        return;
    }
}

Client& addObserver(World& w) {
    Client c;
    c.number = int(w.clients.size());
    c.self = fakeplatform::loopback(uint16_t(27100 + c.number), uint8_t(10 + c.number % 200));
    c.connectSentMs = w.nowMs - 2000;
    w.clients.push_back(c);
    return w.clients.back();
}

bool observerOffset(const Client& c, uint32_t& seqOffset) {
    for (int n = FirstObserverSlot; n < SlotCount; n++) {
        const Slot& s = slotTable.slot[n];
        if (s.state == SlotFree || fakeplatform::boundAddress(s.socket).port != c.proxy.port) continue;
        seqOffset = s.seqOffset;
        return true;
    }
    return false;
}

int messageId(const Bytes& m) {
    size_t n = m.size();
    if (n < 5 || m[n - 1] != 0 || m[n - 2] != '\n') return -1;
    size_t p = n - 2;
    while (p > 0 && m[p - 1] >= '0' && m[p - 1] <= '9') p--;
    if (p == n - 2 || p < 2 || m[p - 1] != 'm' || m[p - 2] != 8 || n - 2 - p > 9) return -1;
    return std::stoi(std::string(m.begin() + long(p), m.end() - 2));
}

}  // namespace sim
