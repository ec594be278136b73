// Both relays through the whole proxy: renumbering each way across a change of server, acks, the
// texts carried on server datagrams, the server's disconnect, view offsets and observing mode.
#include "net/relay.h"
#include "net/senders.h"
#include "observers/prints.h"
#include "observers/scanner.h"
#include "scenario/harness.h"

namespace {

using fakeplatform::loopback;
using wire::sequence;

using Sent = std::vector<Bytes>;

struct Relay : ProxyScenario {
    std::vector<Datagram> toHost() { return to(sent(), host); }
    std::vector<Datagram> toServer() { return to(sent(), serverData); }
    static Sent bytesOf(const std::vector<Datagram>& datagrams) {
        Sent all;
        for (const Datagram& d : datagrams) all.push_back(d.bytes);
        return all;
    }
    // The host's connect command, answered by `to` accepting on `dataPort`; what the command sent.
    std::vector<Datagram> connectByCommand(uint32_t seq, const NetAddress& to, uint16_t dataPort) {
        fromHost(wire::reliable(seq, wire::stringCommand("say proxy:connect 127.0.0.3:" + std::to_string(to.port))));
        auto out = sent();
        EXPECT_EQ(Relay::to(out, to).at(0).bytes, wire::connectRequest());
        fakeplatform::inject(proxyServerSide(), to, wire::accept(dataPort));
        step();
        serverData = NetAddress{to.ip, dataPort};
        return out;
    }
};

TEST_F(Relay, ReliableNumbersAreRebasedBothWaysAcrossServers) {
    start();
    admitHost();
    sent();
    // Without a server the proxy acknowledges the command itself, with the host's own number.
    auto out = to(connectByCommand(4, server, 0x6595), host);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(wire::allPrints(out), "trying...\n");
    EXPECT_EQ(out[1].bytes, wire::ack(4));
    sent();
    // The host's next reliable datagram is the server's first; the server's first continues the host's.
    fromHost(wire::reliable(5, wire::stringCommand("prespawn")));
    EXPECT_EQ(sequence(toServer().at(0)), 0u);
    for (uint32_t n = 0; n < 42; ++n) fromServer(wire::reliable(n, {1}));
    EXPECT_EQ(sequence(toHost().back()), 41u);
    fromHost(wire::ack(41));
    EXPECT_EQ(toServer().at(0).bytes, wire::ack(41));
    // A second server: the first hears the leave datagram, the numbering carries on unbroken.
    NetAddress first = serverData;
    observing.observingMode = true;
    out = connectByCommand(6, loopback(26600, 3), 26601);
    EXPECT_FALSE(observing.observingMode);
    EXPECT_EQ(to(out, first).at(0).bytes, (Bytes{0x00, 0x10, 0x00, 0x09, 0x7F, 0xFF, 0xFF, 0xFF, 0x02}));
    sent();
    fromServer(wire::reliable(0, {1}));
    EXPECT_EQ(toHost().at(0).bytes, wire::reliable(42, {1}));
    fromHost(wire::ack(42));
    fromHost(wire::reliable(7, wire::stringCommand("spawn")));
    EXPECT_EQ(bytesOf(toServer()), (Sent{wire::ack(0), wire::reliable(0, wire::stringCommand("spawn"))}));
    fromServer(wire::ack(0));
    EXPECT_EQ(toHost().at(0).bytes, wire::ack(7));
    fromHost(wire::reliable(8, wire::stringCommand("say proxy:disconnect")));
    EXPECT_EQ(wire::allPrints(toHost()).find("Disconnected.\n"), 0u);  // then the banner again
    EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
}

TEST_F(Relay, AcksAndUnreliablesTakeEachSidesNumbersAndCarryTheTexts) {
    playWithServer({"-o", "1"});
    numbering.c2sSeqOffset = 9;
    hostSlot().seqOffset = 3;
    fromServer(wire::ack(3));
    fromServer(wire::header(0x04, 77, {}));
    fromServer(wire::unreliable(1000, {1}));
    printToHost("x\n", 3);
    fromServer(wire::unreliable(1001, {1}));
    auto out = toHost();
    uint32_t n = sequence(out.at(2));
    EXPECT_EQ(bytesOf(out), (Sent{wire::ack(12), wire::header(0x04, 77, {}), wire::unreliable(n, {1}),
                                  wire::unreliable(n + 1, {8, 2, 'x', '\n', 0}), wire::unreliable(n + 2, {1})}));
    fromHost(wire::ack(20));
    fromHost(wire::reliable(12, {1}));
    fromHost(wire::header(0x04, 55, {}));
    fromHost(wire::reliable(14, wire::stringCommand("say proxy:help")));
    // The command alone goes on as an empty reliable datagram.
    EXPECT_EQ(bytesOf(toServer()),
              (Sent{wire::ack(17), wire::reliable(3, {1}), wire::header(0x04, 55, {}), wire::reliable(5, {})}));
    // Forged: the host's or the server's address with another port.
    fromClient(NetAddress{host.ip, 27999}, hostSocket, wire::reliable(15, wire::stringCommand("say proxy:help")));
    fromClient(NetAddress{server.ip, 26999}, proxyServerSide(), wire::unreliable(5, {1}));
    EXPECT_TRUE(sent().empty());
    // Texts for observers ride on the next server datagram, or go first when it would grow too long.
    appendObserverPrint("a\n");
    fromServer(wire::unreliable(7, Bytes(92, 1)));
    out = toHost();  // the length field grows with them
    EXPECT_EQ(out.at(0).bytes, wire::unreliable(sequence(out[0]), wire::concat(Bytes(92, 1), {8, 2, 'a', '\n', 0})));
    appendObserverPrint("%s", std::string(100, 't').c_str());
    fromServer(wire::unreliable(1, Bytes(2000, 1)));
    out = toHost();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, wire::unreliable(sequence(out[0]), wire::stringMessage(8, "\x02" + std::string(100, 't'))));
    EXPECT_EQ(out[1].bytes, wire::unreliable(sequence(out[0]) + 1, Bytes(2000, 1)));
}

