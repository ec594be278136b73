// The proxy command set: replies, settings changed, observers kicked and the server connection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console/commands.h"
#include "console/intercept.h"
#include "core/settings.h"
#include "core/startup.h"
#include "demo/recorder.h"
#include "net/framing.h"
#include "net/limiter.h"
#include "net/relay.h"
#include "net/senders.h"
#include "observers/slots.h"
#include "platform/memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeplatform::reset();
        resetProxyState();
        limiter.ticksPerMs = 1000;
        settings.observers = 4;
        settings.slotLimit = 5;
        openSlot(HostSlot, SlotWaiting, "host");
        slotTable.hostConnected = true;
    }

    static void openSlot(int i, int state, const char* name) {
        Slot& s = slotTable.slot[i];
        s.socket = platform::openUdpSocket();
        platform::NetAddress bound = fakeplatform::loopback(0);
        platform::bindSocket(s.socket, bound);
        s.peerAddress = fakeplatform::loopback(uint16_t(40000 + i), uint8_t(i + 1));
        s.state = state;
        setPlayerName(s, name);
        if (i >= FirstObserverSlot) slotTable.observerCount++;
    }

    static std::string run(const char* text, uint32_t sequence = 1) {
        runProxyCommand(text, sequence);
        return consoleState.commandReply;
    }

    static std::vector<Bytes> sentTo(int slot) {
        std::vector<Bytes> to;
        for (const auto& d : fakeplatform::takeSent())
            if (d.to == slotTable.slot[slot].peerAddress) to.push_back(d.bytes);
        return to;
    }

    static std::string observerTexts() {
        return std::string(reinterpret_cast<const char*>(observerPrints.bytes + 2),
                           size_t(observerPrintTextLength()));
    }

    void openObservers(std::initializer_list<const char*> names) {
        int i = FirstObserverSlot;
        for (const char* name : names) openSlot(i++, SlotInGame, name);
        fakeplatform::takeSent();
    }
};

TEST_F(CommandsTest, HelpArgumentThatIsNoCommandNamesHelp) {
    EXPECT_EQ("Usage: connect server [port]\nConnect to quake server.\nServer can be name or ip.\n",
              run("proxy:help connect"));
    EXPECT_EQ("Unrecognized command help.\n", run("proxy:help observing"));
    EXPECT_EQ("Unrecognized command Help.\n", run("proxy:Help"));
}

// The two directions differ in their full stops.
TEST_F(CommandsTest, RateReplies) {
    EXPECT_EQ("Client to server packet filtering\nis currently disabled.\n", run("proxy:c2sbps"));
    EXPECT_EQ("Maximum client to server bytes\nper second set to 2500\n", run("proxy:c2sbps 2500"));
    EXPECT_EQ("Maximum client to server bytes per\nsecond is currently set to 2500\n", run("proxy:c2sbps"));
    EXPECT_EQ("Client to server packet filtering\ndisabled\n", run("proxy:c2sbps fast"));
    EXPECT_EQ("Server to client packet filtering\nis currently disabled.\n", run("proxy:s2cbps"));
    EXPECT_EQ("Maximum server to client bytes\nper second set to 8000.\n", run("proxy:s2cbps 8000"));
    EXPECT_EQ("Maximum server to client bytes per\nsecond is currently set to 8000.\n", run("proxy:s2cbps"));
    EXPECT_EQ("Server to client packet filtering\ndisabled.\n", run("proxy:s2cbps -40"));
    EXPECT_EQ(0, settings.s2cbps);
}

TEST_F(CommandsTest, RatesNeedTheTimer) {
    limiter.ticksPerMs = 0;
    EXPECT_EQ("Timer not available. Packet filtering disabled.\n", run("proxy:s2cbps 8000"));
    EXPECT_EQ(0, settings.s2cbps);
}

TEST_F(CommandsTest, ObserversListAndLimit) {
    openObservers({"alice", "bob"});
    slotTable.slot[3].peerAddress.ip = 0xC0A80A0B;
    EXPECT_EQ(" 1 alice           127.0.0.3\n 2 bob             192.168.10.11\n2 out of max 4 observers connected.\n",
              run("proxy:observers"));
    EXPECT_EQ("Don't be so negative\n", run("proxy:observers -1"));
    EXPECT_EQ(4, settings.observers);
    EXPECT_EQ("Maximum number of observers\nset to 30\n", run("proxy:observers 99"));
    EXPECT_EQ(31, settings.slotLimit);
}

