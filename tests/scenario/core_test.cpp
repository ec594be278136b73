// The proxy core as clients and servers see it: admission and comebacks, keep-alives and silence,
// connecting with its resends, refused input, the relays' numbers. Changes of server, disconnects
// and observing mode are played end to end.
#include "scenario/harness.h"

#include "net/senders.h"
#include "relay/relay.h"
#include "session/teardown.h"

namespace {

using fakeplatform::loopback;

struct Core : ProxyScenario {
    void later(uint64_t ms) { fakeplatform::advanceClocks(ms); }
    // The proxy started with the host and `count` observers from 127.0.0.4:5001 on; nothing sent or printed yet.
    std::vector<NetAddress> admitAll(const std::vector<std::string>& options, int count) {
        start(options);
        admitHost();
        std::vector<NetAddress> observers;
        for (int i = 0; i < count; i++) {
            observers.push_back(loopback(uint16_t(5001 + i), uint8_t(4 + i)));
            fromClient(observers.back(), loopback(connectClient(observers.back())), wire::unreliable(0, {1}));
        }
        sent();
        console();
        return observers;
    }
    // The host says a proxy command in its reliable datagram `sequence`; the prints it got.
    std::string say(uint32_t sequence, const std::string& text) {
        fromHost(wire::reliable(sequence, wire::stringCommand("say " + text)));
        return wire::allPrints(to(sent(), host));
    }
    std::vector<Datagram> toHost() { return to(sent(), host); }
    std::vector<Datagram> toServer() { return to(sent(), serverData); }
    static std::vector<Bytes> bytesOf(const std::vector<Datagram>& datagrams) {
        std::vector<Bytes> all;
        for (const Datagram& d : datagrams) all.push_back(d.bytes);
        return all;
    }
};

// Who asks again, from where, and what the proxy makes of it.
TEST_F(Core, RequestsAgainAreAnsweredByWhoAsksAndHowLongTheHostWasSilent) {
    NetAddress watcher = admitAll({"-o", "2"}, 2).at(0);
    // A client whose accept was lost gets the same one again, and nothing else changes.
    EXPECT_EQ(connectClient(host), hostSocket.port);
    EXPECT_EQ(connectClient(watcher), addresses.slotPort[2]);
    EXPECT_EQ(slotTable.observerCount, 2);
    // The observers share a port, where a datagram is an observer's only from its exact address.
    EXPECT_EQ(addresses.slotPort[3], addresses.slotPort[2]);
    for (NetAddress stranger : {NetAddress{watcher.ip, 5002}, loopback(5001, 9)})
        fromClient(stranger, loopback(addresses.slotPort[2]), wire::reliable(0, wire::stringCommand("say hi")));
    EXPECT_TRUE(sent().empty());
    // The host's machine on another port, the host heard 10 s ago: an observer (here refused).
    NetAddress restarted{host.ip, 27005};
    later(10000);
    EXPECT_EQ(request(restarted)[4], 0x82);
    // Silent for 11 s: the player's game restarted; the old connection closes, the new one is the host.
    later(1000);
    EXPECT_EQ(request(restarted)[4], 0x81);
    EXPECT_EQ(hostSlot().peerAddress, restarted);
    EXPECT_EQ(slotTable.observerCount, 0);
    EXPECT_NE(console().find("Client connection closed.\nWaiting for client...\nClient connected.\n127.0.0.2:27005"),
              std::string::npos);
}

// Who is released after how long a silence, with or without a server streaming: each limit holds
// within a second, also on passes that received something.
TEST_F(Core, SilenceLimitsHoldOnTime) {
    struct Beat {
        uint32_t atSeconds;
        int slotState;  // of the observer and of the host
        bool connected;
    };
    for (bool streaming : {false, true}) {
        resetProxyState();
        fakeplatform::reset();
        admitAll({"-o", "2"}, 1);
        if (streaming) connectServer();
        const std::vector<Beat> beats =
            streaming ? std::vector<Beat>{{120, 1, true}, {121, 0, true}, {500, 0, true}, {501, 0, false}}
                      : std::vector<Beat>{{120, 1, true}, {121, 0, false}};
        for (uint32_t second = 1; second <= beats.back().atSeconds; second++) {
            later(1000);
            streaming ? fromServer(wire::unreliable(second, {1})) : step();
            for (const Beat& b : beats) {
                if (b.atSeconds != second) continue;
                EXPECT_EQ(int(slotTable.slot[2].state), b.slotState) << streaming << " at " << second;
                EXPECT_EQ(int(hostSlot().state), b.slotState) << streaming << " at " << second;
                EXPECT_EQ(slotTable.hostConnected, b.connected) << streaming << " at " << second;
            }
        }
        EXPECT_NE(console().find("Client connection closed.\nWaiting for client...\n"), std::string::npos);
        EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
    }
}

// The host leaves (clc_disconnect): each observer hears why and is let go, then the host.
TEST_F(Core, ClosingTheClientConnectionTellsObserversWhy) {
    NetAddress watcher = admitAll({"-o", "2"}, 1).at(0);
    fromHost(wire::unreliable(1, {2}));
    auto out = sent();
    ASSERT_FALSE(to(out, watcher).empty());
    EXPECT_EQ(wire::allPrints(to(out, watcher)), "Your host disconnected.\nProxy connection closed.\n");
    Bytes farewell = wire::stringMessage(9, "toggleconsole\n") + Bytes{2, 0};  // ends with svc_disconnect
    EXPECT_EQ(wire::payload(to(out, watcher).back()), farewell);
    EXPECT_EQ(wire::allPrints(to(out, host)), "Proxy connection closed.\n");
    EXPECT_EQ(console(), "Client connection closed.\nWaiting for client...\n");
    EXPECT_EQ(fakeplatform::openSocketCount(), 1);  // the listening port's: the clients' are closed
    EXPECT_NE(connectClient(loopback(6000, 6)), 0);  // the next request is a new host
    EXPECT_TRUE(fakeplatform::portOpen(connectClient(watcher)));  // on an observers' socket made anew
}

// Connecting, told as the host hears it: three sends 2.5 s apart then "No response from"; a reject
// ends the attempt; an accept from another address is ignored; keep-alives go on throughout.
TEST_F(Core, ConnectingResendsGivesUpAndRejects) {
    admitAll({}, 0);
    Bytes reject = Bytes{0x80, 0x00, 0x00, 0x16} + wire::stringMessage(0x82, "Server is full.\n");
    NetAddress none, stranger = loopback(26500, 66);
    struct Beat {
        uint64_t laterMs;
        const char* say;  // what the host says, or nothing
        NetAddress from;  // who sends `bytes` to the proxy's server side
        Bytes bytes;
        const char* hostHears;
        size_t requests;  // connect requests sent to the server
    };
    const Beat story[] = {{0, "proxy:connect 127.0.0.3:26500", none, {}, "trying...\n", 1},
                          {2499, nullptr, none, {}, "", 0},
                          {1, nullptr, none, {}, "trying again...\n", 1},
                          {2500, nullptr, none, {}, "trying again...\n", 1},
                          {2499, nullptr, none, {}, "", 0},
                          {1, nullptr, none, {}, "No response from 127.0.0.3.\n", 0},
                          {10000, nullptr, none, {}, "<ping>", 0},
                          {0, "proxy:connect 127.0.0.3:26500", server, reject, "trying...\nServer is full.\n", 1},
                          {10000, nullptr, none, {}, "<ping>", 0},
                          {10000, nullptr, none, {}, "<ping>", 0},
                          {0, "proxy:connect 127.0.0.3:26500", stranger, wire::accept(26001), "trying...\n", 1},
                          {0, nullptr, server, wire::accept(26001), "Connection accepted\n", 0},
                          {0, "proxy:connect nowhere.test", none, {}, "Could not resolve nowhere.test.\n", 0}};
    uint32_t sequence = 0, beat = 0;
    for (const Beat& b : story) {
        ++beat;
        later(b.laterMs);
        if (b.say != nullptr) fromHost(wire::reliable(sequence++, wire::stringCommand(std::string("say ") + b.say)));
        if (!b.bytes.empty()) fakeplatform::inject(proxyServerSide(), b.from, b.bytes);
        step();
        bool pending = slotTable.serverSocket != platform::NoSocket && !slotTable.serverConnected;
        EXPECT_LE(fakeplatform::lastWaitTimeoutMs(), pending ? 2500 : 10000) << "beat " << beat;
        auto out = sent();
        std::string heard;
        for (const Datagram& d : to(out, host))
            heard += wire::payload(d) == wire::stringMessage(9, "ping\n") ? "<ping>" : wire::allPrints({d});
        EXPECT_EQ(heard, b.hostHears) << "beat " << beat;
        EXPECT_EQ(to(out, server).size(), b.requests) << "beat " << beat;
        for (const Datagram& d : to(out, server)) EXPECT_EQ(d.bytes, wire::connectRequest());
    }
    EXPECT_EQ(fakeplatform::openSocketCount(), 3);  // listening, host, server: each given-up socket closed
    std::string text = console();
    EXPECT_NE(text.find("No response from 127.0.0.3.\n"), std::string::npos);
    EXPECT_NE(text.find("Server connection established.\n0.0.0.0:"), std::string::npos) << text;
    EXPECT_NE(text.find("<->127.0.0.3:26001\n"), std::string::npos) << text;
}

TEST_F(Core, InputThatCannotWorkIsRefusedAndChangesNothingAndRatesRestart) {
    EXPECT_EQ(startExitCode({"-r", "host.example"}), 1);
    EXPECT_NE(console().find("ERROR: -r host.example is not an IPv4 address.\n"), std::string::npos);
    EXPECT_EQ(startExitCode({"-r", "10.99.99.99"}), 1);  // not this machine's
    EXPECT_NE(console().find("ERROR: Unable to bind to 10.99.99.99:0\n"), std::string::npos);
    resetProxyState();
    start({"-p", "0"});  // the port chosen is said and kept when the socket is made again
    uint16_t chosen = uint16_t(settings.port);
    EXPECT_NE(console().find("Listening on port " + std::to_string(chosen) + ".\n"), std::string::npos);
    EXPECT_NE(connectClient(loopback(6000, 6)), 0);
    EXPECT_TRUE(chosen != 0 && fakeplatform::portOpen(chosen) && settings.port == chosen);
    resetProxyState();
    fakeplatform::reset();
    admitAll({"-o", "2"}, 1);
    connectServer();
    sent();
    const std::pair<const char*, const char*> exchanges[] = {
        {"proxy:kick #99999999999", "Illegal observer number\n"},
        {"proxy:kick #2147483647", "You missed.\n"},
        {"proxy:connect 127.0.0.3:65536", "Illegal port number 65536\n"},
        {"proxy:connect 127.0.0.3 26x", "Illegal port number 26x\n"}};
    uint32_t sequence = 1;
    for (const auto& e : exchanges) EXPECT_EQ(say(sequence++, e.first), e.second) << e.first;
    EXPECT_EQ(slotTable.observerCount, 1);
    EXPECT_TRUE(slotTable.serverConnected);
    say(sequence++, "proxy:s2cbps 1");
    for (uint32_t i = 1; i <= 2; i++) fromServer(wire::unreliable(i, {1}));
    EXPECT_EQ(to(sent(), host).size(), 1u);  // the second is held for minutes
    say(sequence++, "proxy:s2cbps 20000");
    fromServer(wire::unreliable(3, {1}));
    EXPECT_EQ(to(sent(), host).size(), 1u);
}

// A slow resolver, a socket that cannot be had, a listening port that cannot be bound again: the game
// goes on, every client hears an answer, nobody is stranded on port 0.
TEST_F(Core, LookupsAndSocketsNeverStallOrStrandAnyone) {
    Bytes info = {0x80, 0x00, 0x00, 0x0C, 0x02, 'Q', 'U', 'A', 'K', 'E', 0, 3};
    admitAll({"-o", "2"}, 0);
    fakeplatform::setThisMachineAddress(false, 0);  // the address worked out at start-up stays in use
    fakeplatform::inject(listenAddress(), loopback(27100, 9), info);
    step();
    Bytes reply = sent().at(0).bytes;
    EXPECT_EQ(std::string(reply.begin() + 5, reply.begin() + 20), std::string("127.0.0.1:26000", 15));
    connectServer();
    sent();
    fakeplatform::setLookupDelay("slow.test", fakeplatform::NeverAnswers);
    EXPECT_EQ(say(1, "proxy:connect slow.test"), "trying...\n");
    later(9900);
    fromServer(wire::unreliable(1, {1}));  // the game goes on meanwhile
    EXPECT_EQ(toHost().size(), 1u);
    EXPECT_LE(fakeplatform::lastWaitTimeoutMs(), 100);
    later(100);
    step();
    EXPECT_EQ(wire::allPrints(toHost()), "Could not resolve slow.test.\n");
    EXPECT_TRUE(slotTable.serverConnected);
    fakeplatform::failSocketOpen(true);  // no socket for the next client: refused, never sent to port 0
    std::string told = say(2, "proxy:connect 127.0.0.3:26600");  // the old server left, the new one not asked
    EXPECT_EQ(told.substr(told.size() - 40), "Unable to open a socket for the server.\n");
    EXPECT_EQ(told.find("trying"), std::string::npos);
    EXPECT_FALSE(slotTable.serverConnected || slotTable.serverSocket != platform::NoSocket);
    EXPECT_EQ(request(loopback(5001, 4))[4], 0x82);
    EXPECT_NE(console().find("Unable to open a socket for 127.0.0.4:5001.\n"), std::string::npos);
    fakeplatform::failSocketOpen(false);
    fakeplatform::failBindOnPort(26000);  // the listening port cannot be bound again after an admission
    EXPECT_EQ(request(loopback(5002, 5))[4], 0x81);
    EXPECT_NE(console().find("Unable to bind to 0.0.0.0:26000 again, retrying.\n"), std::string::npos);
    fakeplatform::failBindOnPort(26000, false);
    later(1000);
    step();
    EXPECT_NE(console().find("Listening on 0.0.0.0:26000 again.\n"), std::string::npos);
    EXPECT_EQ(request(loopback(5003, 6))[4], 0x81);
}

// Observing mode, asked for through a transparent proxy: this proxy takes it; the host's moves reach the
// server only when jump changes or every 5 s, without fire and impulse.
TEST_F(Core, ObservingModeThinsTheHostsMoves) {
    admitAll({}, 0);
    connectServer();
    say(1, "proxy:transparent");
    say(2, "proxy:observing");
    toServer();
    std::vector<Bytes> forwarded;
    for (uint8_t second = 1; second <= 13; second++) {
        later(1000);
        uint8_t buttons = second == 9 ? 3 : 1;  // jump pressed in the 9th second, released in the 10th
        fromHost(wire::unreliable(second, wire::move(0, 64, 0, buttons, 7)));
        for (const Datagram& d : toServer()) forwarded.push_back(wire::payload(d));
    }
    // Seconds 1 and 7 (5 s passed), 9 and 10 (jump changed); fire and impulse never.
    EXPECT_EQ(forwarded, (std::vector<Bytes>{wire::move(0, 64, 0, 0, 0), wire::move(0, 64, 0, 0, 0),
                                             wire::move(0, 64, 0, 2, 0), wire::move(0, 64, 0, 0, 0)}));
}

// The relays: acks and unreliables take each side's numbers and carry the texts; forged ports are dropped.
TEST_F(Core, AcksAndUnreliablesTakeEachSidesNumbersAndCarryTheTexts) {
    playWithServer({"-o", "1"});
    numbering.c2sSeqOffset = 9;
    hostSlot().seqOffset = 3;
    fromServer(wire::ack(3));
    fromServer(wire::header(0x04, 77, {}));
    fromServer(wire::unreliable(1000, {1}));
    printToHost("x\n", 3);
    fromServer(wire::unreliable(1001, {1}));
    auto out = toHost();
    uint32_t n = wire::sequence(out.at(2));
    EXPECT_EQ(bytesOf(out), (std::vector<Bytes>{wire::ack(12), wire::header(0x04, 77, {}), wire::unreliable(n, {1}),
                                  wire::unreliable(n + 1, {8, 2, 'x', '\n', 0}), wire::unreliable(n + 2, {1})}));
    fromHost(wire::ack(20));
    fromHost(wire::reliable(12, {1}));
    fromHost(wire::header(0x04, 55, {}));
    fromHost(wire::reliable(14, wire::stringCommand("say proxy:help")));
    // The command alone goes on as an empty reliable datagram.
    EXPECT_EQ(bytesOf(toServer()),
              (std::vector<Bytes>{wire::ack(17), wire::reliable(3, {1}), wire::header(0x04, 55, {}),
                                  wire::reliable(5, {})}));
    // Forged: the host's or the server's address with another port.
    fromClient(NetAddress{host.ip, 27999}, hostSocket, wire::reliable(15, wire::stringCommand("say proxy:help")));
    fromClient(NetAddress{server.ip, 26999}, proxyServerSide(), wire::unreliable(5, {1}));
    EXPECT_TRUE(sent().empty());
    // The server shut down (svc_disconnect alone): the host stays at the proxy, never told to leave it.
    fromServer(wire::unreliable(1002, {7, 0, 0, 0, 0, 2}));
    EXPECT_TRUE(slotTable.hostConnected && !slotTable.serverConnected);
    for (const Datagram& d : toHost()) EXPECT_NE(wire::payload(d), (Bytes{7, 0, 0, 0, 0, 2}));
}

}  // namespace
