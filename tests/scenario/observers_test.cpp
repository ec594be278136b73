// Observers as their clients see them: the catch-up mid-level and on a big level, the live feed in
// pieces with its WelcomeBlocks, level changes and server disconnects, silence and leaving.
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
    void enterLevel(const std::string& map, size_t infoSize = 0, size_t stage2Size = 0) {
        serverMessage(serverInfo(map, infoSize));
        serverMessage(stage2Size > 4 ? print(std::string(stage2Size - 4, 's')) + signon(2) : signon(2));
        serverMessage(signon(3));
    }

    // Admission keeps what the proxy sent, which may already be record 1.
    Watcher admitObserver(uint8_t last, std::vector<Datagram>* admission = nullptr) {
        Watcher w{loopback(uint16_t(27100 + last), last), {}};
        EXPECT_TRUE(fakeplatform::inject(listenAddress(), w.client, wire::connectRequest()));
        step();
        std::vector<Datagram> rest;
        for (Datagram& d : sent()) {
            if (d.to == w.client && d.bytes.size() == 9 && d.bytes[0] == 0x80 && d.bytes[4] == 0x81)
                w.socket = loopback(uint16_t(d.bytes[5] | d.bytes[6] << 8));
            else
                rest.push_back(d);
        }
        if (admission) *admission = to(rest, w.client);
        return w;
    }
    void fromObserver(const Watcher& w, const Bytes& bytes) { fromClient(w.client, w.socket, bytes); }
    void request(Watcher& w, const std::string& command) {
        fromObserver(w, wire::reliable(w.reliable++, wire::stringCommand(command)));
    }
    void moveFrom(const Watcher& w, uint8_t buttons = 0) { fromObserver(w, wire::unreliable(0, wire::move(0, 0, 0, buttons))); }
    Watcher watching(uint8_t last) {
        std::vector<Datagram> admission;
        Watcher w = admitObserver(last, &admission);
        ackEach(w, admission);
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
    static Bytes joined(const std::vector<Datagram>& fragments) {
        Bytes all;
        for (const Datagram& d : fragments) all = all + wire::payload(d);
        return all;
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
        slot = slotOf(w);
    }
    Watcher w;
    int slot = -1;
};

