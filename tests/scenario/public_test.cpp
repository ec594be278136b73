// A proxy on a public address: phantoms, who may host, the password, request floods, the observers of
// one address, kicks, chat floods, and the keep-alives each client gets on its own silence.
#include "scenario/harness.h"

#include "relay/relay.h"

namespace {

using fakeplatform::loopback;

const Bytes InfoRequest = {0x80, 0x00, 0x00, 0x0C, 0x02, 'Q', 'U', 'A', 'K', 'E', 0, 3};
const Bytes Nop = wire::unreliable(0, {1});
const Bytes Ping = wire::stringMessage(9, "ping\n");

struct Public : ProxyScenario {
    void later(uint64_t ms) {
        fakeplatform::advanceClocks(ms);
        step();
    }
    // A client asks to connect; its answer: "accept" with its proxy socket, or the reject's reason.
    std::string join(const NetAddress& who, NetAddress* socket = nullptr) {
        Bytes answer = request(who);
        if (answer.size() == 9 && answer[4] == 0x81) {
            if (socket != nullptr) *socket = loopback(uint16_t(answer[5] | answer[6] << 8));
            return "accept";
        }
        return answer.size() > 6 && answer[4] == 0x82 ? std::string(answer.begin() + 6, answer.end() - 1) : "none";
    }
    std::string says(const NetAddress& who, const NetAddress& socket, uint32_t sequence, const std::string& text) {
        fromClient(who, socket, wire::reliable(sequence, wire::stringCommand("say " + text)));
        return wire::allPrints(to(sent(), who));
    }
    size_t answersTo(const NetAddress& who, int requests) {
        for (int i = 0; i < requests; i++) fakeplatform::inject(listenAddress(), who, InfoRequest);
        for (int i = 0; i < requests; i++) step();
        return to(sent(), who).size();
    }
};

// A request whose sender never speaks again holds its slot 10 s; a real host that came a second
// later and answers is then the host where it stands, before earlier observers that never spoke
// or may not host.
TEST_F(Public, PhantomsAreReleasedAndTheFirstRealObserverTakesTheHostsPlace) {
    start({"-o", "3", "-H", "127.0.0.2,127.0.0.9"});
    NetAddress phantom = loopback(27009, 9), player = loopback(27001, 2), playerSocket, ghost = loopback(27011, 2),
               stranger = loopback(27012, 12), strangerSocket;
    EXPECT_EQ(join(phantom), "accept");
    later(1000);
    // Before the player: a stranger who speaks but may not host, and a ghost who may but never speaks.
    EXPECT_EQ(join(stranger, &strangerSocket), "accept");
    fromClient(stranger, strangerSocket, Nop);
    EXPECT_EQ(join(ghost), "accept");
    EXPECT_EQ(join(player, &playerSocket), "accept");
    fromClient(player, playerSocket, Nop);
    auto pings = [&](const NetAddress& who) {
        int n = 0;
        for (const Datagram& d : to(sent(), who)) n += wire::payload(d) == Ping;
        return n;
    };
    for (int i = 0; i < 9; i++) later(1000);
    EXPECT_EQ(pings(phantom), 3);  // every 3 s after the one with its accept
    EXPECT_EQ(int(slotTable.slot[1].state), 1);
    later(1000);  // 11 s: the phantom gives way to the player; a second later the silent observer goes
    EXPECT_EQ(hostSlot().peerAddress, player);
    EXPECT_EQ(wire::allPrints(to(sent(), player)), "You are the host now.\n");
    later(1000);
    EXPECT_EQ(slotTable.observerCount, 1);
    EXPECT_NE(console().find("127.0.0.2:27001 is the host now.\n"), std::string::npos);
    EXPECT_EQ(says(player, playerSocket, 1, "proxy:mmode").find("Message mode is currently\n"), 0u);
    // Its keep-alive comes on its own 10 s of silence, whoever else speaks (a browser each second).
    auto quietSecond = [&] {
        fakeplatform::inject(listenAddress(), loopback(5000, 20), InfoRequest);
        later(1000);
    };
    for (int i = 0; i < 9; i++) quietSecond();
    EXPECT_EQ(pings(player), 0);
    quietSecond();
    EXPECT_EQ(pings(player), 1);
    EXPECT_TRUE(slotTable.hostConnected);
}

// Who may host, how many observers one address may have, a kick, and what the console says.
TEST_F(Public, HostAddressesObserversPerAddressAndKicksDecideWhoIsAdmitted) {
    start({"-o", "6", "-H", "127.0.0.0/30,10.1.2.3", "-a", "2"});
    NetAddress host = loopback(27001, 2), hostSocket;
    struct Row {
        NetAddress who;
        const char* answer;
    };
    const Row rows[] = {{loopback(5000, 5), "accept"},  // may not host: an observer while there is room
                        {host, "accept"},
                        {loopback(27002, 2), "accept"},  // the host's address counts its observers apart
                        {loopback(27003, 2), "accept"},
                        {loopback(5001, 5), "accept"},
                        {loopback(5002, 5), "Skopos-Proxy:Max observers from your address (2) reached."},
                        {loopback(5000, 6), "accept"},
                        {loopback(5000, 7), "accept"},
                        {loopback(5000, 8), "Skopos-Proxy:Your address may not host; max observers (6) reached."}};
    for (const Row& r : rows) EXPECT_EQ(join(r.who, r.who == host ? &hostSocket : nullptr), r.answer) << r.who.port;
    EXPECT_EQ(hostSlot().peerAddress, host);
    EXPECT_NE(console().find("Refused 127.0.0.5:5002: too many observers from one address.\n"), std::string::npos);
    fromClient(host, hostSocket, Nop);
    EXPECT_EQ(says(host, hostSocket, 0, "proxy:kick #1"), "Observer unnamed got the boot.\n");
    EXPECT_EQ(join(loopback(5003, 5)), "Skopos-Proxy:Kicked; try again in 10 minutes.");
    later(599000);
    EXPECT_EQ(join(loopback(5004, 5)), "Skopos-Proxy:Kicked; try again in 1 minute.");
    later(1000);
    EXPECT_EQ(join(loopback(5005, 5)), "accept");
}

// With a password nobody commands before logging in; a wrong password is answered a second later,
// one try a second per address, and shows nowhere; an observer that logs in takes the host's place.
TEST_F(Public, TheHostsCommandsNeedThePassword) {
    start({"-o", "2", "-P", "sesame"});
    NetAddress host = loopback(27001, 2), hostSocket, watcher = loopback(27004, 4), watcherSocket;
    EXPECT_EQ(join(host, &hostSocket), "accept");
    EXPECT_EQ(join(watcher, &watcherSocket), "accept");
    sent();
    struct Row {
        uint64_t laterMs;
        const char* text;
        const char* reply;
    };
    const Row rows[] = {{0, "proxy:connect 127.0.0.3", "Log in first: say proxy:login password\n"},
                        {0, "proxy:help login",
                         "Usage: login password\nLog in as the host. With a password\nset, nobody has the host's "
                         "commands\nuntil then.\n"},
                        {0, "proxy:login open", ""},
                        {500, nullptr, ""},
                        {0, "proxy:login sesame", ""},  // a try while the last is unanswered: not looked at
                        {499, nullptr, ""},
                        {1, nullptr, "Wrong password.\n"},
                        {0, "proxy:login sesame", "Logged in.\n"},
                        {0, "proxy:connect 127.0.0.3", "trying...\n"}};
    uint32_t sequence = 0;
    for (const Row& r : rows) {
        if (r.laterMs > 0) later(r.laterMs);
        std::string heard = r.text != nullptr ? says(host, hostSocket, sequence++, r.text) : wire::allPrints(to(sent(), host));
        EXPECT_EQ(heard, r.reply) << (r.text ? r.text : "later");
    }
    EXPECT_EQ(says(watcher, watcherSocket, 0, "proxy:login sesame"), "Your host has logged in already.\n");
    // Until the host's game goes silent and leaves a keep-alive unanswered: the password then takes
    // its place, and its game on the server is left.
    fromClient(NetAddress{server.ip, 26000}, proxyServerSide(), wire::accept(26601));
    for (int i = 0; i < 11; i++) later(1000);
    sent();
    fromClient(watcher, watcherSocket, wire::reliable(1, wire::stringCommand("say proxy:login sesame")));
    auto left = sent();
    EXPECT_EQ(to(left, NetAddress{server.ip, 26601}).size(), 1u);
    EXPECT_NE(wire::allPrints(to(left, host)).find("Another client logged in as the host.\n"), std::string::npos);
    EXPECT_TRUE(hostSlot().peerAddress == watcher && !slotTable.serverConnected);
    std::string out = console();
    EXPECT_EQ(out.find("open"), std::string::npos);
    EXPECT_NE(out.find("Refused 127.0.0.2:27001: wrong password.\n"), std::string::npos);
    // A new host connection needs the login again; an observer that logs in then takes its place.
    resetProxyState();
    fakeplatform::reset();
    start({"-o", "3", "-P", "sesame", "-H", "127.0.0.2,127.0.0.4"});
    NetAddress stranger = loopback(27005, 5), strangerSocket, neighbour = loopback(27006, 4), neighbourSocket;
    join(host, &hostSocket);
    join(watcher, &watcherSocket);
    join(stranger, &strangerSocket);
    join(neighbour, &neighbourSocket);
    sent();
    EXPECT_EQ(says(stranger, strangerSocket, 0, "proxy:login sesame"), "Your address may not host.\n");
    says(neighbour, neighbourSocket, 0, "proxy:login open");
    later(999);  // one try a second from an address, whichever client of it says it
    EXPECT_EQ(says(watcher, watcherSocket, 0, "proxy:login sesame"), "");
    later(1000);
    EXPECT_EQ(wire::allPrints(to(sent(), watcher)), "Wrong password.\n");
    EXPECT_EQ(hostSlot().peerAddress, host);
    fromClient(watcher, watcherSocket, wire::reliable(1, wire::stringCommand("say proxy:login sesame")));
    auto out2 = sent();
    EXPECT_EQ(wire::allPrints(to(out2, host)), "Another client logged in as the host.\n");
    EXPECT_EQ(wire::allPrints(to(out2, watcher)), "Logged in. You are the host now.\n");
    EXPECT_EQ(says(watcher, watcherSocket, 2, "proxy:mmode"), "Message mode is currently\nset to: global.\n");
    EXPECT_EQ(slotTable.observerCount, 2);
}

// Requests are answered ten a second to one address and a hundred in all; a flood from one address
// leaves the others theirs; a burst queued on the listening socket is answered whole.
TEST_F(Public, RequestsAreAnsweredAtABoundedRate) {
    start({"-o", "30"});
    NetAddress flooder = loopback(5000, 7);
    EXPECT_EQ(answersTo(flooder, 150), 10u);  // more than the total allowance, spent on none of it
    EXPECT_EQ(answersTo(loopback(5000, 8), 1), 1u);
    later(500);
    EXPECT_EQ(answersTo(flooder, 50), 5u);
    std::string refusals = console();
    EXPECT_NE(refusals.find("Refused 127.0.0.7:5000: too many requests.\n"), std::string::npos);
    EXPECT_EQ(refusals.find("Refused", refusals.find("Refused") + 1), std::string::npos) << refusals;
    later(10000);
    for (int i = 0; i < 30; i++) fakeplatform::inject(listenAddress(), loopback(6000, uint8_t(10 + i)), wire::connectRequest());
    step();
    size_t accepts = 0;
    for (const Datagram& d : sent()) accepts += d.bytes.size() == 9 && d.bytes[4] == 0x81;
    EXPECT_EQ(accepts, 30u);
    later(1000);
    for (int i = 0; i < 15; i++)
        for (int j = 0; j < 10; j++) fakeplatform::inject(listenAddress(), loopback(7000, uint8_t(100 + i)), InfoRequest);
    for (int i = 0; i < 150; i++) step();
    EXPECT_EQ(sent().size(), 100u);
    EXPECT_NE(console().find("too many requests (and 184 more).\n"), std::string::npos);
}

// Observer chat: a line every 2 s from each observer; the sender hears of the lines dropped.
TEST_F(Public, ObserverChatIsLimitedToALineEveryTwoSeconds) {
    start({"-o", "1"});
    NetAddress host = loopback(27001, 2), watcher = loopback(27004, 4), watcherSocket;
    join(host);
    join(watcher, &watcherSocket);
    sent();
    EXPECT_EQ(says(watcher, watcherSocket, 0, "one"), "Observer unnamed: one\n");
    later(1999);
    EXPECT_EQ(says(watcher, watcherSocket, 1, "two"), "Chat is limited to one line every 2 seconds.\n");
    later(1);
    EXPECT_EQ(says(watcher, watcherSocket, 2, "three"), "Observer unnamed: three\n");
}

// The host's ack of the old server's last fragment is lost, then it changes server: that fragment is
// sent again and the new server's stream waits for its ack, so the host takes the new one's first.
TEST_F(Public, AServerChangeAfterALostAckWaitsForTheHostsAck) {
    playWithServer();
    fromServer(wire::reliable(0, wire::stringMessage(8, "last\n")));
    Bytes tail = to(sent(), host).at(0).bytes;
    fromHost(wire::reliable(0, wire::stringCommand("say proxy:connect 127.0.0.3:26600")));
    auto out = to(sent(), host);
    EXPECT_TRUE(std::find_if(out.begin(), out.end(), [&](const Datagram& d) { return d.bytes == tail; }) != out.end());
    NetAddress second{server.ip, 26600}, secondData{server.ip, 26601};
    fromClient(second, proxyServerSide(), wire::accept(26601));
    sent();
    fromClient(secondData, proxyServerSide(), wire::reliable(0, wire::stringMessage(8, "first\n")));
    EXPECT_TRUE(to(sent(), host).empty());  // held: not acknowledged, the server sends it again
    later(1000);  // the tail's first resend was lost too: it goes again every second
    EXPECT_EQ(to(sent(), host).at(0).bytes, tail);
    fromHost(wire::ack(wire::sequence(Datagram{{}, {}, tail})));
    EXPECT_TRUE(to(sent(), secondData).empty());  // the old stream's ack is not the new server's
    fromClient(secondData, proxyServerSide(), wire::reliable(0, wire::stringMessage(8, "first\n")));
    auto got = to(sent(), host);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(wire::sequence(got[0]), wire::sequence(Datagram{{}, {}, tail}) + 1);
}

}  // namespace
