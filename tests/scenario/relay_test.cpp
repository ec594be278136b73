// Both relays through the whole proxy: the connect command, renumbering each way across a change
// of server, the texts carried on server datagrams, the server's disconnect, and observing mode.
#include "observers/prints.h"
#include "scenario/harness.h"

#include "net/relay.h"
#include "net/senders.h"

namespace {

using fakeplatform::loopback;

struct Relay : ProxyScenario {
    // The host says a proxy command in its reliable datagram numbered `sequence`.
    std::vector<Datagram> say(uint32_t sequence, const std::string& text) {
        fromHost(wire::reliable(sequence, wire::stringCommand("say " + text)));
        return sent();
    }
    // Connects through the host's own command, then lets the server accept on `dataPort`;
    // what the command sent.
    std::vector<Datagram> connectByCommand(uint32_t sequence, const NetAddress& to, uint16_t dataPort) {
        auto out = say(sequence, "proxy:connect 127.0.0.3:" + std::to_string(to.port));
        std::string replies = wire::allPrints(Relay::to(out, host));
        EXPECT_EQ(replies.substr(replies.size() - std::min<size_t>(replies.size(), 10)), "trying...\n");
        EXPECT_EQ(Relay::to(out, to).at(0).bytes, wire::connectRequest());
        fakeplatform::inject(proxyServerSide(), to, wire::accept(dataPort));
        step();
        serverData = NetAddress{to.ip, dataPort};
        EXPECT_TRUE(slotTable.serverConnected);
        return out;
    }
};

TEST_F(Relay, ConnectRebasesBothReliableStreamsAcrossServers) {
    start();
    admitHost();
    sent();
    // Without a server the proxy acknowledges the command itself, with the host's own number.
    auto toHost = to(connectByCommand(4, server, 0x6595), host);
    ASSERT_EQ(toHost.size(), 2u);
    EXPECT_EQ(toHost[1].bytes, wire::ack(4));
    sent();

    // The host's next reliable datagram is the server's first; the server's first continues the host's.
    fromHost(wire::reliable(5, wire::stringCommand("prespawn")));
    auto out = to(sent(), serverData);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(wire::sequence(out[0]), 0u);
    for (uint32_t n = 0; n < 42; ++n) fromServer(wire::reliable(n, {1}));
    EXPECT_EQ(wire::sequence(to(sent(), host).back()), 41u);
    fromHost(wire::ack(41));
    EXPECT_EQ(wire::sequence(to(sent(), serverData).at(0)), 41u);

    // A second server: the first hears the 9-byte leave datagram, the numbering carries on unbroken.
    NetAddress first = serverData;
    out = connectByCommand(6, loopback(26600, 3), 26601);
    EXPECT_EQ(to(out, first).at(0).bytes, (Bytes{0x00, 0x10, 0x00, 0x09, 0x7F, 0xFF, 0xFF, 0xFF, 0x02}));
    sent();
    fromServer(wire::reliable(0, {1}));
    auto hostSide = to(sent(), host);
    ASSERT_EQ(hostSide.size(), 1u);
    EXPECT_EQ(wire::sequence(hostSide[0]), 42u);
    fromHost(wire::ack(42));
    fromHost(wire::reliable(7, wire::stringCommand("spawn")));
    out = to(sent(), serverData);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(wire::flags(out[0]), 0x02);
    EXPECT_EQ(wire::sequence(out[0]), 0u);
    EXPECT_EQ(wire::sequence(out[1]), 0u);
    fromServer(wire::ack(0));
    EXPECT_EQ(wire::sequence(to(sent(), host).at(0)), 7u);
}

TEST_F(Relay, UnreliableDatagramsTakeTheHostsOwnNumbersAndCarryTheTexts) {
    playWithServer({"-o", "1"});
    fromServer(wire::unreliable(1000, {1}));
    printToHost("x\n", 3);
    fromServer(wire::unreliable(1001, {1}));
    auto out = to(sent(), host);
    ASSERT_EQ(out.size(), 3u);
    uint32_t first = wire::sequence(out[0]);
    EXPECT_EQ(wire::sequence(out[1]), first + 1);
    EXPECT_EQ(wire::sequence(out[2]), first + 2);

    appendObserverPrint("a\n");
    fromServer(wire::unreliable(7, Bytes(92, 1)));
    out = to(sent(), host);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].bytes.size(), 105u);
    EXPECT_EQ(lengthField(out[0].bytes.data()), 105);
    EXPECT_EQ(Bytes(out[0].bytes.end() - 5, out[0].bytes.end()), (Bytes{8, 2, 'a', '\n', 0}));
    EXPECT_TRUE(observerPrintsEmpty());
}