TEST_F(Observers, AnObserverJoiningMidLevelIsCaughtUpAndTakesTheLiveStreamInItsOwnNumbers) {
    playHost(997);
    Bytes info = serverInfo("e1m1", 2100);
    serverMessage(info, 32000);  // as QuakeSpasm sends them: one fragment each
    serverMessage(print(std::string(2496, 's')) + signon(2), 32000);
    serverMessage(signon(3));
    serverMessage(print("hello"));
    ASSERT_EQ(numbering.lastHostReliableSeq, 1000u);

    std::vector<Datagram> admission;
    Watcher w = admitObserver(4, &admission);
    // One fragment in flight, resent until acknowledged even to a client not heard from yet.
    auto first = reliables(admission);
    EXPECT_EQ(numbers(first), (std::vector<uint32_t>{0}));
    resendTimer();
    auto again = reliables(to(sent(), w.client));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].bytes, first[0].bytes);
    fromObserver(w, wire::ack(0));
    auto second = reliables(to(sent(), w.client));
    ASSERT_EQ(numbers(second), (std::vector<uint32_t>{1}));
    fromObserver(w, wire::ack(0));  // a late copy moves nothing and sends nothing
    EXPECT_TRUE(reliables(to(sent(), w.client)).empty());
    // A client inside its signon sends nothing unasked: silence does not stop the resends.
    fakeplatform::advanceSeconds(11);
    serverUnreliable({1});
    auto resent = reliables(to(sent(), w.client));
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0].bytes, second[0].bytes);
    auto rest = ackEach(w, resent);
    ASSERT_EQ(numbers(rest), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(joined(first) + joined(rest), info);
    EXPECT_EQ(wire::flags(rest[0]), 0x01);
    EXPECT_EQ(wire::flags(rest[1]), 0x09);

    request(w, "prespawn");
    auto afterPrespawn = to(sent(), w.client);
    ASSERT_EQ(afterPrespawn.size(), 2u);
    EXPECT_EQ(afterPrespawn[0].bytes, wire::ack(0));
    EXPECT_EQ(wire::sequence(afterPrespawn[1]), 3u);
    fromObserver(w, wire::reliable(w.reliable - 1, wire::stringCommand("prespawn")));  // its own resend
    auto repeated = to(sent(), w.client);
    ASSERT_EQ(repeated.size(), 1u);  // acknowledged again, nothing started again
    EXPECT_EQ(repeated[0].bytes, wire::ack(0));
    fromObserver(w, wire::reliable(w.reliable++, {1}));  // clc_nop: acknowledged, nothing more
    auto nop = to(sent(), w.client);
    ASSERT_EQ(nop.size(), 1u);
    EXPECT_EQ(nop[0].bytes, wire::ack(1));
    auto record2 = ackEach(w, afterPrespawn);
    EXPECT_EQ(numbers(record2), (std::vector<uint32_t>{3, 4, 5}));
    EXPECT_EQ(joined(record2), print(std::string(2496, 's')) + signon(2));
    EXPECT_EQ(slotTable.slot[slotOf(w)].state, 2);

    // A spawn inside a host message waits for its end: the tail alone would garble its client.
    Bytes longPrint = print(std::string(1500, 'l'));
    fromServer(wire::reliable(serverReliable++, Bytes(longPrint.begin(), longPrint.begin() + 1024), false));
    sent();
    request(w, "spawn");
    EXPECT_TRUE(reliables(to(sent(), w.client)).empty());
    EXPECT_EQ(slotTable.slot[slotOf(w)].state, 3);
    fromServer(wire::reliable(serverReliable++, Bytes(longPrint.begin() + 1024, longPrint.end())));
    auto record3 = reliables(to(sent(), w.client));
    ASSERT_EQ(numbers(record3), (std::vector<uint32_t>{6}));
    EXPECT_EQ(wire::payload(record3[0]).back(), 3);  // ends with svc_signonnum 3
    const Slot& s = slotTable.slot[slotOf(w)];
    EXPECT_EQ(s.state, SlotInGame);
    EXPECT_EQ(s.seqOffset, 996u);

    // The stream waits for the state block, which its first fragment would overtake.
    serverMessage(print("live"));
    EXPECT_TRUE(reliables(to(sent(), w.client)).empty());
    fromObserver(w, wire::ack(6));
    auto live = reliables(to(sent(), w.client));
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(wire::sequence(live[0]), 7u);
    EXPECT_EQ(wire::payload(live[0]), print("live"));
}

// Today's engines send a big level's stage 2 as several messages adding up to well over 64000 bytes.
TEST_F(Observers, ABigStageTwoReachesAJoiningObserverAndAMidLevelDemoMessageByMessage) {
    playHost();
    Bytes info = serverInfo("e1m1");
    std::vector<Bytes> stage2 = {print(std::string(50000, 'a')), print(std::string(50000, 'b')),
                                 print(std::string(49998, 'c')) + signon(2)};
    serverMessage(info, 64000);
    for (const Bytes& part : stage2) serverMessage(part, 64000);
    serverMessage(signon(3));
    std::vector<Datagram> admission;
    Watcher w = admitObserver(4, &admission);
    EXPECT_EQ(messages(ackEach(w, admission)), std::vector<Bytes>{info});
    request(w, "prespawn");
    auto catchUp = ackEach(w);
    for (const Datagram& d : catchUp) EXPECT_LE(d.bytes.size(), 1032u);
    EXPECT_EQ(messages(catchUp), stage2);
    request(w, "spawn");
    auto block = messages(ackEach(w));
    ASSERT_EQ(block.size(), 1u);
    EXPECT_EQ(block[0].back(), 3);
    EXPECT_EQ(slotTable.slot[slotOf(w)].state, SlotInGame);

    fromHost(wire::reliable(0, wire::stringCommand("say proxy:record ../mid")));
    EXPECT_EQ(wire::allPrints(to(sent(), host)), "Invalid demo name.\n");
    fromHost(wire::reliable(1, wire::stringCommand("say proxy:record mid")));
    std::vector<Bytes> blocks;
    Bytes file = fakeplatform::fileContents("mid01.dem");
    for (size_t at = 3; at + 16 <= file.size();) {
        size_t n = recordLength(file.data() + at);
        blocks.emplace_back(file.begin() + long(at + 16), file.begin() + long(std::min(file.size(), at + 16 + n)));
        at += 16 + n;
    }
    ASSERT_EQ(blocks.size(), 6u);  // credits, server information, the three stage-2 messages, state block
    EXPECT_EQ(blocks[1], info);
    EXPECT_EQ(std::vector<Bytes>(blocks.begin() + 2, blocks.begin() + 5), stage2);
    EXPECT_EQ(blocks[5], block[0]);
}