TEST_F(CommandsTest, LoweringTheLimitKicksFromTheTopDown) {
    openObservers({"alice", "bob", "carol"});
    EXPECT_EQ("Maximum number of observers\nset to 0\n", run("proxy:observers 0"));
    EXPECT_EQ(1, settings.slotLimit);
    EXPECT_EQ(0, slotTable.observerCount);
    EXPECT_EQ("Observer carol got the boot.\nObserver bob got the boot.\nObserver alice got the boot.\n",
              observerTexts());
}

TEST_F(CommandsTest, KickPatterns) {
    openObservers({"ann", "anna", "bob", "ab"});
    EXPECT_EQ("You missed.\n", run("proxy:kick"));
    EXPECT_EQ("You missed.\n", run("proxy:kick #0"));
    EXPECT_EQ("You missed.\n", run("proxy:kick an"));
    EXPECT_EQ("", run("proxy:kick ann"));
    EXPECT_FALSE(slotInUse(2));
    EXPECT_TRUE(slotInUse(3));
    EXPECT_EQ("", run("proxy:kick an*"));
    EXPECT_FALSE(slotInUse(3));
    EXPECT_EQ("", run("proxy:kick #3"));
    EXPECT_FALSE(slotInUse(4));
    EXPECT_EQ("", run("proxy:kick *"));
    EXPECT_EQ(0, slotTable.observerCount);
    // The kicked observer was told before its slot went.
    Bytes first = sentTo(5).at(0);
    EXPECT_EQ(std::string("Kicked by console.\n"), reinterpret_cast<const char*>(first.data() + 10));
}

TEST_F(CommandsTest, MessageMode) {
    EXPECT_EQ("Local message mode.\n", run("proxy:mmode local"));
    EXPECT_EQ("Local message mode.\n", run("proxy:mmode GLOBAL"));
    EXPECT_EQ("Message mode is currently\nset to: local.\n", run("proxy:mmode"));
}

TEST_F(CommandsTest, HostOwnViewOffset) {
    EXPECT_EQ("View offset x=44 y=0 z=0\n", run("proxy:voffset 0 300"));
    EXPECT_EQ("View offset x=-56 y=0 z=0\n", run("proxy:voffset 0 200"));
    hostSlot().viewOffset[1] = 9;
    EXPECT_EQ("View offset x=1 y=9 z=0\n", run("proxy:voffset 0 1"));
    EXPECT_EQ("Must specify client\n", run("proxy:voffset"));
    EXPECT_EQ("Illegal observer number\n", run("proxy:voffset 31 1"));
    EXPECT_EQ("Illegal observer number\n", run("proxy:voffset -1 1"));
}

TEST_F(CommandsTest, ObserverOffsetIsStuffedIntoItsGame) {
    openObservers({"alice"});
    EXPECT_EQ("Observer 1 offsets: 10 -20\n", run("proxy:voffset 1 10 -20"));
    std::vector<Bytes> sent = sentTo(2);
    ASSERT_EQ(1u, sent.size());
    std::string stuffed = "\x09say proxy:voffset 0 10 -20";
    stuffed.push_back(0);
    EXPECT_EQ(stuffed, std::string(sent[0].begin() + HeaderSize, sent[0].end()));

    // A free slot is sent nothing; the reply stays the same.
    EXPECT_EQ("Observer 3 offsets: 5\n", run("proxy:voffset 3 5"));
    EXPECT_TRUE(fakeplatform::takeSent().empty());
}

TEST_F(CommandsTest, ObserverOffsetRestIsCutAndKeptToNumbers) {
    openObservers({"alice"});
    run("proxy:voffset 1 5;quit");
    EXPECT_EQ("Observer 1 offsets: 5\n", std::string(consoleState.commandReply));
    std::string longRest(100, '1');
    run(("proxy:voffset 1 " + longRest).c_str());
    std::vector<Bytes> sent = sentTo(2);
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(size_t(HeaderSize + 80), sent[1].size());
    EXPECT_EQ(0, sent[1].back());
}

