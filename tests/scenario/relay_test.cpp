// Both relays through the whole proxy: renumbering each way across a change of server, acks, the
// texts carried on server datagrams, the server's disconnect and observing mode.
#include "net/relay.h"
#include "net/senders.h"
#include "observers/prints.h"
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

// Observing mode sends a move up only when jump is pressed or after 5 s, never with fire or an impulse.
TEST_F(Relay, ObservingModeThinsTheHostsMoves) {
    playWithServer();
    observing.observingMode = true;
    fakeplatform::setSeconds(1000);
    fromHost(wire::unreliable(1, wire::move(0, 0, 0, 0, 6)));
    EXPECT_EQ(toServer().at(0).bytes, wire::unreliable(1, wire::move(0, 0, 0, 0, 0)));
    fromHost(wire::unreliable(2, wire::move(0, 0, 0, 1, 0)));
    EXPECT_TRUE(sent().empty());
    fromHost(wire::unreliable(3, wire::move(0, 0, 0, 3, 0)));
    EXPECT_EQ(toServer().at(0).bytes, wire::unreliable(3, wire::move(0, 0, 0, 2, 0)));
    fakeplatform::setSeconds(1006);
    fromHost(wire::unreliable(4, wire::move(0, 0, 0, 2, 0)));
    EXPECT_EQ(toServer().size(), 1u);
}

}  // namespace
