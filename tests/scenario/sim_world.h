// The simulated world around the proxy: a NetQuake server streaming levels, game clients that sign
// on and watch, and the lossy, duplicating, reordering links between them and the proxy.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

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
    Bytes sending;
    size_t offset = 0;  // of the fragment in flight
    size_t piece = 0;
    bool inFlight = false;
    uint32_t sendSeq = 0;
    int64_t sentAtMs = 0;
    int64_t waitingSinceMs = 0;  // the fragment in flight was first sent then
    uint32_t recvSeq = 0;
    Bytes partial;
    uint32_t partialFirst = 0;
    uint32_t unreliableSeq = 0;
};

// The next fragment to send (new, or the one in flight once its resend is due), or nothing.
Bytes pumpChannel(Channel& c, int64_t nowMs);
void takeAck(Channel& c, uint32_t seq);
// A reliable fragment in order: true when it completed `message`, which began at `firstSeq`.
bool takeFragment(Channel& c, const Bytes& d, Bytes& message, uint32_t& firstSeq);

// A server message as sent: its bytes end with the print "m<id>\n" and it starts at server
// sequence number firstSeq.
struct Logged {
    Bytes bytes;
    int level;
    int stage;  // the svc_signonnum it carries, 0 for none
    uint32_t firstSeq;
};

enum class ServerPhase { WaitPrespawn, WaitSpawn, WaitBegin, InGame, Intermission };

struct Server {
    NetAddress self, proxy;
    Channel channel;
    ServerPhase phase = ServerPhase::WaitPrespawn;
    int64_t phaseEndsMs = 0;
    uint32_t plannedSeq = 0;  // number of the next fragment queued
    uint8_t players = 4;
    size_t hostCommandsTaken = 0;
};

enum class ClientPhase { Connecting, Catching, Live, Gone };

struct Client {
    bool isHost = false;
    int number = 0;
    NetAddress self, proxy;
    Channel channel;
    ClientPhase phase = ClientPhase::Connecting;
    int record = 1;       // catch-up record expected next
    int recordLevel = 0;  // level of the record 1 taken
    Bytes stage2Taken;    // stage-2 messages of the catch-up so far
    int signon = 0;       // signon stage taken in the catch-up; a reconnect order sets it back to 0
    int64_t joinedMs = 0;
    int lastId = -1;      // last stream message taken
    int64_t progressMs = 0;
    int64_t silentUntilMs = 0;
    int64_t connectSentMs = 0;
    bool left = false;
};

struct Wire {
    NetAddress from, to;
    Bytes bytes;
    int due;
};

struct Counts {
    int joins = 0, refused = 0, reachedGame = 0, stalledCatchUps = 0, leaves = 0, silences = 0;
    int levels = 0, hostMessages = 0, observerMessages = 0, levelsFollowed = 0;
    int removedLeaving = 0, removedSilent = 0, removedBehind = 0;
};

struct World {
    Rng rng;
    int step = 0;
    int64_t nowMs = 0;
    std::vector<Wire> wires;
    Server server;
    std::vector<Client> clients;  // [0] is the host
    std::vector<Logged> log;      // index = message id
    std::vector<Bytes> stage2;    // per level: the signon stage 2 messages, concatenated
    std::vector<Bytes> hostSent;  // the host's reliable messages, in order
    std::string failure;          // the first broken promise
    Counts counts;
};

constexpr uint32_t ProxyIp = (127u << 24) | 1;

// Puts a datagram on the link: lost, doubled or held back a few steps by chance.
void send(World& world, const NetAddress& from, const NetAddress& to, const Bytes& bytes);
void fail(World& world, const std::string& what);

void startLevel(World& world, bool reconnectOrder);
void serverStep(World& world);
void clientStep(World& world, Client& client);
void deliverToEndpoint(World& world, const Wire& wire);
Client& addObserver(World& world);

// The observer's numbering onto the host's, read from the proxy (the client's slot by its port).
bool observerOffset(const Client& client, uint32_t& seqOffset);
// The message id carried by a server message, -1 for none.
int messageId(const Bytes& message);

}  // namespace sim