TEST_F(Observers, ALevelChangeInsideARecordFinishesItThenOrdersAReconnectAndNumbersTheNewLevelOn) {
    playHost();
    Bytes oldInfo = serverInfo("e1m1", 2100);
    serverMessage(oldInfo);
    serverMessage(signon(2));
    serverMessage(signon(3));
    std::vector<Datagram> admission;
    Watcher w = admitObserver(4, &admission);
    fromObserver(w, wire::ack(0));
    ASSERT_EQ(numbers(reliables(to(sent(), w.client))), (std::vector<uint32_t>{1}));
    int slot = slotOf(w);

    enterLevel("e1m2");  // an rcon changelevel: the level's records are replaced
    EXPECT_EQ(slotTable.slot[slot].state, SlotWaiting);
    sent();
    // Its client holds the start of the old record 1: the record is finished, from the slot's copy.
    fromObserver(w, wire::ack(1));
    auto tail = reliables(to(sent(), w.client));
    ASSERT_EQ(numbers(tail), (std::vector<uint32_t>{2}));
    EXPECT_EQ(wire::payload(tail[0]), Bytes(oldInfo.begin() + 2048, oldInfo.end()));
    request(w, "prespawn");  // its answer to the level left behind
    EXPECT_EQ(slotTable.slot[slot].state, SlotWaiting);
    EXPECT_TRUE(reliables(to(sent(), w.client)).empty());

    // It took signon 1: the new record 1 comes after a reconnect order and a resend period.
    fromObserver(w, wire::ack(2));
    auto order = reliables(to(sent(), w.client));
    ASSERT_EQ(numbers(order), (std::vector<uint32_t>{3}));
    EXPECT_EQ(wire::payload(order[0]), wire::stringMessage(9, "reconnect\n"));
    fromObserver(w, wire::ack(3));
    EXPECT_TRUE(reliables(to(sent(), w.client)).empty());
    resendTimer();
    auto record1 = reliables(to(sent(), w.client));
    ASSERT_EQ(numbers(record1), (std::vector<uint32_t>{4}));
    EXPECT_EQ(wire::payload(record1[0]), serverInfo("e1m2"));
    fromObserver(w, wire::ack(4));
    request(w, "prespawn");
    EXPECT_EQ(slotTable.slot[slot].state, 2);
    EXPECT_EQ(numbers(reliables(to(sent(), w.client))), (std::vector<uint32_t>{5}));
}

TEST_F(Observers, AServerDisconnectEndsACatchUpAndNothingOfTheOldLevelFollowsTheReconnectOrder) {
    playHost();
    enterLevel("e1m1", 2100);
    std::vector<Datagram> admission;
    Watcher w = admitObserver(4, &admission);
    ackEach(w, admission);
    request(w, "prespawn");  // record 2 in flight
    sent();
    fromHost(wire::reliable(0, wire::stringCommand("say proxy:disconnect")));
    // Inside a message, its client takes the rest first; the order comes ahead of the next catch-up.
    for (const Datagram& d : to(sent(), w.client)) EXPECT_EQ(wire::payload(d)[0], 8);
    ackEach(w);
    EXPECT_EQ(slotTable.slot[slotOf(w)].catchUpTaken, NoCatchUpMessage);
    request(w, "spawn");
    EXPECT_TRUE(reliables(to(sent(), w.client)).empty());
    fromHost(wire::reliable(1, wire::stringCommand("say proxy:record late")));  // no server: no file
    EXPECT_EQ(wire::allPrints(to(sent(), host)), "Next level will be recorded to late01.dem\n");
    EXPECT_FALSE(fakeplatform::fileExists("late01.dem"));
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
    auto toHost = to(out, host);
    ASSERT_EQ(toHost.size(), 1u);
    EXPECT_EQ(wire::sequence(toHost[0]), newest);
    EXPECT_EQ(wire::payload(toHost[0]), tail);
    EXPECT_TRUE(to(out, w.client).empty());  // its numbers have moved on past it
    EXPECT_TRUE(slotTable.serverConnected);
    serverMessage(print("after"));
    auto next = ackEach(w);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(wire::payload(next[0]), print("after"));
}

