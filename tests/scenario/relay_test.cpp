// Both relays through the whole proxy: acks and unreliables renumbered each way, the texts carried on
// server datagrams, forged ports, observing mode. Changes of server and disconnects are end to end.
#include "net/relay.h"
#include "net/senders.h"
#include "scenario/harness.h"

namespace {

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
};

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
