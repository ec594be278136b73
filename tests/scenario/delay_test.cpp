// Observers watching late: the game reaches them and the demo file a set time after the host, on
// the in-memory platform's millisecond clock.
#include <algorithm>

#include "observers/delay.h"
#include "scenario/harness.h"

namespace {

using fakeplatform::loopback;

Bytes operator+(Bytes a, const Bytes& b) { return wire::concat(std::move(a), b); }
Bytes print(const std::string& text) { return wire::stringMessage(8, text); }
Bytes info(const std::string& map) {
    return Bytes{11, 15, 0, 0, 0, 4, 0} + wire::stringMessage('T', "itle") +
           wire::stringMessage('m', "aps/" + map + ".bsp") + Bytes{0, 0, 25, 1};
}
const Bytes Entity = {7, 0, 0, 0, 0, 0x80, 1};  // svc_time, then an update of entity 1

bool holds(const std::vector<Datagram>& all, const Bytes& bytes) {
    for (const Datagram& d : all)
        if (std::search(d.bytes.begin(), d.bytes.end(), bytes.begin(), bytes.end()) != d.bytes.end()) return true;
    return false;
}

struct Delayed : ProxyScenario {
    void play(const std::string& seconds) { playWithServer({"-o", "2", "-D", seconds, "-d", "late"}); }
    void reliable(const Bytes& message) { fromServer(wire::reliable(serverSeq++, message)); }
    void level(const std::string& map) {
        reliable(info(map));
        reliable({25, 2});
        reliable({25, 3});
    }
    void later(uint64_t ms) {
        fakeplatform::advanceMilliseconds(ms);
        step();
    }
    std::string say(const std::string& command) {
        fromHost(wire::reliable(hostSeq++, wire::stringCommand("say proxy:" + command)));
        return wire::allPrints(toHost());
    }
    std::vector<Datagram> toHost() {
        std::vector<Datagram> all = take(), mine;
        for (const Datagram& d : all) (d.to == host ? mine : held).push_back(d);
        return mine;
    }
    // The observer acks every reliable datagram it gets; all that reached it.
    std::vector<Datagram> take() {
        std::vector<Datagram> all = held, more = sent();
        held.clear();
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }
    std::vector<Datagram> pump() { return pump(take()); }
    std::vector<Datagram> pump(std::vector<Datagram> got) {
        std::vector<Datagram> all;
        for (bool acked = true; acked; got = sent()) {
            acked = false;
            for (const Datagram& d : to(got, observer)) {
                all.push_back(d);
                if ((wire::flags(d) & 0xF7) != 0x01) continue;
                fakeplatform::inject(socket, observer, wire::ack(wire::sequence(d)));
                acked = true;
            }
            if (acked) step();
        }
        return all;
    }
    std::vector<Datagram> signOn() { return signOn(take()); }
    std::vector<Datagram> signOn(std::vector<Datagram> got) {
        std::vector<Datagram> all = pump(got);
        for (const char* command : {"prespawn", "spawn"}) {
            fakeplatform::inject(socket, observer, wire::reliable(observerSeq++, wire::stringCommand(command)));
            step();
            std::vector<Datagram> more = pump();
            all.insert(all.end(), more.begin(), more.end());
        }
        EXPECT_EQ(slotTable.slot[2].state, SlotInGame);
        return all;
    }
    // After a reconnect order record 1 waits for the resend timer, run by the server's datagrams.
    std::vector<Datagram> resendTimer() {
        std::vector<Datagram> all = pump();
        fakeplatform::advanceSeconds(2);
        fromServer(wire::unreliable(0, {1}));
        later(uint64_t(delaySeconds()) * 1000);
        std::vector<Datagram> more = signOn();
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }
    std::vector<Datagram> join() {
        fakeplatform::inject(listenAddress(), observer, wire::connectRequest());
        step();
        std::vector<Datagram> got = to(sent(), observer);
        socket = loopback(uint16_t(got.front().bytes[5] | got.front().bytes[6] << 8));  // the accept
        return signOn(got);
    }
    uint32_t serverSeq = 0, hostSeq = 0, observerSeq = 0;
    NetAddress observer = loopback(27100, 4), socket;
    std::vector<Datagram> held;  // sent to others while the host's reply was read
};

TEST_F(Delayed, TheGameLevelsAndDemoReachTheObserverSideFiveSecondsAfterTheHost) {
    play("5");
    level("e1m1");
    later(5000);
    level("e1m2");
    later(2000);
    // Joining now brings the observer into the game as it was five seconds ago.
    std::vector<Datagram> caughtUp = join();
    EXPECT_TRUE(holds(caughtUp, wire::stringMessage('m', "aps/e1m1.bsp")));
    EXPECT_FALSE(holds(caughtUp, wire::stringMessage('m', "aps/e1m2.bsp")));
    reliable(print("frag\n"));
    fromServer(wire::unreliable(0, Entity));
    fromHost(wire::unreliable(0, wire::move(0, 64, 0)));
    std::vector<Datagram> live = to(sent(), host);
    EXPECT_TRUE(holds(live, print("frag\n")));
    EXPECT_TRUE(holds(live, Entity));
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 3000);  // the loop wakes for the next level's start
    later(2999);
    EXPECT_TRUE(pump().empty());
    later(1);
    EXPECT_TRUE(holds(signOn(), wire::stringMessage('m', "aps/e1m2.bsp")));
    EXPECT_NE(console().find("Completed late01.dem."), std::string::npos);
    // What the host got and saw, five seconds late: the print, the entity, the host's view.
    later(1999);
    std::vector<Datagram> early = pump();
    EXPECT_FALSE(holds(early, print("frag\n")) || holds(early, Entity) || holds(early, {10, 0, 64, 0}));
    later(1);
    std::vector<Datagram> due = pump();
    EXPECT_TRUE(holds(due, print("frag\n")));
    EXPECT_TRUE(holds(due, Entity));
    EXPECT_TRUE(holds(due, {10, 0, 64, 0}));

