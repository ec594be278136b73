// The proxy core as clients and servers see it: start-up, server information, admission,
// keep-alives and silence, teardown, the server's accept and reject, forged datagrams.
#include "scenario/harness.h"

#include "core/print.h"
#include "net/framing.h"
#include "observers/capture.h"
#include "observers/teardown.h"

namespace {

using fakeplatform::loopback;

struct Core : ProxyScenario {
    // Asks the proxy for server information from 127.0.0.9:5000; its one reply, split into
    // its strings and the three bytes behind them (players, maximum, version).
    std::vector<std::string> serverInfo() {
        NetAddress asker = loopback(5000, 9);
        fakeplatform::inject(listenAddress(), asker, {0x80, 0x00, 0x00, 0x0C, 0x02, 'Q', 'U', 'A', 'K', 'E', 0, 3});
        step();
        auto replies = to(sent(), asker);
        EXPECT_EQ(replies.size(), 1u);
        if (replies.empty()) return {};
        const Bytes& d = replies[0].bytes;
        EXPECT_EQ(d[4], 0x83);
        EXPECT_EQ(lengthField(d.data()), d.size());
        std::vector<std::string> fields;
        size_t p = 5;
        for (int i = 0; i < 3; i++, p++)
            for (fields.emplace_back(); p < d.size() && d[p]; p++) fields.back() += char(d[p]);
        for (; p < d.size(); p++) fields.push_back(std::to_string(d[p]));
        return fields;
    }
    // Admits the host and, from 127.0.0.4:5001 on, `count` observers; nothing sent or printed yet.
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
};

TEST_F(Core, StartUpBindsTheListeningPortAndWaitsOrEndsWithTheAddress) {
    start({"-p", "27000"});
    EXPECT_NE(console().find("Waiting for client...\n"), std::string::npos);
    EXPECT_TRUE(fakeplatform::portOpen(27000));
    step();
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 10000);
    EXPECT_TRUE(sent().empty());  // idle with no host: nothing is sent
    const std::pair<std::vector<std::string>, const char*> failures[] = {
        {{}, "ERROR: Unable to bind to 0.0.0.0:26000\n"},
        {{"-l", "10.9.9.9", "-p", "27010"}, "ERROR: Unable to bind to 10.9.9.9:27010\n"},
        {{"-l", "nonsense"}, "ERROR: Unable to bind to 255.255.255.255:26000\n"}};
    for (const auto& f : failures) {
        fakeplatform::reset();
        fakeplatform::failBindOnPort(26000);
        EXPECT_EQ(startExitCode(f.first), 1);
        EXPECT_NE(console().find(f.second), std::string::npos) << f.second;
    }
}

TEST_F(Core, ServerInformationTellsAddressNamePlayersAndMaximumAndNothingElseIsAnswered) {
    start({"-o", "4"});
    EXPECT_EQ(serverInfo(), (std::vector<std::string>{"127.0.0.1:26000", "Skopos-Proxy v1.04", "not connected",
                                                       "0", "5", "3"}));
    admitAll(2);
    EXPECT_EQ(serverInfo().at(3), "3");
    for (const Bytes& other : {Bytes{0x80, 0x00, 0x00, 0x05, 0x03}, Bytes{0x00, 0x10, 0x00, 0x08, 0, 0, 0, 0}, Bytes{0x80}})
        fakeplatform::inject(listenAddress(), loopback(5000, 9), other);
    step(3);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Core, AGivenInterfaceIsShownAndKeepsItsListeningSocket) {
    start({"-l", "127.0.0.1", "-p", "27001"});
    EXPECT_EQ(serverInfo().at(0), "127.0.0.1:27001");
    platform::Socket listener = slotTable.slot[0].socket;
    admitHost();
    EXPECT_EQ(slotTable.slot[0].socket, listener);
    EXPECT_NE(console().find("<->127.0.0.1:50000"), std::string::npos);
}

