// The proxy command set: replies, settings changed, observers kicked and the server connection.
#include "console/commands.h"
#include "console/intercept.h"
#include "demo/recorder.h"
#include "net/limiter.h"
#include "net/relay.h"
#include "observers/capture.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

struct CommandsTest : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        limiter.ticksPerMs = 1000;
        settings.observers = 4;
        settings.slotLimit = 5;
        openSlot(HostSlot, SlotWaiting, "host");
        slotTable.hostConnected = true;
    }
    static std::string run(const std::string& text, uint32_t sequence = 1) {
        runProxyCommand(text.c_str(), sequence);
        return consoleState.commandReply;
    }
    static void openObservers(std::initializer_list<const char*> names) {
        int i = FirstObserverSlot;
        for (const char* name : names) openSlot(i++, SlotInGame, name);
        fakeplatform::takeSent();
    }
    // Each command with the reply it must get, in order.
    static void expectReplies(std::initializer_list<std::pair<const char*, const char*>> exchanges) {
        for (const auto& e : exchanges) EXPECT_EQ(e.second, run(e.first)) << e.first;
    }
};

TEST_F(CommandsTest, HelpRatesAndMessageModeReplies) {
    // The two rate directions differ in their full stops.
    expectReplies({
        {"proxy:help connect", "Usage: connect server [port]\nConnect to quake server.\nServer can be name or ip.\n"},
        {"proxy:help observing", "Unrecognized command help.\n"},
        {"proxy:Help", "Unrecognized command Help.\n"},
        {"proxy:c2sbps", "Client to server packet filtering\nis currently disabled.\n"},
        {"proxy:c2sbps 2500", "Maximum client to server bytes\nper second set to 2500\n"},
        {"proxy:c2sbps", "Maximum client to server bytes per\nsecond is currently set to 2500\n"},
        {"proxy:c2sbps fast", "Client to server packet filtering\ndisabled\n"},
        {"proxy:s2cbps", "Server to client packet filtering\nis currently disabled.\n"},
        {"proxy:s2cbps 8000", "Maximum server to client bytes\nper second set to 8000.\n"},
        {"proxy:s2cbps", "Maximum server to client bytes per\nsecond is currently set to 8000.\n"},
        {"proxy:s2cbps -40", "Server to client packet filtering\ndisabled.\n"},
        {"proxy:mmode local", "Local message mode.\n"},
        {"proxy:mmode GLOBAL", "Local message mode.\n"},
        {"proxy:mmode", "Message mode is currently\nset to: local.\n"}});
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
    expectReplies({{"proxy:kick", "You missed.\n"}, {"proxy:kick #0", "You missed.\n"}, {"proxy:kick an", "You missed.\n"}});
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

TEST_F(CommandsTest, HostOwnViewOffset) {
    expectReplies({{"proxy:voffset 0 300", "View offset x=44 y=0 z=0\n"},
                   {"proxy:voffset 0 200", "View offset x=-56 y=0 z=0\n"},
                   {"proxy:voffset", "Must specify client\n"},
                   {"proxy:voffset 31 1", "Illegal observer number\n"},
                   {"proxy:voffset -1 1", "Illegal observer number\n"}});
    hostSlot().viewOffset[1] = 9;
    EXPECT_EQ("View offset x=1 y=9 z=0\n", run("proxy:voffset 0 1"));
}

TEST_F(CommandsTest, ObserverOffsetIsStuffedIntoItsGame) {
    openObservers({"alice"});
    EXPECT_EQ("Observer 1 offsets: 10 -20\n", run("proxy:voffset 1 10 -20"));
    std::vector<Bytes> sent = sentTo(2);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(Bytes{9} + str("say proxy:voffset 0 10 -20"), Bytes(sent[0].begin() + HeaderSize, sent[0].end()));

    // A free slot is sent nothing; the reply stays the same.
    EXPECT_EQ("Observer 3 offsets: 5\n", run("proxy:voffset 3 5"));
    EXPECT_TRUE(fakeplatform::takeSent().empty());
}

TEST_F(CommandsTest, ObserverOffsetRestIsCutAndKeptToNumbers) {
    openObservers({"alice"});
    run("proxy:voffset 1 5;quit");
    EXPECT_EQ("Observer 1 offsets: 5\n", std::string(consoleState.commandReply));
    std::string longRest(100, '1');
    run("proxy:voffset 1 " + longRest);
    std::vector<Bytes> sent = sentTo(2);
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(size_t(HeaderSize + 80), sent[1].size());
    EXPECT_EQ(0, sent[1].back());
}

TEST_F(CommandsTest, RecordStatesAndRefusedNames) {
    expectReplies({{"proxy:record", "Demorecording is currently off.\n"},
                   {"proxy:record stop", "Demorecording stopped.\n"},
                   {"proxy:record game", "Next level will be recorded to game01.dem\n"},
                   {"proxy:record", "Next level will be recorded to game01.dem\n"}});
    EXPECT_EQ(1, settings.demoNumber);
    EXPECT_EQ("Demo name too long.\n", run("proxy:record " + std::string(80, 'd')));
    EXPECT_EQ("Demo name too long.\n", run("proxy:record " + std::string(79, 'd')));
    EXPECT_STREQ("game", settings.demoname);
    EXPECT_EQ("Demorecording stopped.\n", run("proxy:record stop"));
    EXPECT_EQ(0, settings.demoNumber);
}

TEST_F(CommandsTest, RecordWhileInTheGameStartsAtOnce) {
    hostSlot().state = SlotInGame;
    slotTable.serverConnected = true;
    capture.recordValid[0] = capture.recordValid[1] = true;  // the level's signon is captured
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