// QuakeSpasm sends whole messages in one datagram; an observer's client may read no more than 1032.
TEST_F(Watched, ABigServerDatagramReachesObserversInPiecesAndTextsNeverGrowAHostDatagramPast1032) {
    Bytes big = print(std::string(2998, 'b'));
    serverMessage(big, 64000);
    auto pieces = ackEach(w);
    EXPECT_EQ(messages(pieces), std::vector<Bytes>{big});
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(wire::flags(pieces[0]), 0x01);
    EXPECT_EQ(pieces[0].bytes.size(), 1032u);
    EXPECT_EQ(wire::sequence(pieces[2]), wire::sequence(pieces[0]) + 2);
    serverMessage(print("next"));
    auto next = ackEach(w);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(wire::sequence(next[0]), wire::sequence(pieces[2]) + 1);

    fromObserver(w, wire::reliable(w.reliable++, wire::stringCommand("say " + std::string(100, 't'))));
    sent();
    serverUnreliable(Bytes(1000, 1));
    for (const Datagram& d : to(sent(), host)) EXPECT_LE(d.bytes.size(), 1032u);
}

TEST_F(Watched, TheWelcomeBlockComesOnceASecondTwentyTimesWhileJumpIsHeldAndAloneWhenTooLong) {
    auto welcomed = [&](const Watcher& who, const std::vector<Datagram>& all) {
        auto host = to(all, this->host);
        auto mine = to(all, who.client);
        EXPECT_EQ(host.size(), 1u);
        EXPECT_EQ(mine.size(), 1u);
        if (host.size() != 1 || mine.size() != 1) return false;
        Bytes plain = wire::payload(host[0]);
        if (wire::payload(mine[0]) == plain) return false;
        EXPECT_EQ(wire::payload(mine[0]), plain + Bytes{1});
        return true;
    };
    int count = 0;
    for (int second = 0; second < 25; second++) {
        fakeplatform::advanceSeconds(1);
        moveFrom(w);
        sent();
        serverUnreliable({1});
        count += welcomed(w, sent()) ? 1 : 0;
        serverUnreliable({1});  // the same second: never twice
        EXPECT_FALSE(welcomed(w, sent()));
    }
    EXPECT_EQ(count, 20);

    for (int second = 0; second < 3; second++) {
        fakeplatform::advanceSeconds(1);
        moveFrom(w, 2);  // holding jump
        sent();
        serverUnreliable({1});
        EXPECT_TRUE(welcomed(w, sent()));
    }
    // One that would make the datagram too long travels alone.
    fakeplatform::advanceSeconds(1);
    moveFrom(w, 2);
    sent();
    serverUnreliable(Bytes(2040, 1));
    auto mine = to(sent(), w.client);
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(wire::payload(mine[1]), Bytes{1});
    EXPECT_EQ(wire::sequence(mine[1]), wire::sequence(mine[0]) + 1);
}

TEST_F(Watched, ASilentObserverGetsNothingAndOneThatLeavesIsAnnouncedAndItsStreamGivenUp) {
    Watcher other = watching(5);
    serverMessage(print("unacked"));
    sent();
    fakeplatform::advanceSeconds(11);
    serverUnreliable({1});
    EXPECT_TRUE(to(sent(), w.client).empty());  // no unreliable datagrams and no resends
    moveFrom(w);  // heard again
    moveFrom(other);
    sent();
    serverUnreliable({1});
    auto back = to(sent(), w.client);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(wire::flags(back[0]), 0x10);
    EXPECT_EQ(wire::payload(back[1]), print("unacked"));  // the resend timer

    console();
    fromObserver(w, wire::unreliable(0, {2}));
    EXPECT_EQ(slotOf(w), -1);
    EXPECT_NE(console().find("Observer unnamed disconnected\n"), std::string::npos);
    EXPECT_EQ(capture.fanOutMask & (1u << 2), 0u);
    sent();
    serverUnreliable({});
    EXPECT_NE(wire::allPrints(to(sent(), other.client)).find("Observer unnamed left.\n"), std::string::npos);
}

}  // namespace