    // record stop ends the file once the observer side has played what the host received before it.
    reliable(print("last\n"));
    EXPECT_EQ(say("record stop"), "Demorecording stopped.\n");
    EXPECT_TRUE(fakeplatform::fileOpen("late02.dem"));
    later(5000);
    EXPECT_FALSE(fakeplatform::fileOpen("late02.dem"));
    Bytes file = fakeplatform::fileContents("late02.dem");
    EXPECT_NE(std::search(file.begin(), file.end(), Entity.begin(), Entity.end()), file.end());
    Bytes last = print("last\n");
    EXPECT_NE(std::search(file.begin(), file.end(), last.begin(), last.end()), file.end());
}

TEST_F(Delayed, ADelayChangeBringsObserversInAgainAtTheNewPoint) {
    play("5");
    EXPECT_EQ(say("delay"), "Observer delay is currently\nset to 5 seconds.\n");
    for (const char* wrong : {"delay 301", "delay -1", "delay 5s"})
        EXPECT_EQ(say(wrong), "Delay must be 0 to 300 seconds.\n") << wrong;
    EXPECT_EQ(delaySeconds(), 5);
    level("e1m1");
    later(5000);
    join();
    reliable(print("soon\n"));
    later(1000);
    EXPECT_EQ(say("delay 0"), "Observer delay set to\n0 seconds.\n");
    // Caught up again at the live point: the print already reached the observer side.
    std::vector<Datagram> again = resendTimer();
    EXPECT_TRUE(holds(again, wire::stringMessage(9, "reconnect\n")));
    EXPECT_FALSE(holds(again, print("soon\n")));
    reliable(print("now\n"));
    EXPECT_TRUE(holds(pump(), print("now\n")));
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 10000);
}

TEST_F(Delayed, AServerSendingMoreThanTheLineHoldsNeverHoldsUpTheHost) {
    play("1");
    EXPECT_EQ(delayLineCapacity(), DelayLineBytesPerSecond);
    level("e1m1");
    later(1000);
    join();
    for (char c : std::string("abcd")) reliable(print(std::string(60000, c)));
    EXPECT_EQ(toHost().size(), 4u);
    EXPECT_NE(console().find("Delay line full: observers catch up again 0 seconds late.\n"), std::string::npos);
    later(1000);
    EXPECT_TRUE(holds(resendTimer(), wire::stringMessage(9, "reconnect\n")));
    // A break plays what the line still holds through to the file.
    reliable(print("end\n"));
    fakeplatform::requestBreak();
    EXPECT_FALSE(runLoopPass());
    shutDown();
    Bytes file = fakeplatform::fileContents("late01.dem");
    for (const Bytes& b : {print(std::string(60000, 'd')), print("end\n")})
        EXPECT_NE(std::search(file.begin(), file.end(), b.begin(), b.end()), file.end());
}

}  // namespace
