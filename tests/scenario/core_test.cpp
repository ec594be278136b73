// The proxy core as clients and servers see it: start-up, server information, admission,
// keep-alives and silence, teardown, the server's accept and reject, forged datagrams.
#include "scenario/harness.h"

#include "core/print.h"
#include "net/framing.h"
#include "observers/capture.h"
#include "observers/teardown.h"

namespace {

using fakeplatform::loopback;

struct Core : ProxyScenario {};

Bytes serverInfoRequest() { return {0x80, 0x00, 0x00, 0x0C, 0x02, 'Q', 'U', 'A', 'K', 'E', 0, 3}; }

// Splits a server-info reply into its strings and the three bytes behind them.
struct ServerInfo {
    std::string address, name, map;
    int players = -1, maximum = -1, version = -1;
};

ServerInfo readServerInfo(const Datagram& d) {
    ServerInfo info;
    EXPECT_EQ(d.bytes[4], 0x83);
    EXPECT_EQ(lengthField(d.bytes.data()), d.bytes.size());
    size_t p = 5;
    auto next = [&] {
        std::string s;
        while (p < d.bytes.size() && d.bytes[p]) s += char(d.bytes[p++]);
        ++p;
        return s;
    };
    info.address = next();
    info.name = next();
    info.map = next();
    if (p + 3 == d.bytes.size()) {
        info.players = d.bytes[p];
        info.maximum = d.bytes[p + 1];
        info.version = d.bytes[p + 2];
    }
    return info;
}

TEST_F(Core, StartUpBindsTheListeningPortAndWaits) {
    start({"-p", "27000"});
    EXPECT_NE(console().find("Waiting for client...\n"), std::string::npos);
    EXPECT_TRUE(fakeplatform::portOpen(27000));
    step();
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 10000);
    EXPECT_TRUE(sent().empty());  // idle with no host: nothing is sent
}

TEST_F(Core, BindFailuresEndStartUpWithTheAddress) {
    fakeplatform::failBindOnPort(26000);
    EXPECT_EQ(startExitCode({}), 1);
    EXPECT_NE(console().find("ERROR: Unable to bind to 0.0.0.0:26000\n"), std::string::npos);
    fakeplatform::reset();
    EXPECT_EQ(startExitCode({"-l", "10.9.9.9", "-p", "27010"}), 1);
    EXPECT_NE(console().find("ERROR: Unable to bind to 10.9.9.9:27010\n"), std::string::npos);
    fakeplatform::reset();
    EXPECT_EQ(startExitCode({"-l", "nonsense"}), 1);
    EXPECT_NE(console().find("ERROR: Unable to bind to 255.255.255.255:26000\n"), std::string::npos);
}

TEST_F(Core, NoTimerSwitchesTheLimitsOff) {
    fakeplatform::setPerformanceFrequency(999);
    start({"-c", "2000", "-s", "3000"});
    EXPECT_NE(console().find("WARNING: Timer not available. Packet filtering disabled!!!\n"), std::string::npos);
    EXPECT_EQ(settings.c2sbps, 0);
    EXPECT_EQ(settings.s2cbps, 0);
}

TEST_F(Core, ServerInformationTellsAddressNamePlayersAndMaximum) {
    start({"-o", "4"});
    NetAddress asker = loopback(5000, 9);
    fakeplatform::inject(listenAddress(), asker, serverInfoRequest());
    step();
    auto replies = to(sent(), asker);
    ASSERT_EQ(replies.size(), 1u);
    ServerInfo info = readServerInfo(replies[0]);
    EXPECT_EQ(info.address, "127.0.0.1:26000");
    EXPECT_EQ(info.name, "Skopos-Proxy v1.04");
    EXPECT_EQ(info.map, "not connected");
    EXPECT_EQ(info.players, 0);
    EXPECT_EQ(info.maximum, 5);
    EXPECT_EQ(info.version, 3);

    admitHost();
    connectClient(loopback(5001, 4));
    connectClient(loopback(5002, 5));
    fakeplatform::inject(listenAddress(), asker, serverInfoRequest());
    step();
    EXPECT_EQ(readServerInfo(to(sent(), asker).at(0)).players, 3);
}

TEST_F(Core, ServerInformationWithAGivenInterfaceShowsItsText) {
    start({"-l", "127.0.0.1", "-p", "27001"});
    fakeplatform::inject(listenAddress(), loopback(5000, 9), serverInfoRequest());
    step();
    EXPECT_EQ(readServerInfo(sent().at(0)).address, "127.0.0.1:27001");
}

