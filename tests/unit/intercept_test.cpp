// The string-command walk: proxy commands cut out of host datagrams, chat, the chain of proxies,
// and what observers say and are shown.
#include "console/intercept.h"
#include "console/observer_chat.h"
#include "core/print.h"
#include "net/relay.h"
#include "observers/prints.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

const char HelpSummary[] =
    "say proxy: command [parameters]\nRecognized commands:\n\nhelp [command]       disconnect\n"
    "c2sbps [rate]        s2cbps [rate]\nrecord [name|stop]   observers [max]\ntransparent          wakeup [n]\n"
    "mmode [local|global] kick name\nvoffset [observer] [x] [y] [z]\nconnect server [port]\ndelay [seconds]\n";

struct InterceptTest : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        settings.observers = 3;
        settings.slotLimit = 4;
        openSlot(HostSlot, SlotWaiting, "host");
        hostSlot().recvSeq = 0xFFFFFFFF;
        slotTable.hostConnected = true;
    }
    // A reliable datagram (last fragment) with this payload put into the PacketBuffer.
    void put(uint32_t sequence, const Bytes& payloadBytes) {
        Bytes d = datagram(0x09, sequence, payloadBytes);
        std::memcpy(PacketBuffer, d.data(), d.size());
        length = int(d.size());
    }
    int intercept(int slot, uint32_t sequence, const Bytes& payloadBytes) {
        put(sequence, payloadBytes);
        return interceptStringCommands(slot, &length);
    }
    Bytes payload() const { return Bytes(PacketBuffer + HeaderSize, PacketBuffer + length); }
    // The command or chat was cut out, leaving the header alone.
    void expectCut() const { EXPECT_EQ(HeaderSize, length); }
    int length = 0;
};

TEST_F(InterceptTest, HelpPlainOrQuotedIsAnsweredAndCutLeavingTheHeaderAndCapitalProxyIsChat) {
    for (const char* say : {"say proxy:help", "say \"proxy:help\""}) {
        intercept(HostSlot, 5, stringCommand(say));
        expectCut();
        EXPECT_EQ(HeaderSize, lengthField(PacketBuffer));
        EXPECT_EQ(5u, sequenceField(PacketBuffer));
        EXPECT_EQ(std::vector<std::string>{HelpSummary}, printsTo(HostSlot));
        EXPECT_EQ(5u, hostSlot().recvSeq);
        hostSlot().recvSeq = 4;
    }
    slotTable.serverConnected = true;
    Bytes chat = stringCommand("say Proxy:help");
    intercept(HostSlot, 6, chat);
    EXPECT_EQ(chat, payload());
    EXPECT_TRUE(printsTo(HostSlot).empty());
}

TEST_F(InterceptTest, NamedProxyAcceptsItsNameAndProxyColon) {
    std::strcpy(settings.namePrefix, "relay one:");
    settings.namePrefixLength = 10;
    intercept(HostSlot, 1, stringCommand("say relay one: help"));
    std::string shown = HelpSummary;
    shown.replace(4, 6, "relay one:");
    EXPECT_EQ(std::vector<std::string>{shown}, printsTo(HostSlot));
    intercept(HostSlot, 2, stringCommand("say proxy:mmode"));
    EXPECT_EQ(std::vector<std::string>{"Message mode is currently\nset to: global.\n"}, printsTo(HostSlot));
}

TEST_F(InterceptTest, OnlyTheFirstCommandOfADatagramRunsButBothGo) {
    Bytes name = stringCommand("name bob");
    intercept(HostSlot, 7, stringCommand("say proxy:mmode local") + name + stringCommand("say proxy:mmode global") + stringCommand("spawn"));
    EXPECT_EQ(MessageMode::Local, consoleState.messageMode);
    EXPECT_EQ(name + stringCommand("spawn"), payload());
    EXPECT_EQ(length, lengthField(PacketBuffer));
    EXPECT_EQ(std::vector<std::string>{"Local message mode.\n"}, printsTo(HostSlot));
}

TEST_F(InterceptTest, RepeatedDatagramRunsItsCommandOnce) {
    intercept(HostSlot, 9, stringCommand("say proxy:transparent"));
    consoleState.transparentMode = false;
    intercept(HostSlot, 9, stringCommand("say proxy:transparent"));
    expectCut();
    EXPECT_FALSE(consoleState.transparentMode);
    EXPECT_EQ(1u, printsTo(HostSlot).size());
}

