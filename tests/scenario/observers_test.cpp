// Observers as their clients see them: the catch-up mid-level, the live feed with its WelcomeBlocks,
// server resends, level changes and server disconnects.
#include "scenario/harness.h"

#include "core/loop.h"
#include "net/senders.h"
#include "observers/capture.h"

namespace {

using fakeplatform::loopback;

Bytes operator+(Bytes a, const Bytes& b) { return wire::concat(std::move(a), b); }
Bytes print(const std::string& text) { return wire::stringMessage(8, text); }
Bytes signon(uint8_t stage) { return {25, stage}; }

// A level's first message, svc_serverinfo (protocol 15) and svc_signonnum 1, after a print that
// brings it to `size` bytes.
Bytes serverInfo(const std::string& map, size_t size = 0) {
    Bytes info = Bytes{11, 15, 0, 0, 0, 4, 0} + wire::stringMessage('T', "itle") +
                 wire::stringMessage('m', "aps/" + map + ".bsp") + Bytes{0, 0} + signon(1);
    if (size < info.size() + 2) return info;
    return print(std::string(size - info.size() - 2, 'p')) + info;
}

struct Watcher {
    NetAddress client;
    NetAddress socket;
    uint32_t reliable = 0;  // the client's next reliable number
};

struct Observers : ProxyScenario {
    // A host client that has already taken `streamBase` reliable datagrams, now on a new server.
    void playHost(uint32_t streamBase = 0) {
        playWithServer({"-o", "3"});
        hostSlot().seqOffset = streamBase;
        numbering.lastHostReliableSeq = streamBase - 1;
        capture.nextReassemblySeq = streamBase;
    }
    void serverMessage(const Bytes& message, size_t piece = 1024) {
        for (size_t at = 0;; at += piece) {
            size_t end = std::min(message.size(), at + piece);
            Bytes part(message.begin() + long(at), message.begin() + long(end));
            fromServer(wire::reliable(serverReliable++, part, end == message.size()));
            if (end == message.size()) return;
        }
    }
    void serverUnreliable(const Bytes& payload) { fromServer(wire::unreliable(serverUnreliableSeq++, payload)); }
    void enterLevel(const std::string& map, size_t infoSize = 0) {
        serverMessage(serverInfo(map, infoSize));
        serverMessage(signon(2));
        serverMessage(signon(3));
    }

    // Its record 1 is taken by the admission: the tests read it as resent.
    Watcher admitObserver(uint8_t last) {
        Watcher w{loopback(uint16_t(27100 + last), last), {}};
        w.socket = loopback(connectClient(w.client));
        return w;
    }
    void fromObserver(const Watcher& w, const Bytes& bytes) { fromClient(w.client, w.socket, bytes); }
    void request(Watcher& w, const std::string& command) {
        fromObserver(w, wire::reliable(w.reliable++, wire::stringCommand(command)));
    }
    void moveFrom(const Watcher& w, uint8_t buttons = 0) {
        fromObserver(w, wire::unreliable(0, wire::move(0, 0, 0, buttons)));
    }
    Watcher watching(uint8_t last) {
        Watcher w = admitObserver(last);
        resendTimer();
        ackEach(w);
        request(w, "prespawn");
        ackEach(w);
        request(w, "spawn");
        ackEach(w);
        const Slot& s = slotTable.slot[slotOf(w)];
        EXPECT_EQ(s.state, SlotInGame);
        EXPECT_EQ(s.catchUpMessage, NoCatchUpMessage);
        sent();
        return w;
    }
    int slotOf(const Watcher& w) const {
        for (int i = FirstObserverSlot; i < SlotCount; i++)
            if (slotTable.slot[i].state != SlotFree && slotTable.slot[i].peerAddress == w.client) return i;
        return -1;
    }
    static std::vector<Datagram> reliables(const std::vector<Datagram>& all) {
        std::vector<Datagram> out;
        for (const Datagram& d : all)
            if ((wire::flags(d) & 0xF7) == 0x01) out.push_back(d);
        return out;
    }
    // The reliable datagrams sent to `w` since the last look: number and payload.
    using Got = std::vector<std::pair<uint32_t, Bytes>>;
    Got got(const Watcher& w) {
        Got out;
        for (const Datagram& d : reliables(to(sent(), w.client))) out.emplace_back(wire::sequence(d), wire::payload(d));
        return out;
    }
    static std::vector<Bytes> payloads(const std::vector<Datagram>& all) {
        std::vector<Bytes> out;
        for (const Datagram& d : all) out.push_back(wire::payload(d));
        return out;
    }
    static std::vector<uint32_t> numbers(const std::vector<Datagram>& all) {
        std::vector<uint32_t> out;
        for (const Datagram& d : all) out.push_back(wire::sequence(d));
        return out;
    }
    // The messages the fragments make, each ended by its last fragment.
    static std::vector<Bytes> messages(const std::vector<Datagram>& fragments) {
        std::vector<Bytes> out(1);
        for (const Datagram& d : fragments) {
            out.back() = out.back() + wire::payload(d);
            if (wire::flags(d) == 0x09) out.emplace_back();
        }
        out.pop_back();
        return out;
    }