TEST_F(Core, OtherControlCodesAndDataGetNoAnswer) {
    start();
    fakeplatform::inject(listenAddress(), loopback(5000, 9), {0x80, 0x00, 0x00, 0x05, 0x03});
    fakeplatform::inject(listenAddress(), loopback(5000, 9), {0x00, 0x10, 0x00, 0x08, 0, 0, 0, 0});
    fakeplatform::inject(listenAddress(), loopback(5000, 9), {0x80});
    step(3);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Core, HostAdmissionAcceptsAndGreets) {
    start();
    console();
    fakeplatform::inject(listenAddress(), host, {0x80, 0x00, 0x00, 0x0C, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3});
    step();
    auto out = sent();
    ASSERT_EQ(out.size(), 2u);
    const Bytes& accept = out[0].bytes;
    ASSERT_EQ(accept.size(), 9u);
    EXPECT_EQ(accept[0], 0x80);
    EXPECT_EQ(accept[3], 9);
    EXPECT_EQ(accept[4], 0x81);
    EXPECT_EQ(accept[5] | accept[6] << 8, 50000);  // the host's own socket
    EXPECT_EQ(out[0].from.port, 26000);            // sent from the listening socket

    EXPECT_EQ(out[1].to, host);
    EXPECT_EQ(out[1].from.port, 50000);
    std::string bar = "\x9d" + std::string(35, '\x9e') + "\x9f";
    std::string greeting = bar + "\nSkopos-Proxy v1.04 \x85 Visit Skopos homepage\n" SKOPOS_HOMEPAGE
                                 "\nsay proxy: help for list of commands\n" + bar + "\n";
    ASSERT_EQ(wire::prints(out[1]).size(), 1u);
    EXPECT_EQ(wire::prints(out[1])[0], greeting);
    EXPECT_EQ(wire::sequence(out[1]), 0u);
    EXPECT_EQ(console(), "Client connected.\n127.0.0.2:27001<->0.0.0.0:50000\n");
    EXPECT_TRUE(slotTable.hostConnected);
    EXPECT_EQ(hostSlot().recvSeq, 0xFFFFFFFFu);
    EXPECT_STREQ(hostSlot().playerName, "unnamed");
    // The listening socket was made anew on the same port.
    EXPECT_TRUE(fakeplatform::portOpen(26000));
}

TEST_F(Core, GreetingNamesTheProxysPrefix) {
    start({"-n", "bob", "-l", "127.0.0.1"});
    platform::Socket listener = slotTable.slot[0].socket;
    admitHost();
    EXPECT_EQ(slotTable.slot[0].socket, listener);  // a given interface keeps its socket
    EXPECT_NE(console().find("<->127.0.0.1:50000"), std::string::npos);
    (void)sent();
}

TEST_F(Core, ObserversAreAdmittedUpToTheLimitThenRefused) {
    start({"-o", "1"});
    admitHost();
    sent();
    console();
    NetAddress first = loopback(5001, 4);
    EXPECT_NE(connectClient(first), 0);
    EXPECT_EQ(slotTable.observerCount, 1);
    EXPECT_EQ(slotTable.slot[2].state, 1);
    EXPECT_EQ(console(), "Observer joined.\n");

    // A second request, even from the host's own address, is an observer's: refused at the limit.
    fakeplatform::inject(listenAddress(), host, {0x80, 0x00, 0x00, 0x0C, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3});
    step();
    auto out = to(sent(), host);
    ASSERT_EQ(out.size(), 1u);
    std::string reject(out[0].bytes.begin() + 6, out[0].bytes.end() - 1);
    EXPECT_EQ(out[0].bytes[4], 0x82);
    EXPECT_EQ(out[0].bytes[5], 2);
    EXPECT_EQ(reject, "Skopos-Proxy:Max observers (1) reached.");
    EXPECT_EQ(out[0].bytes[3], out[0].bytes.size());
    EXPECT_EQ(slotTable.slot[1].peerAddress, host);  // the host keeps its slot
}

