// Proxy commands as the host and its observers say them: every reply, the cut from the datagram,
// chat, observer commands and the chain of proxies.
#include "console/intercept.h"
#include "console/observer_chat.h"
#include "core/print.h"
#include "net/limiter.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

const char HelpSummary[] =
    "say proxy: command [parameters]\nRecognized commands:\n\nhelp [command]       disconnect\n"
    "c2sbps [rate]        s2cbps [rate]\nrecord [name|stop]   observers [max]\ntransparent          wakeup [n]\n"
    "mmode [local|global] kick name\nvoffset [observer] [x] [y] [z]\nconnect server [port]\ndelay [seconds]\nlogin password\n";

struct Console : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        limiter.ticksPerMs = 1000;
        settings.observers = 4;
        settings.slotLimit = 5;
        openSlot(HostSlot, SlotWaiting, "host");
        slotTable.hostConnected = true;
    }
    // Walks `payload`, a reliable datagram of `slot` numbered `sequence` (default: a new one); what stays.
    Bytes walk(int slot, const Bytes& payload, uint32_t sequence = 0) {
        Bytes d = datagram(0x09, sequence ? sequence : ++lastSequence, payload);
        memcpy(PacketBuffer, d.data(), d.size());
        int length = int(d.size());
        interceptStringCommands(slot, &length);
        EXPECT_EQ(length, lengthField(PacketBuffer));
        return Bytes(PacketBuffer + HeaderSize, PacketBuffer + length);
    }
    // The host says `text`, which must leave the datagram; the texts printed back. Keeps what was sent.
    std::string say(const std::string& text) {
        EXPECT_EQ(walk(HostSlot, stringCommand("say " + text)), Bytes()) << text;
        sent = fakeplatform::takeSent();
        std::string all;
        for (const Bytes& d : sentTo(HostSlot, sent)) all += reinterpret_cast<const char*>(d.data() + 10);
        return all;
    }
    uint32_t lastSequence = 0;
    std::vector<fakeplatform::Datagram> sent;
};