    // The observer's client answers every reliable datagram with an ack, as the game does, from
    // those in `got` on to what the proxy sends next; all it got, in order.
    std::vector<Datagram> ackEach(const Watcher& w, std::vector<Datagram> got = {}) {
        std::vector<Datagram> all;
        for (int round = 0; round < 512; round++) {
            got = reliables(round == 0 && !got.empty() ? got : to(sent(), w.client));
            if (got.empty()) break;
            for (const Datagram& d : got) {
                all.push_back(d);
                EXPECT_TRUE(fakeplatform::inject(w.socket, w.client, wire::ack(wire::sequence(d))));
                step();
            }
        }
        return all;
    }
    void resendTimer() {
        fakeplatform::advanceSeconds(2);
        serverUnreliable({1});
    }

    uint32_t serverReliable = 0;
    uint32_t serverUnreliableSeq = 100;
};

// The host in game on e1m1, watched by one observer.
struct Watched : Observers {
    void SetUp() override {
        Observers::SetUp();
        playHost();
        enterLevel("e1m1");
        w = watching(4);
    }
    Watcher w;
};

TEST_F(Observers, AnObserverJoiningMidLevelIsCaughtUpAndTakesTheLiveStreamInItsOwnNumbers) {
    playHost(997);
    Bytes info = serverInfo("e1m1", 2100);
    serverMessage(info, 32000);  // as QuakeSpasm sends them: one fragment each
    serverMessage(print(std::string(2496, 's')) + signon(2), 32000);
    serverMessage(signon(3));
    serverMessage(print("hello"));
    ASSERT_EQ(numbering.lastHostReliableSeq, 1000u);

    Watcher w = admitObserver(4);
    // One fragment in flight, resent until acknowledged even to a client not heard from yet.
    resendTimer();
    auto first = reliables(to(sent(), w.client));
    EXPECT_EQ(numbers(first), (std::vector<uint32_t>{0}));
    auto rest = ackEach(w, first);
    ASSERT_EQ(numbers(rest), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(messages(rest), std::vector<Bytes>{info});

    request(w, "prespawn");
    auto record2 = ackEach(w);
    EXPECT_EQ(numbers(record2), (std::vector<uint32_t>{3, 4, 5}));
    EXPECT_EQ(messages(record2), std::vector<Bytes>{print(std::string(2496, 's')) + signon(2)});

    // A spawn inside a host message waits for its end: the tail alone would garble its client.
    Bytes longPrint = print(std::string(1500, 'l'));
    fromServer(wire::reliable(serverReliable++, Bytes(longPrint.begin(), longPrint.begin() + 1024), false));
    sent();
    request(w, "spawn");
    EXPECT_TRUE(got(w).empty());
    fromServer(wire::reliable(serverReliable++, Bytes(longPrint.begin() + 1024, longPrint.end())));
    auto record3 = got(w);
    ASSERT_EQ(record3.size(), 1u);
    EXPECT_EQ(record3[0].first, 6u);
    EXPECT_EQ(record3[0].second.back(), 3);  // ends with svc_signonnum 3
    // The stream waits for the state block, which its first fragment would overtake.
    serverMessage(print("live"));
    EXPECT_TRUE(got(w).empty());
    fromObserver(w, wire::ack(6));
    EXPECT_EQ(got(w), (Got{{7, print("live")}}));
}

TEST_F(Observers, ALevelChangeInsideARecordFinishesItThenOrdersAReconnectAndNumbersTheNewLevelOn) {
    playHost();
    Bytes oldInfo = serverInfo("e1m1", 2100);
    serverMessage(oldInfo);
    serverMessage(signon(2));
    serverMessage(signon(3));
    Watcher w = admitObserver(4);
    fromObserver(w, wire::ack(0));
    ASSERT_EQ(numbers(reliables(to(sent(), w.client))), (std::vector<uint32_t>{1}));
    int slot = slotOf(w);

    enterLevel("e1m2");  // an rcon changelevel: the level's records are replaced
    EXPECT_EQ(slotTable.slot[slot].state, SlotWaiting);
    sent();
    // Its client holds the start of the old record 1: the record is finished, from the slot's copy.
    fromObserver(w, wire::ack(1));
    EXPECT_EQ(got(w), (Got{{2, Bytes(oldInfo.begin() + 2048, oldInfo.end())}}));
    request(w, "prespawn");  // its answer to the level left behind
    EXPECT_TRUE(got(w).empty());
    // It took signon 1: the new record 1 comes after a reconnect order and a resend period.
    fromObserver(w, wire::ack(2));
    EXPECT_EQ(got(w), (Got{{3, wire::stringMessage(9, "reconnect\n")}}));
    fromObserver(w, wire::ack(3));
    EXPECT_TRUE(got(w).empty());
    resendTimer();
    EXPECT_EQ(got(w), (Got{{4, serverInfo("e1m2")}}));
    fromObserver(w, wire::ack(4));
    request(w, "prespawn");
    EXPECT_EQ(slotTable.slot[slot].state, 2);
    EXPECT_EQ(numbers(reliables(to(sent(), w.client))), (std::vector<uint32_t>{5}));
}

TEST_F(Observers, AServerDisconnectEndsACatchUpAndNothingOfTheOldLevelFollowsTheReconnectOrder) {
    playHost();
    enterLevel("e1m1", 2100);
    Watcher w = admitObserver(4);
    resendTimer();
    ackEach(w);
    request(w, "prespawn");  // record 2 in flight
    sent();
    fromHost(wire::reliable(0, wire::stringCommand("say proxy:disconnect")));
    // Inside a message, its client takes the rest first; the order comes ahead of the next catch-up.
    for (const Datagram& d : to(sent(), w.client)) EXPECT_EQ(wire::payload(d)[0], 8);
    ackEach(w);
    EXPECT_EQ(slotTable.slot[slotOf(w)].catchUpTaken, NoCatchUpMessage);
    request(w, "spawn");
    EXPECT_TRUE(got(w).empty());
}

TEST_F(Watched, AServerResendReachesTheHostAloneAndIsNeverTakenForADisconnect) {
    // The second fragment begins with byte 2, svc_disconnect's code, inside the text.
    Bytes m = print(std::string(1023, 'p') + "\x02" + "tail");
    serverMessage(m);
    ackEach(w);
    uint32_t newest = numbering.lastHostReliableSeq;
    sent();
    Bytes tail(m.begin() + 1024, m.end());
    fromServer(wire::reliable(serverReliable - 1, tail));  // the host's ack was lost
    auto out = sent();
    EXPECT_EQ(payloads(to(out, host)), std::vector<Bytes>{tail});
    EXPECT_EQ(numbers(to(out, host)), std::vector<uint32_t>{newest});
    EXPECT_TRUE(to(out, w.client).empty());  // its numbers have moved on past it
    serverMessage(print("after"));
    EXPECT_EQ(payloads(ackEach(w)), std::vector<Bytes>{print("after")});
}

TEST_F(Watched, TheWelcomeBlockComesOnceASecondTwentyTimesAndWhileJumpIsHeld) {
    // A second: a move from its client, then two server datagrams; the block rides on the first only.
    auto second = [&](uint8_t buttons, size_t size) {
        fakeplatform::advanceSeconds(1);
        moveFrom(w, buttons);
        sent();
        serverUnreliable(Bytes(size, 1));
        serverUnreliable({1});
        auto all = sent();
        EXPECT_EQ(payloads(to(all, host)), (std::vector<Bytes>{Bytes(size, 1), {1}}));
        return to(all, w.client);
    };
    serverUnreliable({});  // the first block, with the texts of its joining
    sent();
    const Bytes plain{1}, welcomed{1, 1};
    for (int i = 1; i < 25; i++)
        EXPECT_EQ(payloads(second(0, 1)), (std::vector<Bytes>{i < 20 ? welcomed : plain, plain})) << i;
    EXPECT_EQ(payloads(second(2, 1)), (std::vector<Bytes>{welcomed, plain}));  // holding jump
}

}  // namespace