TEST_F(Core, ObserverOfAWaitingHostGetsTheBannerThenTheCollectedTexts) {
    start({"-o", "2"});
    admitHost();
    sent();
    NetAddress watcher = loopback(5001, 4);
    connectClient(watcher);
    // connectClient took the sent list; admit again to see the full story.
    NetAddress second = loopback(5002, 5);
    fakeplatform::inject(listenAddress(), second, {0x80, 0x00, 0x00, 0x0C, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3});
    step();
    auto out = sent();
    auto toSecond = to(out, second);
    ASSERT_EQ(toSecond.size(), 3u);  // accept, banner, collected texts
    std::string banner = wire::prints(toSecond[1]).at(0);
    EXPECT_NE(banner.find("\nObserver mode. Waiting for your host,\nunnamed, to select a server.\nCommands:\n"
                          "say    - send a message\nname   - change your name\nstatus - list all observers\n"),
              std::string::npos);
    EXPECT_EQ(wire::prints(toSecond[2]).at(0), "Observer unnamed joined\n");
    EXPECT_EQ(wire::prints(to(out, host).at(0)).at(0), "Observer unnamed joined\n");
    // The watching observer in state 1 (odd) reads it too.
    EXPECT_EQ(to(out, watcher).size(), 1u);
}

TEST_F(Core, IdlePassesSendKeepAlivesAndApplySilence) {
    start({"-o", "1"});
    fakeplatform::setSeconds(1000);
    admitHost();
    NetAddress watcher = loopback(5001, 4);
    connectClient(watcher);
    sent();
    console();
    fakeplatform::setSeconds(1120);
    step();  // idle: keep-alives, nobody silent for more than 120 s yet
    auto out = sent();
    ASSERT_EQ(out.size(), 2u);
    for (const Datagram& d : out) EXPECT_EQ(wire::payload(d), (Bytes{9, 'p', 'i', 'n', 'g', '\n', 0}));
    EXPECT_TRUE(slotTable.hostConnected);

    fakeplatform::setSeconds(1121);
    step();  // 121 s without a word and no server: the whole client connection closes
    EXPECT_FALSE(slotTable.hostConnected);
    EXPECT_EQ(slotTable.observerCount, 0);
    std::string text = console();
    EXPECT_NE(text.find("Client connection closed.\nWaiting for client...\n"), std::string::npos);
}

TEST_F(Core, NoKeepAlivesWhileAConnectWaits) {
    start();
    admitHost();
    settings.serverAddress = server.ip;
    settings.serverPort = server.port;
    startServerConnection();
    sent();
    step();
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), -1);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Core, HostSilentWhileConnectedIsRemovedAt120AndClosedAt500) {
    start();
    fakeplatform::setSeconds(1000);
    admitHost();
    connectServer();
    sent();
    fakeplatform::setSeconds(1121);
    step();
    EXPECT_EQ(hostSlot().state, 0);
    EXPECT_TRUE(slotTable.hostConnected);  // the connection lives on until 500 s
    fakeplatform::setSeconds(1500);
    step();
    EXPECT_TRUE(slotTable.hostConnected);
    fakeplatform::setSeconds(1501);
    step();
    EXPECT_FALSE(slotTable.hostConnected);
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
}

TEST_F(Core, SilentObserverIsDroppedOnABusyPass) {
    start({"-o", "2"});
    fakeplatform::setSeconds(1000);
    admitHost();
    NetAddress watcher = loopback(5001, 4);
    connectClient(watcher);
    sent();
    fakeplatform::setSeconds(1121);
    fromHost(wire::unreliable(0, {1}));  // a busy pass: the host speaks
    EXPECT_EQ(slotTable.slot[2].state, 0);
    EXPECT_EQ(slotTable.observerCount, 0);
    auto out = sent();
    EXPECT_EQ(wire::payload(to(out, watcher).at(0)),
              (Bytes{9, 't', 'o', 'g', 'g', 'l', 'e', 'c', 'o', 'n', 's', 'o', 'l', 'e', '\n', 0, 2, 0}));
    // Queued for the others: the host's next datagram delivers it.
    fromHost(wire::unreliable(1, {1}));
    EXPECT_EQ(wire::allPrints(to(sent(), host)), "Observer unnamed timed out.\n");
}