TEST_F(Console, EveryCommandsRepliesInOrder) {
    const std::pair<std::string, std::string> rows[] = {
        {"proxy:help", HelpSummary},
        {"proxy:help c2sbps", "Usage: c2sbps [rate]\nDisplay or set maximum client\nto server bytes per second.\n"
                              "Set to 0 to disable.\n"},
        {"proxy:help s2cbps", "Usage: s2cbps [rate]\nDisplay or set maximum server\nto client bytes per second.\n"
                              "Set to 0 to disable.\n"},
        {"proxy:help kick", "Usage: kick name\nKick observer. Use #n to kick\nobserver number n. Wildcard *\n"
                            "matches to end of name.\n"},
        {"proxy:help mmode", "Usage: mmode [local|global]\nDisplay or set message mode.\nGlobal = messages go to "
                             "server.\nLocal  = messages go to observers.\n"},
        {"proxy:help record", "Usage: record [name|stop]\nStart or stop recording. Demofiles\nwill be named "
                              "namexx.dem, where name\nis the parameter given to the record\ncommand, and xx number "
                              "of recorded\nlevel starting from 01.\n"},
        {"proxy:help voffset", "Usage: voffset [observer] [x] [y] [z]\nSet observer view offset.\nObserver = "
                               "observer number. You can\nsee observer numbers with 'observers'\ncommand. Observer "
                               "number 0 means your\nown view. x, y, z = offset angles.\nFull circle is 256.\n"},
        {"proxy:help connect", "Usage: connect server [port]\nConnect to quake server.\nServer can be name or ip.\n"},
        {"proxy:help disconnect", "Usage: disconnect\nDisconnect from quake server\n"},
        {"proxy:help help", "Usage: help [command]\nDisplay list of commands\nor help on specific command.\n"},
        {"proxy:help observers", "Usage: observers [max]\nDisplay list of observers\nor set maximum number of\n"
                                 "observers.\n"},
        {"proxy:help transparent", "Usage: transparent\nEnter transparent mode. Use wakeup\nto enable command "
                                   "processing.\n"},
        {"proxy:help wakeup", "Usage: wakeup [n]\nEnable command processing on\nthe nth proxy in the chain.\n"},
        {"proxy:help delay", "Usage: delay [seconds]\nDisplay or set how many seconds\nobservers see the game late.\n"
                             "Set to 0 to disable.\n"},
        {"proxy:help observing", "Unrecognized command help.\n"},
        {"proxy:Help", "Unrecognized command Help.\n"},
        {"proxy:" + std::string(400, 'x'), "Unrecognized command " + std::string(249, 'x') + ".\n"},
        {"proxy:c2sbps", "Client to server packet filtering\nis currently disabled.\n"},
        {"proxy:c2sbps 2500", "Maximum client to server bytes\nper second set to 2500\n"},
        {"proxy:c2sbps", "Maximum client to server bytes per\nsecond is currently set to 2500\n"},
        {"proxy:c2sbps fast", "Client to server packet filtering\ndisabled\n"},
        {"proxy:s2cbps", "Server to client packet filtering\nis currently disabled.\n"},
        {"proxy:s2cbps 8000", "Maximum server to client bytes\nper second set to 8000.\n"},
        {"proxy:s2cbps", "Maximum server to client bytes per\nsecond is currently set to 8000.\n"},
        {"proxy:s2cbps -40", "Server to client packet filtering\ndisabled.\n"},
        {"proxy:mmode", "Message mode is currently\nset to: global.\n"},
        {"proxy:mmode local", "Local message mode.\n"}, {"proxy:mmode GLOBAL", "Local message mode.\n"},
        {"proxy:mmode", "Message mode is currently\nset to: local.\n"}, {"proxy:mmode global", "Global message mode.\n"},
        {"proxy:voffset 0 300", "View offset x=44 y=0 z=0\n"}, {"proxy:voffset 0 200 9", "View offset x=-56 y=9 z=0\n"},
        {"proxy:voffset", "Must specify client\n"}, {"proxy:voffset 31 1", "Illegal observer number\n"},
        {"proxy:voffset 3 5;quit", "Observer 3 offsets: 5\n"},
        {"proxy:record", "Demorecording is currently off.\n"}, {"proxy:record stop", "Demorecording stopped.\n"},
        {"proxy:record game", "Next level will be recorded to game01.dem\n"},
        {"proxy:record " + std::string(79, 'd'), "Demo name too long.\n"},
        {"proxy:connect", "Must specify a server\n"},
        {"proxy:connect nowhere.test 1", "Could not resolve nowhere.test.\n"},
        {"proxy:observers -1", "Don't be so negative\n"}, {"proxy:kick", "You missed.\n"}};
    for (const auto& [text, reply] : rows) EXPECT_EQ(reply, say(text)) << text;
    EXPECT_EQ(0, settings.s2cbps + settings.c2sbps);
    limiter.ticksPerMs = 0;
    EXPECT_EQ("Timer not available. Packet filtering disabled.\n", say("proxy:s2cbps 8000"));
}

TEST_F(Console, OneCommandADatagramRepeatsIgnoredNamedPrefixAndChat) {
    Bytes name = stringCommand("name \"Ranger\"\n"), spawn = stringCommand("spawn");
    EXPECT_EQ(Bytes(), walk(HostSlot, stringCommand("say \"quoted\"")));  // no server: chat stays local
    // Only the first command runs, both leave; a repeated datagram's command is cut, not run again.
    Bytes two = stringCommand("say proxy:mmode local") + name + stringCommand("say proxy:mmode global") + spawn;
    EXPECT_EQ(name + spawn, walk(HostSlot, two, 7));
    EXPECT_EQ(std::vector<std::string>{"Local message mode.\n"}, printsTo(HostSlot));
    EXPECT_EQ(spawn, walk(HostSlot, stringCommand("say proxy:mmode global") + spawn, 7));
    EXPECT_EQ(MessageMode::Local, consoleState.messageMode);
    // Local mode or no server: chat stays with the observers; a capital Proxy: is chat.
    slotTable.serverConnected = true;
    EXPECT_EQ(Bytes(), walk(HostSlot, stringCommand("say Proxy:help")));
    consoleState.messageMode = MessageMode::Global;
    EXPECT_EQ(stringCommand("say hello"), walk(HostSlot, stringCommand("say hello")));
    EXPECT_EQ("host (locally): quoted \nRanger (locally): Proxy:help\n", observerTexts());
    // A string without its zero is cut without overrun.
    Bytes open = stringCommand("say proxy:mmode local");
    open.pop_back();
    EXPECT_EQ(stringCommand("name Ranger"), walk(HostSlot, stringCommand("name Ranger") + open));
    EXPECT_TRUE(printsTo(HostSlot).size() == 1 && consoleState.messageMode == MessageMode::Local);
    // The host's name rebuilds the welcome block observers are shown.
    const char welcome[] = "\x1A" SKOPOS_VISIT
        "\nYou are observing the game\nthrough Ranger's eyes.\n\nUse Skopos-Proxy on the observer\n"
        "end to minimize jerkiness.\n\nHold down fire button to look around.\n\nImpulses 1-12 change view offset.\n"
        "\0\x09say proxy:observing\n";
    EXPECT_EQ(Bytes(welcome, welcome + sizeof welcome),
              Bytes(welcomeBlock.bytes, welcomeBlock.bytes + welcomeBlock.length));
}