TEST_F(Relay, TextsThatWouldPassTheGrownSizeGoOnTheirOwn) {
    playWithServer();
    appendObserverPrint("%s", std::string(100, 't').c_str());
    fromServer(wire::unreliable(1, Bytes(2000, 1)));
    auto out = to(sent(), host);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes.size(), 8u + 103u);  // the texts, flushed first
    EXPECT_EQ(out[1].bytes.size(), 2008u);       // the server's datagram, unchanged
}

TEST_F(Relay, AcksAreTranslatedOtherFlagsLeftAloneAndACommandAloneGoesOnEmpty) {
    playWithServer();
    numbering.c2sSeqOffset = 9;
    hostSlot().seqOffset = 3;
    fromServer(wire::ack(3));
    fromServer(wire::header(0x04, 77, {}));
    auto out = to(sent(), host);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(wire::sequence(out[0]), 12u);
    EXPECT_EQ(wire::sequence(out[1]), 77u);
    fromHost(wire::ack(20));
    fromHost(wire::reliable(12, {1}));
    fromHost(wire::header(0x04, 55, {}));
    out = to(sent(), serverData);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(wire::sequence(out[0]), 17u);
    EXPECT_EQ(wire::sequence(out[1]), 3u);
    EXPECT_EQ(wire::sequence(out[2]), 55u);
    // A datagram holding only a proxy command reaches the server as an empty reliable one.
    out = say(14, "proxy:help");
    EXPECT_EQ(to(out, serverData).at(0).bytes, wire::reliable(5, {}));
    EXPECT_NE(wire::allPrints(to(out, host)).find("Recognized commands:"), std::string::npos);
}

TEST_F(Relay, TheServersDisconnectEndsTheConnectionWithoutReachingAnyone) {
    playWithServer({"-o", "1"});
    fromServer(wire::reliable(0, {2}));
    EXPECT_FALSE(slotTable.serverConnected);
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
    auto out = to(sent(), host);
    ASSERT_EQ(out.size(), 2u);  // the reconnect order and the fixed text; not the datagram
    EXPECT_EQ(wire::payload(out[0])[0], 9);
    EXPECT_NE(wire::prints(out[1]).at(0).find("say proxy: help for list of commands\n"), std::string::npos);
}

TEST_F(Relay, ADisconnectBehindAPrintOrUnreliableEndsTheConnectionAndTheHostsIsPassedOn) {
    for (bool reliable : {true, false}) {
        playWithServer();
        Bytes kick = wire::concat(wire::stringMessage(8, "Kicked by Console\n"), {2});
        fromServer(reliable ? wire::reliable(0, kick) : wire::unreliable(0, {2}));
        EXPECT_FALSE(slotTable.serverConnected) << reliable;
        for (const Datagram& d : to(sent(), host)) EXPECT_NE(wire::payload(d), kick);
        resetProxyState();
        fakeplatform::reset();
    }
    // The host's own disconnect is passed on before the connection closes.
    playWithServer();
    fromHost(wire::unreliable(3, {2}));
    EXPECT_EQ(to(sent(), serverData).at(0).bytes, wire::unreliable(3, {2}));
    EXPECT_FALSE(slotTable.hostConnected);
}

TEST_F(Relay, TheHostsViewOffsetTurnsTheServersSetangle) {
    playWithServer();
    hostSlot().viewOffset[0] = 3;
    hostSlot().viewOffset[1] = int8_t(250);
    fromServer(wire::unreliable(1, {10, 10, 20, 30}));
    EXPECT_EQ(wire::payload(to(sent(), host).at(0)), (Bytes{10, 13, 14, 30}));
}

TEST_F(Relay, ObservingModeKeepsTheServersViewAndThinsTheHostsMoves) {
    playWithServer();
    observing.observingMode = true;
    fakeplatform::setSeconds(1000);
    fromServer(wire::unreliable(1, {10, 0, 64, 0}));
    EXPECT_TRUE(to(sent(), host).empty());
    // The first move is forwarded: more than 5 s have passed since the last (never).
    fromHost(wire::unreliable(1, wire::move(0, 0, 0, 0, 6)));
    auto out = sent();
    EXPECT_EQ(wire::payload(to(out, host).at(0))[0], 10);  // the replayed view
    auto up = to(out, serverData);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(wire::payload(up[0])[15], 0);  // impulse never goes upstream
    // Fire held, jump unchanged, within 5 s: nothing at all.
    fromHost(wire::unreliable(2, wire::move(0, 0, 0, 1, 0)));
    EXPECT_TRUE(sent().empty());
    // Jump pressed: forwarded with fire cleared.
    fromHost(wire::unreliable(3, wire::move(0, 0, 0, 3, 0)));
    up = to(sent(), serverData);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(wire::payload(up[0])[14], 2);
}

}  // namespace