TEST_F(Core, ClosingTheClientConnectionTellsObserversFirstFromTheTop) {
    start({"-o", "2"});
    admitHost();
    NetAddress a = loopback(5001, 4), b = loopback(5002, 5);
    connectClient(a);
    connectClient(b);
    sent();
    console();
    closeClientConnection();
    auto out = sent();
    std::vector<std::pair<NetAddress, std::string>> story;
    for (const Datagram& d : out) {
        auto texts = wire::prints(d);
        story.push_back({d.to, texts.empty() ? std::string("<raw>") : texts[0]});
    }
    // Each gets the reconnect order first (disconnectServer), then the farewells from slot 3 down.
    std::vector<std::pair<NetAddress, std::string>> tail(story.end() - 8, story.end());
    std::vector<std::pair<NetAddress, std::string>> expected = {
        {b, "Your host disconnected.\n"}, {b, "Proxy connection closed.\n"}, {b, "<raw>"},
        {a, "Your host disconnected.\n"}, {a, "Proxy connection closed.\n"}, {a, "<raw>"},
        {host, "Proxy connection closed.\n"}, {host, "<raw>"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(tail[i].first, expected[i].first) << i;
        EXPECT_EQ(tail[i].second, expected[i].second) << i;
    }
    EXPECT_EQ(story.size(), 3u + 8u);  // the reconnect orders, then the farewells above
    EXPECT_EQ(console(), "Client connection closed.\nWaiting for client...\n");
    EXPECT_EQ(hostSlot().unreliableSeq, 0u);
    EXPECT_EQ(numbering.lastHostReliableSeq, 0xFFFFFFFFu);
    EXPECT_EQ(capture.stored[0].streamNumber, 1u);
    // The next request is a new host.
    EXPECT_NE(connectClient(loopback(6000, 6)), 0);
    EXPECT_TRUE(slotTable.hostConnected);
}

TEST_F(Core, ServerAcceptNamesThePortForEverythingAfter) {
    start();
    admitHost();
    sent();
    console();
    settings.serverAddress = server.ip;
    settings.serverPort = server.port;
    startServerConnection();
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, server);
    EXPECT_EQ(out[0].bytes, (Bytes{0x80, 0, 0, 0x0C, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3}));
    fakeplatform::inject(proxyServerSide(), server, {0x80, 0x00, 0x00, 0x09, 0x81, 0x91, 0x65, 0, 0});
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
    admitHost();
    settings.serverAddress = server.ip;
    settings.serverPort = server.port;
    startServerConnection();
    sent();
    console();
    Bytes reject = {0x80, 0x00, 0x00, 0x00, 0x82};
    std::string reason = "Server is full.\n";
    reject.insert(reject.end(), reason.begin(), reason.end());
    reject.push_back(0);
    setLengthField(reject.data(), int(reject.size()));
    fakeplatform::inject(proxyServerSide(), server, reject);
    step();
    auto out = to(sent(), host);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(wire::payload(out[0]), wire::stringMessage(8, reason));
    EXPECT_EQ(console(), "");
    EXPECT_FALSE(slotTable.serverConnected);
    EXPECT_NE(slotTable.serverSocket, platform::NoSocket);
    step();
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), -1);
}

TEST_F(Core, ForgedDatagramsAreDropped) {
    start({"-o", "1"});
    admitHost();
    NetAddress watcher = loopback(5001, 4);
    NetAddress watcherSocket = loopback(connectClient(watcher));
    settings.serverAddress = server.ip;
    settings.serverPort = server.port;
    startServerConnection();
    sent();
    // An accept from anywhere but the server asked is not taken.
    fakeplatform::inject(proxyServerSide(), loopback(26500, 66), {0x80, 0x00, 0x00, 0x09, 0x81, 0x91, 0x65, 0, 0});
    step();
    EXPECT_FALSE(slotTable.serverConnected);
    fakeplatform::inject(proxyServerSide(), server, {0x80, 0x00, 0x00, 0x09, 0x81, 0x91, 0x65, 0, 0});
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
    // A stranger on the host's and the observer's sockets is ignored.
    uint32_t heard = hostSlot().lastHeardTime;
    fakeplatform::setSeconds(1050);
    fakeplatform::inject(hostSocket, loopback(27001, 66), wire::reliable(0, wire::stringCommand("say hi")));
    fakeplatform::inject(watcherSocket, loopback(5001, 66), wire::unreliable(0, {2}));
    step();  // both in one pass
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(hostSlot().lastHeardTime, heard);
    EXPECT_EQ(slotTable.slot[2].state, 1);
}

TEST_F(Core, ShortClientDatagramsAreDropped) {
    start();
    admitHost();
    sent();
    fakeplatform::setSeconds(3000);
    fromHost({0, 0x10, 0, 5, 0});
    EXPECT_TRUE(sent().empty());
    EXPECT_NE(hostSlot().lastHeardTime, 3000u);
}

}  // namespace