TEST_F(CommandsTest, RecordStatesAndRefusedNames) {
    EXPECT_EQ("Demorecording is currently off.\n", run("proxy:record"));
    EXPECT_EQ("Demorecording stopped.\n", run("proxy:record stop"));
    EXPECT_EQ("Next level will be recorded to game01.dem\n", run("proxy:record game"));
    EXPECT_EQ(1, settings.demoNumber);
    EXPECT_EQ("Next level will be recorded to game01.dem\n", run("proxy:record"));
    EXPECT_EQ("Demo name too long.\n", run(("proxy:record " + std::string(80, 'd')).c_str()));
    EXPECT_EQ("Demo name too long.\n", run(("proxy:record " + std::string(79, 'd')).c_str()));
    EXPECT_STREQ("game", settings.demoname);
    EXPECT_EQ("Demorecording stopped.\n", run("proxy:record stop"));
    EXPECT_EQ(0, settings.demoNumber);
}

TEST_F(CommandsTest, RecordWhileInTheGameStartsAtOnce) {
    hostSlot().state = SlotInGame;
    EXPECT_EQ("", run("proxy:record live"));
    EXPECT_TRUE(recording());
    EXPECT_TRUE(fakeplatform::fileOpen("live01.dem"));
    EXPECT_EQ("Currently recording live01.dem.\n", run("proxy:record"));
}

TEST_F(CommandsTest, ConnectOpensTheServerSocketAndRebasesNumbering) {
    EXPECT_EQ("Must specify a server\n", run("proxy:connect"));
    observing.observingMode = true;
    numbering.lastHostReliableSeq = 41;
    hostSlot().state = SlotInGame;
    EXPECT_EQ("trying...\n", run("proxy:connect 127.0.0.9:26001", 17));
    EXPECT_NE(platform::NoSocket, slotTable.serverSocket);
    EXPECT_FALSE(observing.observingMode);
    EXPECT_EQ(SlotWaiting, hostSlot().state);
    EXPECT_EQ(18u, numbering.c2sSeqOffset);
    EXPECT_EQ(42u, hostSlot().seqOffset);
    std::vector<fakeplatform::Datagram> sent = fakeplatform::takeSent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(fakeplatform::loopback(26001, 9), sent[0].to);
    EXPECT_EQ(0x80, sent[0].bytes[0]);
}

TEST_F(CommandsTest, ConnectToAnUnknownNameKeepsTheConnection) {
    fakeplatform::addHostName("quake.test", 0x7F00000A);
    run("proxy:connect quake.test");
    platform::Socket first = slotTable.serverSocket;
    EXPECT_EQ(fakeplatform::loopback(26000, 10), fakeplatform::takeSent().at(0).to);
    EXPECT_EQ("Could not resolve nowhere.test.\n", run("proxy:connect nowhere.test 26001"));
    EXPECT_EQ(first, slotTable.serverSocket);
    EXPECT_TRUE(fakeplatform::takeSent().empty());

    // A second connect leaves the first server with the 9-byte leave datagram.
    run("proxy:connect 127.0.0.11 26002");
    std::vector<fakeplatform::Datagram> sent = fakeplatform::takeSent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ((Bytes{0x00, 0x10, 0x00, 0x09, 0x7F, 0xFF, 0xFF, 0xFF, 0x02}), sent[0].bytes);
    EXPECT_EQ(fakeplatform::loopback(26000, 10), sent[0].to);
    EXPECT_EQ(fakeplatform::loopback(26002, 11), sent.back().to);
}

TEST_F(CommandsTest, DisconnectSaysSoAtOnceAndLeaves) {
    run("proxy:connect 127.0.0.9");
    fakeplatform::takeSent();
    EXPECT_EQ("", run("proxy:disconnect"));
    EXPECT_EQ(platform::NoSocket, slotTable.serverSocket);
    std::vector<Bytes> host = sentTo(HostSlot);
    ASSERT_FALSE(host.empty());
    EXPECT_EQ(std::string("Disconnected.\n"), reinterpret_cast<const char*>(host[0].data() + 10));
}

}  // namespace
