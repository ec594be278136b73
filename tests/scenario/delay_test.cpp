// Observers watching late: the game reaches them and the demo file a set time after the host, on
// the in-memory platform's millisecond clock.
#include <algorithm>
#include <utility>

#include "observers/delay.h"
#include "scenario/harness.h"

namespace {

Bytes print(const std::string& text) { return wire::stringMessage(8, text); }
Bytes model(const std::string& map) { return wire::stringMessage('m', "aps/" + map + ".bsp"); }
Bytes info(const std::string& map) {
    return Bytes{11, 15, 0, 0, 0, 4, 0, 'T', 0} + model(map) + Bytes{0, 0, 25, 1};
}
const Bytes Entity = {7, 0, 0, 0, 0, 0x80, 1};  // svc_time, then an update of entity 1
const Bytes View = {10, 0, 64, 0};              // svc_setangle of the host's move

bool has(const Bytes& in, const Bytes& what) {
    return std::search(in.begin(), in.end(), what.begin(), what.end()) != in.end();
}
bool holds(const std::vector<Datagram>& all, const Bytes& what) {
    return std::any_of(all.begin(), all.end(), [&](const Datagram& d) { return has(d.bytes, what); });
}

struct Delayed : ProxyScenario {
    void reliable(const Bytes& message) { fromServer(wire::reliable(serverSeq++, message)); }
    void level(const std::string& map) {
        for (const Bytes& message : {info(map), Bytes{25, 2}, Bytes{25, 3}}) reliable(message);
    }
    void later(uint64_t ms) {
        fakeplatform::advanceMilliseconds(ms);
        step();
    }
    std::string say(const std::string& command) {
        take(hostGot);
        fromHost(wire::reliable(hostSeq++, wire::stringCommand("say proxy:" + command)));
        return wire::allPrints(take(hostGot));
    }
    // Routes what the proxy sent; the observer takes its accept and acks every reliable datagram.
    void pump() {
        for (bool acked = true; acked;) {
            acked = false;
            for (const Datagram& d : sent()) {
                (d.to == host ? hostGot : d.to == observer ? observerGot : others).push_back(d);
                if (d.to == observer && d.bytes[0] == 0x80)  // the accept
                    socket = fakeplatform::loopback(uint16_t(d.bytes[5] | d.bytes[6] << 8));
                else if (d.to == observer && (wire::flags(d) & 0xF7) == 0x01)
                    acked = fakeplatform::inject(socket, observer, wire::ack(wire::sequence(d)));
            }
            if (acked) step();
        }
    }
    std::vector<Datagram> take(std::vector<Datagram>& got) {
        pump();
        return std::exchange(got, {});
    }
    // After a reconnect order record 1 waits for the resend timer, which the server's datagrams run.
    std::vector<Datagram> signOn(bool reconnected = false) {
        pump();
        if (reconnected) {
            fakeplatform::advanceSeconds(2);
            fromServer(wire::unreliable(0, {1}));
            later(uint64_t(delaySeconds()) * 1000);
        }
        for (const char* command : {"prespawn", "spawn"}) {
            pump();
            fromClient(observer, socket, wire::reliable(observerSeq++, wire::stringCommand(command)));
        }
        std::vector<Datagram> got = take(observerGot);
        EXPECT_EQ(slotTable.slot[2].state, SlotInGame);
        return got;
    }
    std::vector<Datagram> join() {
        fromClient(observer, listenAddress(), wire::connectRequest());
        return signOn();
    }
    uint32_t serverSeq = 0, hostSeq = 0, observerSeq = 0;
    NetAddress observer = fakeplatform::loopback(27100, 4), socket;
    std::vector<Datagram> hostGot, observerGot, others;
};

TEST_F(Delayed, TheGameLevelsAndDemoReachTheObserverSideFiveSecondsAfterTheHost) {
    playWithServer({"-o", "2", "-D", "5", "-d", "late"});
    level("e1m1");
    later(5000);
    level("e1m2");
    later(2000);
    // Joining now brings the observer into the game as it was five seconds ago.
    std::vector<Datagram> caughtUp = join();
    EXPECT_TRUE(holds(caughtUp, model("e1m1")) && !holds(caughtUp, model("e1m2")));
    reliable(print("frag\n"));
    fromServer(wire::unreliable(0, Entity));
    fromHost(wire::unreliable(0, wire::move(0, 64, 0)));
    std::vector<Datagram> live = take(hostGot);
    EXPECT_TRUE(holds(live, print("frag\n")) && holds(live, Entity));
    EXPECT_NE(wire::allPrints(take(observerGot)).find("Observer unnamed joined"), std::string::npos);  // at once
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 3000);  // the loop wakes for the next level's start
    later(2999);
    EXPECT_TRUE(take(observerGot).empty());
    later(1);
    EXPECT_TRUE(holds(signOn(), model("e1m2")));
    // What the host got and saw, five seconds late: the print, the entity, the host's view.
    later(1999);
    std::vector<Datagram> early = take(observerGot);
    later(1);
    std::vector<Datagram> due = take(observerGot);
    for (const Bytes& b : {print("frag\n"), Entity, View}) EXPECT_TRUE(!holds(early, b) && holds(due, b));