TEST_F(Core, HostAdmissionAcceptsAndGreets) {
    start();
    console();
    fakeplatform::inject(listenAddress(), host, wire::connectRequest());
    step();
    auto out = sent();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, wire::accept(50000));  // the host's own socket
    EXPECT_EQ(out[0].from.port, 26000);            // sent from the listening socket
    EXPECT_EQ(out[1].to, host);
    EXPECT_EQ(out[1].from.port, 50000);
    std::string bar = "\x9d" + std::string(35, '\x9e') + "\x9f";
    std::string greeting = bar + "\nSkopos-Proxy v1.04 \x85 Visit Skopos homepage\n" SKOPOS_HOMEPAGE
                                 "\nsay proxy: help for list of commands\n" + bar + "\n";
    EXPECT_EQ(wire::prints(out[1]), std::vector<std::string>{greeting});
    EXPECT_EQ(wire::sequence(out[1]), 0u);
    EXPECT_EQ(console(), "Client connected.\n127.0.0.2:27001<->0.0.0.0:50000\n");
    EXPECT_TRUE(slotTable.hostConnected);
    EXPECT_EQ(hostSlot().recvSeq, 0xFFFFFFFFu);
    EXPECT_STREQ(hostSlot().playerName, "unnamed");
    EXPECT_TRUE(fakeplatform::portOpen(26000));  // the listening socket was made anew on the same port
}

TEST_F(Core, ObserversAreAdmittedUpToTheLimitThenRefusedEvenFromTheHostsAddress) {
    start({"-o", "1"});
    admitAll(0);
    EXPECT_NE(connectClient(loopback(5001, 4)), 0);
    EXPECT_EQ(slotTable.observerCount, 1);
    EXPECT_EQ(slotTable.slot[2].state, 1);
    EXPECT_EQ(console(), "Observer joined.\n");
    fakeplatform::inject(listenAddress(), host, wire::connectRequest());
    step();
    auto out = to(sent(), host);
    ASSERT_EQ(out.size(), 1u);
    std::string reject = "Skopos-Proxy:Max observers (1) reached.";
    EXPECT_EQ(out[0].bytes, wire::concat({0x80, 0x00, 0x00, uint8_t(7 + reject.size()), 0x82}, wire::stringMessage(2, reject)));
    EXPECT_EQ(slotTable.slot[1].peerAddress, host);  // the host keeps its slot
}

TEST_F(Core, ObserverOfAWaitingHostGetsTheBannerThenTheCollectedTexts) {
    start({"-o", "2"});
    NetAddress watcher = admitAll(1).at(0), second = loopback(5002, 5);
    fakeplatform::inject(listenAddress(), second, wire::connectRequest());
    step();
    auto out = sent();
    auto toSecond = to(out, second);
    ASSERT_EQ(toSecond.size(), 3u);  // accept, banner, collected texts
    EXPECT_NE(wire::prints(toSecond[1]).at(0).find("\nObserver mode. Waiting for your host,\nunnamed, to select a server.\n"),
              std::string::npos);
    EXPECT_EQ(wire::prints(toSecond[2]).at(0), "Observer unnamed joined\n");
    EXPECT_EQ(wire::prints(to(out, host).at(0)).at(0), "Observer unnamed joined\n");
    EXPECT_EQ(to(out, watcher).size(), 1u);  // the observer in state 1 (odd) reads it too
}

TEST_F(Core, IdlePassesSendKeepAlivesAndCloseAClientConnectionSilentFor121Seconds) {
    start({"-o", "1"});
    fakeplatform::setSeconds(1000);
    admitAll(1);
    fakeplatform::setSeconds(1120);
    step();  // idle: keep-alives, nobody silent for more than 120 s yet
    auto out = sent();
    ASSERT_EQ(out.size(), 2u);
    for (const Datagram& d : out) EXPECT_EQ(wire::payload(d), wire::stringMessage(9, "ping\n"));
    EXPECT_TRUE(slotTable.hostConnected);
    fakeplatform::setSeconds(1121);
    step();  // 121 s without a word and no server: the whole client connection closes
    EXPECT_FALSE(slotTable.hostConnected);
    EXPECT_EQ(slotTable.observerCount, 0);
    EXPECT_NE(console().find("Client connection closed.\nWaiting for client...\n"), std::string::npos);
}

TEST_F(Core, NoKeepAlivesWhileAConnectWaits) {
    start();
    admitHost();
    askServer();
    sent();
    step();
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), -1);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Core, HostSilentWhileConnectedIsRemovedAt120AndClosedAt500) {
    fakeplatform::setSeconds(1000);
    playWithServer();
    const std::pair<uint32_t, bool> checks[] = {{1121, true}, {1500, true}, {1501, false}};
    for (const auto& c : checks) {
        fakeplatform::setSeconds(c.first);
        step();
        EXPECT_EQ(hostSlot().state, 0) << c.first;
        EXPECT_EQ(slotTable.hostConnected, c.second) << c.first;  // the connection lives on until 500 s
    }
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
}

