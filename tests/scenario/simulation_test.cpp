// Seeded simulations of the whole proxy on lossy, duplicating, reordering links: a server streaming
// levels to the host and to observers that come, go and fall silent; and a host whose connects meet
// late, dead, silent and changing servers. A failing run names its seed and step.
#include <algorithm>
#include <cstdlib>

#include "scenario/sim_world.h"

namespace {

class Simulation : public sim::World, public ::testing::WithParamInterface<uint64_t> {};

// SKOPOS_SIM_SEED=first SKOPOS_SIM_SEEDS=count SKOPOS_SIM_STEPS=n runs a longer search.
uint64_t fromEnvironment(const char* name, uint64_t otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtoull(value, nullptr, 0) : otherwise;
}
std::vector<uint64_t> seeds(std::vector<uint64_t> otherwise) {
    if (std::getenv("SKOPOS_SIM_SEED") == nullptr) return otherwise;
    std::vector<uint64_t> chosen;
    for (uint64_t i = 0; i < fromEnvironment("SKOPOS_SIM_SEEDS", 1); i++) chosen.push_back(fromEnvironment("SKOPOS_SIM_SEED", 1) + i);
    return chosen;
}

// Odd seeds also record, so that the reconnect order restarts the demo file; every third seed caps
// the server's bytes, so that the limiter holds unreliable datagrams back; even seeds watch 2 s late.
TEST_P(Simulation, EveryReaderGetsTheStreamInOrderOnceAndTheTablesStayConsistent) {
    uint64_t seed = GetParam();
    std::vector<std::string> options = {"-o", "6"};
    if (seed % 2 == 1) options.insert(options.end(), {"-d", "sim"});
    if (seed % 3 == 0) options.insert(options.end(), {"-s", "3000"});
    if (seed % 2 == 0) options.insert(options.end(), {"-D", "2"});
    build(seed, options);
    while (step < int(fromEnvironment("SKOPOS_SIM_STEPS", 5000)) && failure().empty()) stepWorld();
    ASSERT_EQ(failure(), "") << "seed " << seed << ", step " << step;
    EXPECT_GT(levelsFollowed, 5);
}

INSTANTIATE_TEST_SUITE_P(Simulation, Simulation, ::testing::ValuesIn(seeds({1, 2, 3, 4, 5, 6, 0x5EED, 20240611})));

// ---- Every player ends in the game or is told why not, within the limits ----

enum class Fault { None, LateServer, DeadServer, SilentServer, HostRestart, PendingChat, ChangeUnacked, Count };

// A game server: accepts once up, greets, takes the host's prespawn in order and lets it in.
struct Peer {
    NetAddress control, data;
    sim::Channel channel;
    int64_t upAtMs = 0;
    bool accepted = false, silent = false;
};

class Resilience : public sim::World, public ::testing::WithParamInterface<uint64_t> {
protected:
    void say(const std::string& text) { channel.queue.push_back(wire::stringCommand("say " + text)); }
    bool told(const std::string& text) { return heard.find(text) != std::string::npos; }

    void startEpisode() {
        fault = inGame ? Fault(rng.below(unsigned(Fault::Count))) : Fault(rng.below(3));
        heard.clear();
        deadlineMs = nowMs + 30000;
        if (fault == Fault::SilentServer) {  // the server in use falls silent; no new one is asked
            peers.back().silent = true;
            deadlineMs = nowMs + 63000;
            return;
        }
        Peer peer;
        peer.control = fakeplatform::loopback(uint16_t(26500 + 10 * peers.size()), 3);
        peer.data = NetAddress{peer.control.ip, uint16_t(peer.control.port + 1)};
        peer.upAtMs = nowMs + (fault == Fault::LateServer ? 1000 + rng.below(3000) : 0);
        if (fault == Fault::DeadServer) peer.upAtMs = INT64_MAX, deadlineMs = nowMs + 12000;
        if (fault == Fault::HostRestart) {
            listener.port = ++self.port;
            channel = sim::Channel();
            accepted = false;
        }
        if (fault == Fault::ChangeUnacked) {
            peers.back().channel.queue.push_back(wire::stringMessage(8, "tail\n"));
            tailLost = false;
        }
        inGame = false;
        peers.push_back(peer);
        say("proxy:connect 127.0.0.3:" + std::to_string(peer.control.port));
        if (fault == Fault::PendingChat) say("hello while connecting");
    }