    // Record commands act on the files as playback reaches them: each file ends at its own stop and
    // holds what the host got while it was named.
    console();
    reliable(print("last\n"));
    EXPECT_EQ(say("record stop"), "Demorecording stopped.\n");
    reliable(print("between\n"));
    EXPECT_EQ(say("record x"), "");
    reliable(print("x only\n"));
    EXPECT_EQ(say("record stop"), "Demorecording stopped.\n");
    EXPECT_TRUE(fakeplatform::fileOpen("late02.dem"));
    later(5000);
    EXPECT_EQ(console(), "Completed late02.dem.\nRecording to x01.dem.\nCompleted x01.dem.\n");
    Bytes late = fakeplatform::fileContents("late02.dem"), x = fakeplatform::fileContents("x01.dem");
    EXPECT_TRUE(has(late, print("last\n")) && !has(late, print("between\n")) && !has(late, print("x only\n")));
    EXPECT_TRUE(has(x, print("x only\n")) && !has(x, print("between\n")) && has(x, model("e1m2")));
}

TEST_F(Delayed, ADelayChangeBringsObserversInAgainAtTheNewPointAfterTheMessageTheyAreIn) {
    playWithServer({"-o", "2", "-D", "5", "-d", "late"});
    for (const char* wrong : {"delay 301", "delay -1", "delay 5s"})
        EXPECT_EQ(say(wrong), "Delay must be 0 to 300 seconds.\n") << wrong;
    EXPECT_EQ(say("delay"), "Observer delay is currently\nset to 5 seconds.\n");
    level("e1m1");
    later(5000);
    join();
    // A message in three fragments: the observer has taken the first when the delay changes.
    const Bytes m = print(std::string(2500, 'x'));
    for (size_t at = 0; at < m.size(); at += 1024) {
        size_t end = std::min(m.size(), at + 1024);
        fromServer(wire::reliable(serverSeq++, Bytes(m.begin() + long(at), m.begin() + long(end)), end == m.size()));
        if (at == 0) later(1000);
    }
    reliable(print("soon\n"));
    later(4000);
    std::vector<Datagram> got = take(observerGot);
    EXPECT_EQ(say("delay 0"), "Observer delay set to\n0 seconds.\n");
    // It finishes that message, then is caught up again at the live point: the print is behind it.
    for (const Datagram& d : signOn(true)) got.push_back(d);
    std::vector<Bytes> taken = wire::messages(got);
    ASSERT_GE(taken.size(), 2u);
    EXPECT_EQ(taken[0], m);
    EXPECT_EQ(taken[1], wire::stringMessage(9, "reconnect\n"));
    EXPECT_FALSE(holds(got, print("soon\n")));
    reliable(print("now\n"));
    EXPECT_TRUE(holds(take(observerGot), print("now\n")));
}

TEST_F(Delayed, TheRelaysReadTheLiveGamesProtocolWhileTheObserversPlayTheOldOne) {
    playWithServer({"-o", "2", "-D", "5", "-c", "100"});
    // A 999 level with four-byte coordinates, played on the observer side; then a level under 15.
    reliable(Bytes{11, 0xE7, 3, 0, 0, 0x10, 0, 0, 0, 4, 0, 'T', 0} + model("e1m1") + Bytes{0, 0, 25, 1});
    later(5000);
    fromServer(wire::unreliable(0, {0x82, 5, 2, 0}));  // not part of the reliable stream the relays follow
    reliable(info("e1m2"));
    sent();
    // Entities 5 and 6 at x = 0.25: under 999's coordinates the 6 would be read as svc_disconnect.
    fromServer(wire::unreliable(0, {0x82, 5, 2, 0, 0x82, 6, 2, 0}));
    EXPECT_TRUE(slotTable.serverConnected);
    // The host's 16-byte moves are moves: the cap thins out the repeat.
    for (uint32_t n : {1u, 2u}) fromHost(wire::unreliable(n, wire::move(0, 64, 0)));
    EXPECT_EQ(to(sent(), serverData).size(), 1u);
}

TEST_F(Delayed, TheLineGrowsForABusyServerAndPastFourTimesItsSizeObserversCatchUpOncePerOverflow) {
    playWithServer({"-o", "2", "-D", "1", "-d", "late"});
    level("e1m1");
    later(1000);
    join();
    take(hostGot);
    console();
    // 60 KB messages 40 ms apart: the line of one second grows twice, the 15th passes four times its size.
    auto send = [&](int count) {
        for (int i = 0; i < count; i++, later(40)) reliable(print(std::string(60000, char('a' + i))));
    };
    send(14);
    EXPECT_EQ(console(), "");
    EXPECT_EQ(delayLineCapacity(), 4 * DelayLineBytesPerSecond);
    send(1);  // half the line is played at once: the observer is 0.28 s behind the host
    EXPECT_EQ(console(), "Delay line full: observers catch up again 0.2 seconds late.\n");
    send(7);  // a second overflow within the minute: the console is not told again
    EXPECT_EQ(console(), "");
    std::vector<Datagram> got = take(hostGot);
    EXPECT_EQ(got.size(), 22u);  // the host never waits
    got = take(observerGot);
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Datagram& d) { return has(d.bytes, wire::stringMessage(9, "reconnect\n")); }), 2);
    // A break plays what the line still holds through to the file.
    reliable(print("end\n"));
    fakeplatform::requestBreak();
    EXPECT_FALSE(runLoopPass());
    shutDown();
    EXPECT_TRUE(has(fakeplatform::fileContents("late01.dem"), print(std::string(60000, 'g'))));
    EXPECT_TRUE(has(fakeplatform::fileContents("late01.dem"), print("end\n")));
}

}  // namespace