TEST_F(Core, SilentObserverIsDroppedOnABusyPass) {
    start({"-o", "2"});
    fakeplatform::setSeconds(1000);
    NetAddress watcher = admitAll(1).at(0);
    fakeplatform::setSeconds(1121);
    fromHost(wire::unreliable(0, {1}));  // a busy pass: the host speaks
    EXPECT_EQ(slotTable.slot[2].state, 0);
    EXPECT_EQ(slotTable.observerCount, 0);
    EXPECT_EQ(wire::payload(to(sent(), watcher).at(0)), wire::concat(wire::stringMessage(9, "toggleconsole\n"), {2, 0}));
    // Queued for the others: the host's next datagram delivers it.
    fromHost(wire::unreliable(1, {1}));
    EXPECT_EQ(wire::allPrints(to(sent(), host)), "Observer unnamed timed out.\n");
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
    EXPECT_EQ(hostSlot().unreliableSeq, 0u);
    EXPECT_EQ(numbering.lastHostReliableSeq, 0xFFFFFFFFu);
    EXPECT_EQ(capture.stored[0].streamNumber, 1u);
    EXPECT_NE(connectClient(loopback(6000, 6)), 0);  // the next request is a new host
    EXPECT_TRUE(slotTable.hostConnected);
}

TEST_F(Core, ServerAcceptNamesThePortForEverythingAfter) {
    start();
    admitAll(0);
    askServer();
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, server);
    EXPECT_EQ(out[0].bytes, wire::connectRequest());
    fakeplatform::inject(proxyServerSide(), server, wire::accept(26001));
    step();
    EXPECT_TRUE(slotTable.serverConnected);
    EXPECT_EQ(addresses.server.port, 26001);
    EXPECT_EQ(wire::allPrints(to(sent(), host)), "Connection accepted\n");
    std::string text = console();
    EXPECT_EQ(text.rfind("Server connection established.\n0.0.0.0:5000", 0), 0u) << text;
    EXPECT_NE(text.find("<->127.0.0.3:26001\n"), std::string::npos);
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), -1);
    step();
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 10000);
}

TEST_F(Core, ServerRejectIsPrintedToTheHostAndTheConnectWaitsOn) {
    start();
    admitAll(0);
    askServer();
    sent();
    Bytes reject = wire::concat({0x80, 0x00, 0x00, 0x00}, wire::stringMessage(0x82, "Server is full.\n"));
    setLengthField(reject.data(), int(reject.size()));
    fakeplatform::inject(proxyServerSide(), server, reject);
    step();
    auto out = to(sent(), host);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(wire::payload(out[0]), wire::stringMessage(8, "Server is full.\n"));
    EXPECT_EQ(console(), "");
    EXPECT_FALSE(slotTable.serverConnected);
    EXPECT_NE(slotTable.serverSocket, platform::NoSocket);
    step();
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), -1);
}

TEST_F(Core, ForgedAndShortDatagramsAreDropped) {
    start({"-o", "1"});
    admitHost();
    NetAddress watcherSocket = loopback(connectClient(loopback(5001, 4)));
    askServer();
    sent();
    // An accept from anywhere but the server asked is not taken.
    fakeplatform::inject(proxyServerSide(), loopback(26500, 66), wire::accept(26001));
    step();
    EXPECT_FALSE(slotTable.serverConnected);
    fakeplatform::inject(proxyServerSide(), server, wire::accept(26001));
    step();
    ASSERT_TRUE(slotTable.serverConnected);
    serverData = NetAddress{server.ip, 26001};
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

namespace {

TEST_F(Core, ABreakEndsTheLoopAndCompletesTheDemoFile) {
    start({"-d", "brk"});
    admitHost();
    connectServer();  // the accept opens brk01.dem
    ASSERT_TRUE(fakeplatform::fileOpen("brk01.dem"));
    console();
    fakeplatform::requestBreak();
    EXPECT_FALSE(runLoopPass());
    EXPECT_EQ(shutDown(), 0);
    EXPECT_EQ(console(), "\nReceived break - terminating...\nCompleted brk01.dem.\n");
    EXPECT_FALSE(fakeplatform::fileOpen("brk01.dem"));
    Bytes file = fakeplatform::fileContents("brk01.dem");
    ASSERT_GE(file.size(), 17u);
    EXPECT_EQ(Bytes(file.end() - 17, file.end() - 13), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(file.back(), 2);
}

}  // namespace
