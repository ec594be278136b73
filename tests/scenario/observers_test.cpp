// Observers as their clients see them: the catch-up mid-level, a server disconnect inside it, and the
// live feed with its WelcomeBlocks. Level changes and resends under loss are the simulation's.
#include "scenario/harness.h"

#include "observers/capture.h"
#include "observers/prints.h"

namespace {

using fakeplatform::loopback;

Bytes print(const std::string& text) { return wire::stringMessage(8, text); }
Bytes signon(uint8_t stage) { return {25, stage}; }
// A level's first message, 2100 bytes: a print, svc_serverinfo (protocol 15) and svc_signonnum 1.
const Bytes info = print(std::string(2064, 'p')) + Bytes{11, 15, 0, 0, 0, 4, 0} + wire::stringMessage('T', "itle") +
                   wire::stringMessage('m', "aps/e1m1.bsp") + Bytes{0, 0} + signon(1);
const Bytes stage2 = print(std::string(2496, 's')) + signon(2);

struct Observers : ProxyScenario {
    // A host client that has already taken `streamBase` reliable datagrams, now on a new server.
    // Its server has sent the level's signon in fragments of `piece` bytes.
    void playHost(uint32_t streamBase, size_t piece = 1024) {
        playWithServer({"-o", "3"});
        hostSlot().seqOffset = streamBase;
        numbering.lastHostReliableSeq = streamBase - 1;
        capture.nextReassemblySeq = streamBase;
        serverMessage(info, piece);
        serverMessage(stage2, piece);
        serverMessage(signon(3));
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
    void fromWatcher(const Bytes& bytes) { fromClient(watcher, watcherSocket, bytes); }
    void request(const std::string& command) {
        fromWatcher(wire::reliable(watcherReliable++, wire::stringCommand(command)));
    }
    // The reliable datagrams sent to the observer since the last look.
    std::vector<Datagram> got() {
        std::vector<Datagram> out;
        for (const Datagram& d : to(sent(), watcher))
            if ((wire::flags(d) & 0xF7) == 0x01) out.push_back(d);
        return out;
    }
    static std::vector<uint32_t> numbers(const std::vector<Datagram>& all) {
        std::vector<uint32_t> out;
        for (const Datagram& d : all) out.push_back(wire::sequence(d));
        return out;
    }
    // The observer's client answers every reliable datagram with an ack, as the game does, from
    // those in `first` on to what the proxy sends next; all it got, in order.
    std::vector<Datagram> ackEach(std::vector<Datagram> first = {}) {
        std::vector<Datagram> all;
        for (std::vector<Datagram> round = first.empty() ? got() : first; !round.empty(); round = got()) {
            for (const Datagram& d : round) {
                all.push_back(d);
                fromWatcher(wire::ack(wire::sequence(d)));
            }
        }
        return all;
    }
    // The observer's client admitted, its record 1 sent and taken, record 2 asked for.
    void catchUpToRecord2() {
        watcherSocket = loopback(connectClient(watcher));
        fakeplatform::advanceSeconds(2);  // the resend period
        serverUnreliable({1});
        auto first = got();
        EXPECT_EQ(numbers(first), (std::vector<uint32_t>{0}));  // also to a client not heard from yet
        auto record1 = ackEach(first);
        EXPECT_EQ(numbers(record1), (std::vector<uint32_t>{0, 1, 2}));
        EXPECT_EQ(wire::messages(record1), std::vector<Bytes>{info});
        request("prespawn");
    }

    NetAddress watcher = loopback(27104, 4), watcherSocket;
    uint32_t watcherReliable = 0, serverReliable = 0, serverUnreliableSeq = 100;
};

TEST_F(Observers, AnObserverJoiningMidLevelIsCaughtUpAndTakesTheLiveStreamInItsOwnNumbers) {
    playHost(997, 32000);  // as QuakeSpasm sends them: one fragment each
    serverMessage(print("hello"));
    ASSERT_EQ(numbering.lastHostReliableSeq, 1000u);
    catchUpToRecord2();
    auto record2 = ackEach();
    EXPECT_EQ(numbers(record2), (std::vector<uint32_t>{3, 4, 5}));
    EXPECT_EQ(wire::messages(record2), std::vector<Bytes>{stage2});

    // A spawn inside a host message waits for its end: the tail alone would garble its client.
    Bytes longPrint = print(std::string(1500, 'l'));
    fromServer(wire::reliable(serverReliable++, Bytes(longPrint.begin(), longPrint.begin() + 1024), false));
    sent();
    request("spawn");
    EXPECT_TRUE(got().empty());
    fromServer(wire::reliable(serverReliable++, Bytes(longPrint.begin() + 1024, longPrint.end())));
    auto record3 = got();
    ASSERT_EQ(record3.size(), 1u);
    EXPECT_EQ(wire::sequence(record3[0]), 6u);
    EXPECT_EQ(record3[0].bytes.back(), 3);  // ends with svc_signonnum 3
    // The stream waits for the state block, which its first fragment would overtake.
    serverMessage(print("live"));
    EXPECT_TRUE(got().empty());
    fromWatcher(wire::ack(6));
    EXPECT_EQ(got().at(0).bytes, wire::reliable(7, print("live")));
}

TEST_F(Observers, AnObserverAWholeTableBehindFinishesItsMessageAndCatchesUpAgainFromTheLevelsRecords) {
    playHost(0);
    catchUpToRecord2();
    ackEach();
    request("spawn");
    ackEach();
    // The next level: stage 2 in 20 messages of 8000 bytes, which the host takes faster.
    const Bytes nextInfo = Bytes{11, 15, 0, 0, 0, 4, 0} + wire::stringMessage('T', "wo") +
                           wire::stringMessage('m', "aps/e1m2.bsp") + Bytes{0, 0} + signon(1);
    std::vector<Bytes> stage2;
    for (char c = 'a'; c < 'a' + 20; c++) stage2.push_back(print(std::string(7997, c)) + (c == 'a' + 19 ? signon(2) : Bytes{}));
    std::vector<Datagram> taken;
    auto keep = [&](const std::vector<Datagram>& more) { taken.insert(taken.end(), more.begin(), more.end()); };
    serverMessage(nextInfo);
    keep(ackEach());
    request("prespawn");
    for (size_t i = 0; i < stage2.size(); i++) {
        serverMessage(stage2[i]);
        if (i == 0) keep(ackEach());
        for (int k = 0; i == 1 && k < 3; k++) {  // three fragments into the second, then nothing
            auto round = got();
            keep(round);
            if (!round.empty()) fromWatcher(wire::ack(wire::sequence(round[0])));
        }
    }
    EXPECT_EQ(console().find("timed out"), std::string::npos);
    keep(ackEach());  // the rest of the message it is in
    serverMessage(signon(3));
    keep(ackEach());
    fakeplatform::advanceSeconds(2);
    serverUnreliable({1});
    keep(ackEach());
    request("prespawn");
    keep(ackEach());
    request("spawn");
    keep(ackEach());
    ASSERT_TRUE(slotInUse(FirstObserverSlot));
    EXPECT_EQ(slotTable.slot[FirstObserverSlot].state, SlotInGame);
    std::vector<Bytes> expected = {nextInfo, stage2[0], stage2[1], wire::stringMessage(9, "reconnect\n"), nextInfo};
    expected.insert(expected.end(), stage2.begin(), stage2.end());
    std::vector<Bytes> messages = wire::messages(taken);
    ASSERT_EQ(messages.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); i++) EXPECT_EQ(messages[i], expected[i]) << i;
    EXPECT_EQ(messages.back().back(), 3);  // the state block
    // Removed only when silent for two minutes, and the console says so.
    console();
    fakeplatform::advanceSeconds(121);
    fromHost(wire::unreliable(0, wire::move(0, 0, 0)));
    EXPECT_NE(console().find("Observer unnamed timed out.\n"), std::string::npos);
}

TEST_F(Observers, AnObserverThatTookAllOfTheNextLevelsStage2GetsItsStage3AtItsSpawn) {
    playHost(0);
    catchUpToRecord2();
    ackEach();
    request("spawn");
    ackEach();
    serverMessage(info);  // the next level, which the host takes faster
    ackEach();
    request("prespawn");
    serverMessage(stage2);
    ackEach();
    serverMessage(signon(3));
    EXPECT_TRUE(got().empty());  // not before its own spawn
    request("spawn");
    auto stage3 = got();  // at once, not a resend period later
    ASSERT_EQ(stage3.size(), 1u);
    EXPECT_EQ(wire::payload(stage3[0]), signon(3));
}

TEST_F(Observers, AnObserverWhoseRestOfAMessageCannotBeKeptIsTimedOutAndLetGo) {
    playHost(0);
    catchUpToRecord2();
    ackEach();
    request("spawn");
    ackEach();
    serverMessage(print(std::string(65000, 'x')));  // the whole table; its client takes only the start
    EXPECT_EQ(got().size(), 1u);
    console();
    serverMessage(print("next"));  // the table wraps: the rest is more than a catch-up message holds
    EXPECT_EQ(console(), "Observer unnamed timed out.\n");
    EXPECT_FALSE(slotInUse(FirstObserverSlot));
    auto out = to(sent(), watcher);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(wire::payload(out.back()), wire::stringMessage(9, "toggleconsole\n") + (Bytes{2, 0}));
}

// A long message after the level's end (a finale's text) stops nothing: the next level's does.
TEST_F(Observers, ObserversSeeTheIntermissionUntilTheNextLevelsSignonBegins) {
    playHost(0);
    catchUpToRecord2();
    ackEach();
    request("spawn");
    ackEach();
    auto unreliables = [&] {
        int count = 0;
        for (const Datagram& d : to(sent(), watcher)) count += wire::flags(d) == 0x10;
        return count;
    };
    serverMessage({30});  // svc_intermission
    const Bytes finale = print(std::string(1500, 'f'));
    serverMessage(finale);
    EXPECT_EQ(wire::messages(ackEach()), std::vector<Bytes>({{30}, finale}));
    serverUnreliable({1});
    EXPECT_EQ(unreliables(), 1);
    serverMessage(info);
    serverUnreliable({1});
    EXPECT_EQ(unreliables(), 0);  // until its client is in the new level
}

TEST_F(Observers, AServerDisconnectEndsACatchUpAndNothingOfTheOldLevelFollowsTheReconnectOrder) {
    playHost(0);
    catchUpToRecord2();  // record 2 in flight
    sent();
    fromHost(wire::reliable(0, wire::stringCommand("say proxy:disconnect")));
    // Inside a message, its client takes the rest first; the order comes ahead of the next catch-up.
    for (const Datagram& d : to(sent(), watcher)) EXPECT_EQ(wire::payload(d)[0], 8);
    ackEach();
    EXPECT_EQ(slotTable.slot[FirstObserverSlot].catchUpTaken, NoCatchUpMessage);
    request("spawn");
    EXPECT_TRUE(got().empty());
}

TEST_F(Observers, TheWelcomeBlockComesOnceASecondTwentyTimesAndWhileJumpIsHeld) {
    playHost(0);
    catchUpToRecord2();
    ackEach();
    request("spawn");
    ackEach();
    // A second: a move from its client, then two server datagrams; the block rides on the first only.
    auto second = [&](uint8_t buttons) {
        fakeplatform::advanceSeconds(1);
        fromWatcher(wire::unreliable(0, wire::move(0, 0, 0, buttons)));
        serverUnreliable({1});
        serverUnreliable({1});
        std::vector<Bytes> payloads;
        for (const Datagram& d : to(sent(), watcher)) payloads.push_back(wire::payload(d));
        return payloads;
    };
    serverUnreliable({});  // the first block, with the texts of its joining
    sent();
    const Bytes plain{1}, welcomed{1, 1};
    for (int i = 1; i < 25; i++) EXPECT_EQ(second(0), (std::vector<Bytes>{i < 20 ? welcomed : plain, plain})) << i;
    EXPECT_EQ(second(2), (std::vector<Bytes>{welcomed, plain}));  // holding jump
    // A datagram with no room for the block: the block follows on its own, numbered next.
    fakeplatform::advanceSeconds(1);
    const Bytes big(2040, 1);
    serverUnreliable(big);
    auto out = to(sent(), watcher);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(wire::payload(out[0]), big);
    EXPECT_EQ(wire::sequence(out[1]), wire::sequence(out[0]) + 1);
    EXPECT_EQ(wire::payload(out[1]), Bytes(welcomeBlock.bytes, welcomeBlock.bytes + welcomeBlock.length));
}

}  // namespace
