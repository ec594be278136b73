// The proxy core as clients and servers see it: start-up, server information, admission and
// comebacks, keep-alives and silence, connecting with its resends and lookups, forged datagrams.
#include "scenario/harness.h"

#include "core/print.h"
#include "net/connect.h"
#include "net/limiter.h"
#include "observers/capture.h"
#include "observers/teardown.h"

namespace {

using fakeplatform::loopback;

struct Core : ProxyScenario {
    uint64_t elapsedMs = 0;
    // Both clocks move on together, as on a real machine.
    void later(uint64_t ms) {
        elapsedMs += ms;
        fakeplatform::advanceMilliseconds(ms);
        fakeplatform::setSeconds(1000 + uint32_t(elapsedMs / 1000));
    }
    // Asks for server information; its strings and the three bytes behind them.
    std::vector<std::string> serverInfo() {
        NetAddress asker = loopback(5000, 9);
        fakeplatform::inject(listenAddress(), asker, {0x80, 0x00, 0x00, 0x0C, 0x02, 'Q', 'U', 'A', 'K', 'E', 0, 3});
        step();
        auto replies = to(sent(), asker);
        EXPECT_EQ(replies.size(), 1u);
        if (replies.empty()) return {};
        const Bytes& d = replies[0].bytes;
        EXPECT_EQ(lengthField(d.data()), d.size());
        std::vector<std::string> fields;
        size_t p = 5;
        for (int i = 0; i < 3; i++, p++)
            for (fields.emplace_back(); p < d.size() && d[p]; p++) fields.back() += char(d[p]);
        for (; p < d.size(); p++) fields.push_back(std::to_string(d[p]));
        return fields;
    }
    // Admits the host and `count` observers from 127.0.0.4:5001 on; nothing sent or printed yet.
    std::vector<NetAddress> admitAll(int count) {
        admitHost();
        std::vector<NetAddress> observers;
        for (int i = 0; i < count; i++) {
            observers.push_back(loopback(uint16_t(5001 + i), uint8_t(4 + i)));
            connectClient(observers.back());
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
    Bytes reject(const std::string& reason) {
        Bytes r = wire::concat({0x80, 0x00, 0x00, 0x00}, wire::stringMessage(0x82, reason));
        setLengthField(r.data(), int(r.size()));
        return r;
    }
};

TEST_F(Core, StartUpWaitsOrEndsWithAnErrorLine) {
    start({"-p", "27000"});
    EXPECT_NE(console().find("Waiting for client...\n"), std::string::npos);
    EXPECT_TRUE(fakeplatform::portOpen(27000));
    step();
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 10000);
    EXPECT_TRUE(sent().empty());  // idle with no host: nothing is sent
    const std::pair<std::vector<std::string>, const char*> failures[] = {
        {{}, "ERROR: Unable to bind to 0.0.0.0:26000\n"},
        {{"-l", "nonsense"}, "ERROR: Unable to bind to 255.255.255.255:26000\n"},
        {{"-p", "27010", "-r", "host.example"}, "ERROR: -r host.example is not an IPv4 address.\n"}};
    for (const auto& f : failures) {
        fakeplatform::reset();
        fakeplatform::failBindOnPort(26000);
        EXPECT_EQ(startExitCode(f.first), 1);
        EXPECT_NE(console().find(f.second), std::string::npos) << f.second;
    }
}

TEST_F(Core, ServerInformationTellsAddressNamePlayersAndMaximumAndNothingElseIsAnswered) {
    start({"-o", "4"});
    fakeplatform::setThisMachineAddress(false, 0);  // worked out at start-up, not per request
    EXPECT_EQ(serverInfo(), (std::vector<std::string>{"127.0.0.1:26000", "Skopos-Proxy v1.04", "not connected",
                                                       "0", "5", "3"}));
    admitAll(2);
    EXPECT_EQ(serverInfo().at(3), "3");
    for (const Bytes& other : {Bytes{0x80, 0x00, 0x00, 0x05, 0x03}, Bytes{0x00, 0x10, 0x00, 0x08, 0, 0, 0, 0}, Bytes{0x80}})
        fakeplatform::inject(listenAddress(), loopback(5000, 9), other);
    step(3);
    EXPECT_TRUE(sent().empty());
    resetProxyState();
    start({"-l", "127.0.0.1", "-p", "27001"});
    EXPECT_EQ(serverInfo().at(0), "127.0.0.1:27001");
    platform::Socket listener = slotTable.slot[0].socket;
    admitHost();
    EXPECT_EQ(slotTable.slot[0].socket, listener);  // a given interface keeps its listening socket
}

// Who asks again, from where, and what the proxy makes of it.
TEST_F(Core, RequestsAgainAreAnsweredByWhoAsksAndHowLongTheHostWasSilent) {
    start({"-o", "1"});
    NetAddress watcher = admitAll(1).at(0);
    EXPECT_EQ(slotTable.observerCount, 1);
    // A client whose accept was lost gets the same one again, and nothing else changes.
    EXPECT_EQ(connectClient(host), hostSocket.port);
    EXPECT_EQ(connectClient(watcher), 50001);
    EXPECT_EQ(slotTable.observerCount, 1);
    // The host's machine on another port, the host heard 10 s ago: an observer (here refused).
    NetAddress restarted{host.ip, 27005};
    later(10000);
    auto requestFrom = [&](const NetAddress& who) {
        fakeplatform::inject(listenAddress(), who, wire::connectRequest());
        step();
        return to(sent(), who).at(0).bytes;
    };
    std::string full = "Skopos-Proxy:Max observers (1) reached.";
    EXPECT_EQ(requestFrom(restarted),
              wire::concat({0x80, 0x00, 0x00, uint8_t(7 + full.size()), 0x82}, wire::stringMessage(2, full)));
    // Silent for 11 s: the player's game restarted; the old connection closes, the new one is the host.
    later(1000);
    EXPECT_EQ(requestFrom(restarted)[4], 0x81);
    EXPECT_EQ(hostSlot().peerAddress, restarted);
    EXPECT_EQ(slotTable.observerCount, 0);
    EXPECT_NE(console().find("Client connection closed.\nWaiting for client...\nClient connected.\n127.0.0.2:27005"),
              std::string::npos);
    // No socket to be had: a reject and a console line, never an accept naming port 0.
    fakeplatform::failSocketOpen(true);
    Bytes refused = requestFrom(loopback(5009, 9));
    EXPECT_EQ(refused[4], 0x82);
    EXPECT_EQ(console(), "Unable to open a socket for 127.0.0.9:5009.\n");
    EXPECT_EQ(slotTable.observerCount, 0);
    fakeplatform::failSocketOpen(false);
    // The listening socket cannot be made again: said once, tried on each pass until it works.
    fakeplatform::failBindOnPort(26000);
    EXPECT_NE(connectClient(loopback(5010, 10)), 0);
    EXPECT_EQ(console(), "Unable to bind to 0.0.0.0:26000 again, retrying.\nObserver joined.\n");
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 10000);
    step(2);
    EXPECT_LE(fakeplatform::lastWaitTimeoutMs(), 1000);
    EXPECT_EQ(console(), "");
    fakeplatform::failBindOnPort(26000, false);
    step();
    EXPECT_EQ(console(), "Listening on 0.0.0.0:26000 again.\n");
    EXPECT_TRUE(fakeplatform::portOpen(26000));
}

TEST_F(Core, KeepAlivesComeAfterTenQuietSecondsAndASilentHostWithoutServerIsClosed) {
    start({"-o", "1"});
    admitAll(1);
    later(9000);
    step();
    EXPECT_TRUE(sent().empty());
    later(1000);
    step();
    auto out = sent();
    ASSERT_EQ(out.size(), 2u);
    for (const Datagram& d : out) EXPECT_EQ(wire::payload(d), wire::stringMessage(9, "ping\n"));
    later(110000);
    step();
    EXPECT_TRUE(slotTable.hostConnected) << console();
    later(1000);
    step();  // 121 s without a word and no server: the whole client connection closes
    EXPECT_FALSE(slotTable.hostConnected);
    EXPECT_NE(console().find("Client connection closed.\nWaiting for client...\n"), std::string::npos);
}

// While a server streams, every silence limit holds within a second.
TEST_F(Core, SilenceLimitsHoldWhileTheServerStreams) {
    start({"-o", "2"});
    NetAddress watcher = admitAll(1).at(0);
    connectServer();
    auto stream = [&](int seconds) {
        for (int i = 0; i < seconds; i++) {
            later(1000);
            fromServer(wire::unreliable(uint32_t(elapsedMs), {1}));
        }
    };
    stream(120);
    EXPECT_EQ(slotTable.slot[2].state, 1);
    stream(1);  // observer and host silent for 121 s
    EXPECT_EQ(slotTable.slot[2].state, 0);
    EXPECT_EQ(hostSlot().state, 0);
    EXPECT_TRUE(slotTable.hostConnected);  // the connection lives on until 500 s
    EXPECT_NE(wire::allPrints(to(sent(), watcher)).find(""), std::string::npos);
    stream(379);
    EXPECT_TRUE(slotTable.hostConnected);
    stream(1);
    EXPECT_FALSE(slotTable.hostConnected);
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
}

TEST_F(Core, ASilentServerIsLeftAfterSixtySecondsAndTheHostStays) {
    start();
    admitAll(0);
    connectServer();
    sent();
    console();
    later(60000);
    fromHost(wire::unreliable(0, {1}));
    EXPECT_TRUE(slotTable.serverConnected);
    later(1000);
    fromHost(wire::unreliable(1, {1}));
    EXPECT_FALSE(slotTable.serverConnected);
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
    EXPECT_EQ(console(), "Server timed out.\n");
    EXPECT_EQ(wire::allPrints(to(sent(), host)).rfind("Server timed out.\n", 0), 0u);
    EXPECT_TRUE(slotTable.hostConnected);
}

TEST_F(Core, ClosingTheClientConnectionTellsObserversFirstFromTheTop) {
    start({"-o", "2"});
    std::vector<NetAddress> watchers = admitAll(2);
    NetAddress a = watchers[0], b = watchers[1];
    closeClientConnection();
    std::vector<std::pair<NetAddress, std::string>> story;
    for (const Datagram& d : sent()) {
        auto texts = wire::prints(d);
        story.push_back({d.to, texts.empty() ? std::string("<raw>") : texts[0]});
    }
    // The reconnect orders first (disconnectServer), then the farewells from slot 3 down.
    const std::vector<std::pair<NetAddress, std::string>> expected = {
        {b, "Your host disconnected.\n"}, {b, "Proxy connection closed.\n"}, {b, "<raw>"},
        {a, "Your host disconnected.\n"}, {a, "Proxy connection closed.\n"}, {a, "<raw>"},
        {host, "Proxy connection closed.\n"}, {host, "<raw>"}};
    ASSERT_EQ(story.size(), 3u + 8u);
    EXPECT_EQ(decltype(story)(story.begin() + 3, story.end()), expected);
    EXPECT_EQ(console(), "Client connection closed.\nWaiting for client...\n");
    EXPECT_EQ(numbering.lastHostReliableSeq, 0xFFFFFFFFu);
    EXPECT_EQ(capture.stored[0].streamNumber, 1u);
    EXPECT_NE(connectClient(loopback(6000, 6)), 0);  // the next request is a new host
    EXPECT_TRUE(slotTable.hostConnected);
}

// An unanswered connect: three sends 2.5 s apart, then the proxy gives up; keep-alives go on.
TEST_F(Core, AnUnansweredConnectIsResentTwiceThenGivenUp) {
    start();
    admitAll(0);
    EXPECT_EQ(say(1, "proxy:connect 127.0.0.3:26500"), "trying...\n");
    const std::pair<uint64_t, const char*> story[] = {
        {2499, ""}, {1, "trying again...\n"}, {2500, "trying again...\n"}, {2499, ""},
        {1, "No response from 127.0.0.3.\n"}};
    int requests = 1;
    for (const auto& s : story) {
        later(s.first);
        step();
        EXPECT_LE(fakeplatform::lastWaitTimeoutMs(), 2500);
        auto out = sent();
        EXPECT_EQ(wire::allPrints(to(out, host)), s.second);
        requests += int(to(out, server).size());
    }
    EXPECT_EQ(requests, 3);
    EXPECT_EQ(console(), "No response from 127.0.0.3.\n");
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
    later(10000);
    step();
    EXPECT_EQ(wire::payload(to(sent(), host).at(0)), wire::stringMessage(9, "ping\n"));
}

TEST_F(Core, ARejectEndsTheAttemptAndAnAcceptNamesThePort) {
    start();
    admitAll(0);
    askServer();
    fakeplatform::inject(proxyServerSide(), server, reject("Server is full.\n"));
    step();
    auto out = to(sent(), host);
    EXPECT_EQ(wire::payload(out.at(0)), wire::stringMessage(8, "Server is full.\n"));
    EXPECT_EQ(console(), "");
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
    later(10000);
    step();
    EXPECT_EQ(to(sent(), host).size(), 1u);  // the keep-alive
    askServer();
    EXPECT_EQ(to(sent(), server).at(0).bytes, wire::connectRequest());
    fakeplatform::inject(proxyServerSide(), loopback(26500, 66), wire::accept(26001));  // not the server asked
    step();
    EXPECT_FALSE(slotTable.serverConnected);
    fakeplatform::inject(proxyServerSide(), server, wire::accept(26001));
    step();
    EXPECT_TRUE(slotTable.serverConnected);
    EXPECT_EQ(addresses.server.port, 26001);
    EXPECT_EQ(wire::allPrints(to(sent(), host)), "Connection accepted\n");
    std::string text = console();
    EXPECT_EQ(text.rfind("Server connection established.\n0.0.0.0:5000", 0), 0u) << text;
    EXPECT_NE(text.find("<->127.0.0.3:26001\n"), std::string::npos);
    later(10000);
    step();  // no resend once accepted
    EXPECT_TRUE(to(sent(), server).empty());
}

// The lookup runs beside the game: the old server stays until the new one is known.
TEST_F(Core, NameLookupsNeverStallTheGame) {
    start();
    admitAll(0);
    connectServer();
    sent();
    fakeplatform::addHostName("slow.test", loopback(26500, 3).ip);
    fakeplatform::setLookupDelay("slow.test", 3000);
    fakeplatform::setLookupDelay("never.test", fakeplatform::NeverAnswers);
    EXPECT_EQ(say(1, "proxy:connect never.test"), "trying...\n");
    EXPECT_EQ(say(2, "proxy:connect slow.test 26500"), "trying...\n");  // replaces the first
    EXPECT_EQ(fakeplatform::lookupsTaken(), 1);
    EXPECT_LE(fakeplatform::lastWaitTimeoutMs(), LookupPollMs);
    later(2999);
    fromServer(wire::unreliable(5, {1}));
    EXPECT_EQ(to(sent(), host).size(), 1u);  // the game goes on
    EXPECT_TRUE(slotTable.serverConnected);
    later(1);
    step();
    EXPECT_EQ(to(sent(), server).back().bytes, wire::connectRequest());
    EXPECT_FALSE(slotTable.serverConnected);
    EXPECT_EQ(say(3, "proxy:connect never.test:26001"), "trying...\n");
    later(9999);
    step();
    EXPECT_EQ(wire::allPrints(to(sent(), host)).find("Could not resolve"), std::string::npos);
    later(1);
    step();
    EXPECT_NE(wire::allPrints(to(sent(), host)).find("Could not resolve never.test.\n"), std::string::npos);
    EXPECT_EQ(fakeplatform::lookupsTaken(), 0);
    EXPECT_EQ(say(4, "proxy:connect nowhere.test"), "Could not resolve nowhere.test.\n");
}

TEST_F(Core, InputThatCannotWorkIsRefusedAndChangesNothing) {
    start({"-o", "2"});
    admitAll(1);
    const std::pair<const char*, const char*> exchanges[] = {
        {"proxy:kick #99999999999", "Illegal observer number\n"},
        {"proxy:kick #-2147483649", "Illegal observer number\n"},
        {"proxy:connect 127.0.0.3:0", "Illegal port number 0\n"},
        {"proxy:connect 127.0.0.3:65536", "Illegal port number 65536\n"},
        {"proxy:connect 127.0.0.3 26x", "Illegal port number 26x\n"},
        {"proxy:connect 127.0.0.3 -5", "Illegal port number -5\n"}};
    uint32_t sequence = 1;
    for (const auto& e : exchanges) EXPECT_EQ(say(sequence++, e.first), e.second) << e.first;
    EXPECT_EQ(slotTable.observerCount, 1);
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
}

TEST_F(Core, ANewRateStartsItsWindowAfresh) {
    start();
    admitAll(0);
    connectServer();
    say(1, "proxy:s2cbps 1");
    fromServer(wire::unreliable(1, {1}));
    fromServer(wire::unreliable(2, {1}));
    EXPECT_EQ(to(sent(), host).size(), 1u);  // the second is held for minutes
    say(2, "proxy:s2cbps 20000");
    fromServer(wire::unreliable(3, {1}));
    EXPECT_EQ(to(sent(), host).size(), 1u);
}

// The host's reliable numbering reaches each server from 0; the server's reaches the host from
// the number it waits for.
TEST_F(Core, NumberingStaysUnbrokenAcrossPendingConnectsAndServerChanges) {
    start();
    admitAll(0);
    EXPECT_EQ(say(4, "proxy:connect 127.0.0.3:26500"), "trying...\n");
    fromHost(wire::reliable(5, wire::stringCommand("say hello")));  // while pending: taken by the proxy
    EXPECT_EQ(to(sent(), host).at(0).bytes, wire::ack(5));
    fakeplatform::inject(proxyServerSide(), server, wire::accept(26501));
    step();
    serverData = NetAddress{server.ip, 26501};
    fromHost(wire::reliable(6, wire::stringCommand("prespawn")));
    EXPECT_EQ(wire::sequence(to(sent(), serverData).at(0)), 0u);
    fromServer(wire::reliable(0, {1}));
    fromHost(wire::ack(0));
    fromServer(wire::reliable(1, {1}));  // its ack never comes
    sent();
    say(7, "proxy:connect 127.0.0.3:26600");
    fakeplatform::inject(proxyServerSide(), loopback(26600, 3), wire::accept(26601));
    step();
    serverData = NetAddress{server.ip, 26601};
    fromServer(wire::reliable(0, {1}));
    EXPECT_EQ(wire::sequence(to(sent(), host).back()), 1u);  // the host still waits for 1
    fromHost(wire::ack(1));
    EXPECT_EQ(to(sent(), serverData).back().bytes, wire::ack(0));
}

TEST_F(Core, ForgedAndShortDatagramsAreDropped) {
    start({"-o", "1"});
    admitHost();
    NetAddress watcherSocket = loopback(connectClient(loopback(5001, 4)));
    connectServer(26001);
    sent();
    // Server data from the connect port, not the accepted one, or from a stranger: dropped.
    fakeplatform::inject(proxyServerSide(), server, wire::unreliable(1, {1}));
    fakeplatform::inject(proxyServerSide(), loopback(26001, 66), wire::unreliable(1, {1}));
    step(2);
    EXPECT_TRUE(sent().empty());
    fromServer(wire::unreliable(1, {1}));
    EXPECT_EQ(to(sent(), host).size(), 1u);
    // A stranger on the host's and the observer's sockets, and a host datagram too short, are ignored.
    uint32_t heard = hostSlot().lastHeardTime;
    fakeplatform::setSeconds(1050);
    fakeplatform::inject(hostSocket, loopback(27001, 66), wire::reliable(0, wire::stringCommand("say hi")));
    fakeplatform::inject(watcherSocket, loopback(5001, 66), wire::unreliable(0, {2}));
    step();  // both in one pass
    fromHost({0, 0x10, 0, 5, 0});
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(hostSlot().lastHeardTime, heard);
    EXPECT_EQ(slotTable.slot[2].state, 1);
}

}  // namespace