TEST_F(Console, ObserversListedLimitedKickedAndTheirOwnCommands) {
    const char* names[] = {"ann", "anna", "bob", "ab"};
    for (int i = 0; i < 4; i++) openSlot(FirstObserverSlot + i, SlotInGame, names[i]);
    slotTable.slot[3].peerAddress.ip = 0xC0A80A0B;
    EXPECT_EQ(" 1 ann             127.0.0.3\n 2 anna            192.168.10.11\n 3 bob             127.0.0.5\n"
              " 4 ab              127.0.0.6\n4 out of max 4 observers connected.\n", say("proxy:observers"));
    EXPECT_EQ("Observer 1 offsets: 10 -20\n", say("proxy:voffset 1 10 -20"));
    EXPECT_EQ(datagram(0x10, 0, Bytes{9} + str("say proxy:voffset 0 10 -20")), sentTo(2, sent).at(0));
    for (const char* missed : {"proxy:kick #0", "proxy:kick an"}) EXPECT_EQ("You missed.\n", say(missed));
    say("proxy:kick ann");
    say("proxy:kick an*");
    say("proxy:kick #3");
    EXPECT_TRUE(!slotInUse(2) && !slotInUse(3) && !slotInUse(4) && slotInUse(5));
    flushObserverPrints();
    for (int i = 0; i < 3; i++) openSlot(FirstObserverSlot + i, SlotInGame, names[i]);
    walk(2, stringCommand("name \"A\"very\nlongname12345678\"\n"));
    walk(2, stringCommand("say proxy hi"));
    walk(2, stringCommand("say proxy:help") + stringCommand("say proxy:voffset 1 5"));
    walk(2, stringCommand("status"));
    EXPECT_EQ("Observer ann renamed to Averylongname12.\nObserver Averylongname12: proxy hi\n", observerTexts());
    EXPECT_EQ(std::vector<std::string>{"Your host:\nhost            127.0.0.2\nObservers:\nAverylongname12 127.0.0.3\n"
                                       "anna            127.0.0.4\nbob             127.0.0.5\nab              127.0.0.6\n"},
              printsTo(2));
    EXPECT_EQ(stringCommand("status"), walk(HostSlot, stringCommand("status")));  // the server answers the host's
    EXPECT_TRUE(fakeplatform::takeSent().empty());
    slotTable.slot[2].viewOffset[2] = 7;
    walk(2, stringCommand("say proxy:voffset 0 300 -3"));
    EXPECT_EQ(std::vector<std::string>{"View offset: x=44 y=-3 z=7\n"}, printsTo(2));
    flushObserverPrints();
    fakeplatform::takeSent();
    EXPECT_EQ("Maximum number of observers\nset to 1\n", say("proxy:observers 1"));
    const std::string booted = "Observer ab got the boot.\nObserver bob got the boot.\nObserver anna got the boot.\n";
    EXPECT_EQ(booted, observerTexts());
    EXPECT_NE(fakeplatform::takeConsole().find(booted), std::string::npos);  // every removal is said there
    EXPECT_EQ("Maximum number of observers\nset to 30\n", say("proxy:observers 99"));
}

}  // namespace