TEST_F(Relay, ADisconnectEndsTheServerConnectionWithoutReachingTheHost) {
    Bytes kick = wire::concat(wire::stringMessage(8, "Kicked by Console\n"), {2});
    for (const Bytes& last : {wire::reliable(0, {2}), wire::reliable(0, kick), wire::unreliable(0, {2})}) {
        playWithServer();
        fromServer(last);
        EXPECT_FALSE(slotTable.serverConnected);
        EXPECT_EQ(slotTable.serverSocket, platform::NoSocket);
        auto out = toHost();
        ASSERT_EQ(out.size(), 2u);  // the reconnect order and the fixed text; not the datagram
        EXPECT_EQ(wire::payload(out[0])[0], 9);
        EXPECT_NE(wire::prints(out[1]).at(0).find("say proxy: help for list of commands\n"), std::string::npos);
        resetProxyState();
        fakeplatform::reset();
    }
    playWithServer();  // the host's own disconnect is passed on before the connection closes
    fromHost(wire::unreliable(3, {2}));
    EXPECT_EQ(toServer().at(0).bytes, wire::unreliable(3, {2}));
    EXPECT_FALSE(slotTable.hostConnected);
}

TEST_F(Relay, TheHostsViewOffsetTurnsTheSetangleAndObservingModeThinsItsMoves) {
    playWithServer();
    hostSlot().viewOffset[0] = 3;
    hostSlot().viewOffset[1] = int8_t(250);
    fromServer(wire::unreliable(1, {10, 10, 20, 30}));
    EXPECT_EQ(wire::payload(toHost().at(0)), (Bytes{10, 13, 14, 30}));
    gameState.protocolKnown = false;  // a layout it cannot read is left alone
    fromServer(wire::unreliable(2, {10, 10, 20, 30}));
    EXPECT_EQ(wire::payload(toHost().at(0)), (Bytes{10, 10, 20, 30}));
    gameState.protocolKnown = true;
    observing.observingMode = true;
    gameState.protocol = ProtocolRMQ;  // short angles: turned by their high byte, never smoothed
    gameState.protocolFlags = 0x82;
    fromServer(wire::unreliable(2, {10, 0xFF, 10, 0x80, 20, 0, 30}));
    EXPECT_EQ(wire::payload(toHost().at(0)), (Bytes{10, 0xFF, 13, 0x80, 14, 0, 30}));
    gameState.protocol = 15;
    fakeplatform::setSeconds(1000);
    fromServer(wire::unreliable(2, {10, 0, 64, 0}));
    EXPECT_TRUE(toHost().empty());
    // The first move goes up (5 s since the last, never), without its impulse; the host sees the replayed view.
    fromHost(wire::unreliable(1, wire::move(0, 0, 0, 0, 6)));
    auto out = sent();
    EXPECT_EQ(wire::payload(to(out, host).at(0))[0], 10);
    EXPECT_EQ(to(out, serverData).at(0).bytes, wire::unreliable(1, wire::move(0, 0, 0, 0, 0)));
    fromHost(wire::unreliable(2, wire::move(0, 0, 0, 1, 0)));  // fire, jump unchanged, within 5 s: nothing
    EXPECT_TRUE(sent().empty());
    fromHost(wire::unreliable(3, wire::move(0, 0, 0, 3, 0)));  // jump pressed: goes up without fire
    EXPECT_EQ(toServer().at(0).bytes, wire::unreliable(3, wire::move(0, 0, 0, 2, 0)));
    fakeplatform::setSeconds(1005);  // jump held: again only after more than 5 s
    fromHost(wire::unreliable(4, wire::move(0, 0, 0, 2, 0)));
    EXPECT_TRUE(toServer().empty());
    fakeplatform::setSeconds(1006);
    fromHost(wire::unreliable(5, wire::move(0, 0, 0, 2, 0)));
    EXPECT_EQ(toServer().size(), 1u);
}

}  // namespace