TEST_F(InterceptTest, EmptyCommandWordAndOverlongTextAreAnswered) {
    intercept(HostSlot, 1, stringCommand("say proxy:"));
    EXPECT_EQ(std::vector<std::string>{"Unrecognized command .\n"}, printsTo(HostSlot));
    // Cut to the work area: the word that survives is still unknown, and nothing overruns.
    intercept(HostSlot, 2, stringCommand("say proxy:" + std::string(400, 'x')));
    expectCut();
    std::vector<std::string> texts = printsTo(HostSlot);
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("Unrecognized command " + std::string(255 - 6, 'x') + ".\n", texts[0]);
}

TEST_F(InterceptTest, StringRunningToTheDatagramEndIsCutWithoutOverrun) {
    Bytes unterminated = stringCommand("say proxy:mmode local");
    unterminated.pop_back();
    put(3, stringCommand("name a") + unterminated);
    PacketBuffer[length] = 'Z';  // junk behind the datagram
    interceptStringCommands(HostSlot, &length);
    EXPECT_EQ(stringCommand("name a"), payload());
    EXPECT_EQ(MessageMode::Local, consoleState.messageMode);
}

TEST_F(InterceptTest, SayBehindAMoveIsNotExamined) {
    Bytes move = {3, 0, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes all = move + stringCommand("say proxy:help");
    intercept(HostSlot, 1, all);
    EXPECT_EQ(all, payload());
    EXPECT_TRUE(printsTo(HostSlot).empty());
}

TEST_F(InterceptTest, HostChatGoesToServerOnlyInGlobalModeWhileConnected) {
    Bytes chat = stringCommand("say hello");
    slotTable.serverConnected = true;
    intercept(HostSlot, 1, chat);
    EXPECT_EQ(chat, payload());
    EXPECT_EQ("", observerTexts());

    consoleState.messageMode = MessageMode::Local;
    intercept(HostSlot, 2, chat);
    expectCut();
    EXPECT_EQ("host (locally): hello\n", observerTexts());

    flushObserverPrints();
    consoleState.messageMode = MessageMode::Global;
    slotTable.serverConnected = false;
    intercept(HostSlot, 3, stringCommand("say \"quoted\""));
    expectCut();
    EXPECT_EQ("host (locally): quoted \n", observerTexts());
}

TEST_F(InterceptTest, TransparentProxyCountsWakeupDown) {
    consoleState.transparentMode = true;
    intercept(HostSlot, 1, stringCommand("say proxy:wakeup 3"));
    EXPECT_EQ(stringCommand("say proxy:wakeup 2"), payload());
    EXPECT_TRUE(consoleState.transparentMode);
    EXPECT_EQ(1u, hostSlot().recvSeq);

    intercept(HostSlot, 2, stringCommand("say proxy:wakeup 1"));
    expectCut();
    EXPECT_FALSE(consoleState.transparentMode);
    EXPECT_EQ(std::vector<std::string>{"Command processing enabled.\n"}, printsTo(HostSlot));
    // Awake, the proxy does not know the word.
    intercept(HostSlot, 3, stringCommand("say proxy:wakeup"));
    EXPECT_EQ(std::vector<std::string>{"Unrecognized command wakeup.\n"}, printsTo(HostSlot));
}

TEST_F(InterceptTest, TransparentProxyWakesOnTwoDigitsQuotedDigitOrNoCount) {
    for (const char* text : {"say proxy:wakeup 12", "say \"proxy:wakeup 2\"", "say proxy:wakeup",
                             "say proxy:wakeup \x01"}) {
        consoleState.transparentMode = true;
        intercept(HostSlot, hostSlot().recvSeq + 1, stringCommand(text));
        EXPECT_EQ(HeaderSize, length) << text;
        EXPECT_FALSE(consoleState.transparentMode) << text;
    }
}

TEST_F(InterceptTest, TransparentProxyPassesOtherCommandsAndTakesObserving) {
    consoleState.transparentMode = true;
    Bytes status = stringCommand("say proxy:status");
    intercept(HostSlot, 1, status);
    EXPECT_EQ(status, payload());
    // The same datagram again (its first copy may have been lost further on) is passed on again.
    intercept(HostSlot, 1, status);
    EXPECT_EQ(status, payload());

    intercept(HostSlot, 2, stringCommand("say proxy: observing"));
    expectCut();
    EXPECT_TRUE(observing.observingMode);
    EXPECT_TRUE(consoleState.transparentMode);
    EXPECT_TRUE(printsTo(HostSlot).empty());
}

TEST_F(InterceptTest, HostNameStaysAndRebuildsTheWelcomeBlock) {
    ASSERT_EQ(1, consoleState.welcomeLength);
    EXPECT_EQ(1, consoleState.welcomeBlock[0]);
    Bytes name = stringCommand("name \"Ranger\"\n");
    Bytes status = stringCommand("status");
    intercept(HostSlot, 1, name + status);
    EXPECT_EQ(name + status, payload());
    EXPECT_STREQ("Ranger", hostSlot().playerName);
    EXPECT_EQ("", observerTexts());
    EXPECT_TRUE(printsTo(HostSlot).empty());

    const char expected[] = "\x1A" SKOPOS_VISIT
        "\nYou are observing the game\nthrough Ranger's eyes.\n\nUse Skopos-Proxy on the observer\n"
        "end to minimize jerkiness.\n\nHold down fire button to look around.\n\nImpulses 1-12 change view offset.\n"
        "\0\x09say proxy:observing\n";  // and the literal's own zero
    EXPECT_EQ(Bytes(expected, expected + sizeof expected),
              Bytes(consoleState.welcomeBlock, consoleState.welcomeBlock + consoleState.welcomeLength));
}

TEST_F(InterceptTest, ObserverSignonStepsStatusRenamesChatAndCommands) {
    openSlot(2, 1, "unnamed");
    EXPECT_EQ(1, intercept(2, 0, stringCommand("prespawn")));
    EXPECT_EQ(0, intercept(2, 1, stringCommand("prespawnx")));
    EXPECT_EQ(2, intercept(2, 2, stringCommand("prespawn") + stringCommand("spawn 0")));
    EXPECT_EQ(HeaderSize + 10 + 9, length);

    slotTable.slot[2].state = SlotInGame;
    intercept(2, 3, stringCommand("name \"A\"very\nlongname12345678\"\n"));
    EXPECT_STREQ("Averylongname12", slotTable.slot[2].playerName);
    EXPECT_EQ("Observer unnamed renamed to Averylongname12.\n", observerTexts());
    flushObserverPrints();
    intercept(2, 4, stringCommand("name Averylongname12"));
    EXPECT_EQ("", observerTexts());
    EXPECT_EQ(1, consoleState.welcomeLength);  // only the host's name rebuilds it

    openSlot(4, 1, "carol");
    intercept(2, 5, stringCommand("status"));
    EXPECT_EQ(std::vector<std::string>{"Your host:\nhost            127.0.0.2\nObservers:\n"
                                       "Averylongname12 127.0.0.3\ncarol           127.0.0.5\n"},
              printsTo(2));
    intercept(HostSlot, 1, stringCommand("status"));
    EXPECT_TRUE(printsTo(HostSlot).empty());

    intercept(2, 6, stringCommand("name alice"));
    flushObserverPrints();
    Bytes chat = stringCommand("say hi all");
    intercept(2, 7, chat);
    EXPECT_EQ(chat, payload());  // observer datagrams are never forwarded: left alone
    EXPECT_EQ("Observer alice: hi all\n", observerTexts());
    flushObserverPrints();
    fakeplatform::takeSent();

    intercept(2, 8, stringCommand("say proxy:help"));
    intercept(2, 9, stringCommand("say proxy:voffset 1 5"));
    EXPECT_EQ("", observerTexts());
    EXPECT_TRUE(printsTo(2).empty());
    slotTable.slot[2].viewOffset[2] = 7;
    intercept(2, 10, stringCommand("say proxy:voffset 0 300 -3"));
    EXPECT_EQ(44, slotTable.slot[2].viewOffset[0]);
    EXPECT_EQ(-3, slotTable.slot[2].viewOffset[1]);
    EXPECT_EQ(7, slotTable.slot[2].viewOffset[2]);
    EXPECT_EQ(std::vector<std::string>{"View offset: x=44 y=-3 z=7\n"}, printsTo(2));

    intercept(2, 11, stringCommand("name"));
    EXPECT_STREQ("", slotTable.slot[2].playerName);
}

TEST_F(InterceptTest, ObserverBannerIsExact) {
    uint8_t banner[1024];
    int n = formatObserverBanner(banner, sizeof banner);
    std::string text = "\x08\x02" SKOPOS_BAR "\n" SKOPOS_VISIT
                       "\nObserver mode. Waiting for your host,\nhost, to select a server.\nCommands:\n"
                       "say    - send a message\nname   - change your name\nstatus - list all observers\n" SKOPOS_BAR
                       "\n";
    ASSERT_EQ(int(text.size()) + 1, n);
    EXPECT_EQ(text, std::string(reinterpret_cast<const char*>(banner), text.size()));
    EXPECT_EQ(0, banner[n - 1]);
    // A store too small is filled, never overrun.
    uint8_t small[20];
    EXPECT_EQ(20, formatObserverBanner(small, sizeof small));
    EXPECT_EQ(0, small[19]);
}

}  // namespace