    void toHost(const sim::Wire& w) {
        const Bytes& d = w.bytes;
        if (d.size() >= 7 && d[0] == 0x80 && d[4] == 0x81 && !accepted) {
            accepted = true;
            proxyPort = fakeplatform::loopback(uint16_t(d[5] | d[6] << 8));
        }
        static const std::string tail = "tail";  // the old server's last fragment is lost on its first way
        bool lost = !tailLost && std::search(d.begin(), d.end(), tail.begin(), tail.end()) != d.end();
        tailLost = tailLost || lost;
        if (!accepted || w.from.port != proxyPort.port || lost) return;
        Bytes message;
        uint32_t first;
        if (!receive(channel, w, message, first)) return;
        std::string text(message.begin(), message.end());
        if (text.find("welcome") != std::string::npos) channel.queue.push_back(wire::stringCommand("prespawn"));
        inGame = inGame || text.find("in game") != std::string::npos;
    }

    void toPeer(Peer& p, const sim::Wire& w) {
        const Bytes& d = w.bytes;
        if (nowMs < p.upAtMs || p.silent) return;
        if (w.to == p.control && d.size() >= 5 && d[0] == 0x80 && d[4] == 0x01) {
            send(p.control, proxyServerSide(), wire::accept(p.data.port));
            if (!p.accepted) p.channel.queue.push_back(wire::stringMessage(8, "welcome\n"));
            p.accepted = true;
            return;
        }
        Bytes message;
        uint32_t first;
        if (w.to == p.data && receive(p.channel, w, message, first) && message == wire::stringCommand("prespawn"))
            p.channel.queue.push_back(wire::stringMessage(8, "in game\n"));
    }

    // The episode's end: in the game, or told why not, in time.
    void judge() {
        bool timedOut = told("Server timed out.\n"), noResponse = told("No response from 127.0.0.3.\n");
        bool done = fault == Fault::SilentServer ? timedOut
                    : fault == Fault::DeadServer ? noResponse
                                                 : inGame || noResponse || timedOut;
        if (!done && nowMs > deadlineMs)
            fail("fault " + std::to_string(int(fault)) + ": the host is told nothing: " + heard);
        if (!done) return;
        inGame = inGame && fault != Fault::SilentServer;
        games += inGame;
        nextEpisodeMs = nowMs + 1000 + rng.below(3000);
        deadlineMs = 0;
    }

    std::vector<Peer> peers;
    NetAddress self = fakeplatform::loopback(27001, 2), proxyPort;
    sim::Channel channel;
    bool accepted = false, inGame = false, tailLost = true;
    int64_t requestMs = -10000, deadlineMs = 0, nextEpisodeMs = 0;
    Fault fault = Fault::None;
    int games = 0;
};

TEST_P(Resilience, EveryPlayerEndsInTheGameOrIsToldWhyNot) {
    start();
    rng.state = GetParam();
    listener = self;
    while (step < int(fromEnvironment("SKOPOS_SIM_STEPS", 6000)) && failure().empty()) {
        tick();
        if (accepted && deadlineMs == 0 && nowMs >= nextEpisodeMs) startEpisode();
        if (!accepted && nowMs - requestMs >= 2500) {  // as game clients do
            requestMs = nowMs;
            send(self, listenAddress(), wire::connectRequest());
        }
        if (accepted) pump(channel, self, proxyPort);
        if (inGame) send(self, proxyPort, wire::unreliable(channel.unreliableSeq++, wire::move(0, 0, 0)));
        for (Peer& p : peers) {
            if (!p.accepted || p.silent) continue;
            pump(p.channel, p.data, proxyServerSide());
            send(p.data, proxyServerSide(), wire::unreliable(p.channel.unreliableSeq++, {1}));
        }
        for (const sim::Wire& w : takeDue()) {
            if (w.to == self) toHost(w);
            if (w.to.ip == listenAddress().ip && fakeplatform::inject(w.to, w.from, w.bytes)) runLoopPass();
            for (Peer& p : peers)
                if (w.to == p.control || w.to == p.data) toPeer(p, w);
            route();
        }
        runLoopPass();  // the timers run on time even when nothing comes
        route();
        console();
        if (deadlineMs != 0) judge();
    }
    ASSERT_EQ(failure(), "") << "seed " << GetParam() << ", step " << step;
    EXPECT_GT(games, 5);
}

INSTANTIATE_TEST_SUITE_P(Resilience, Resilience, ::testing::ValuesIn(seeds({1, 2, 3, 0x5EED, 20240611})));

}  // namespace
