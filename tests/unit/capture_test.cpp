// The server stream capture: the stored-datagram table, reassembly, the catch-up records, the host's
// signon stages; the demo files: their format, free numbers, failures told, plain names, level changes.
#include <algorithm>

#include "core/loop.h"
#include "core/print.h"
#include "demo/recorder.h"
#include "observers/capture.h"
#include "observers/prints.h"
#include "observers/scanner.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

// svc_serverinfo of protocol 15 for `map`, then svc_signonnum 1, as the server's first message.
Bytes serverInfo(const std::string& map, int32_t protocol = 15) {
    return Bytes{11} + longBytes(uint32_t(protocol)) + Bytes{4, 0} + str("A level") + str("maps/" + map + ".bsp") +
           str("") + str("") + Bytes{25, 1};
}
Bytes signon(uint8_t stage) { return {25, stage}; }
const std::string CreditText = std::string("\x02\n") + SKOPOS_BAR + "\nThis demo file was recorded with\n" +
                               SKOPOS_VISIT + SKOPOS_BAR + "\n";
const Bytes FileHeader{'-', '1', '\n'};

Bytes block(const Bytes& message, float pitch = 0, float yaw = 0, float roll = 0) {
    Bytes b = longBytes(uint32_t(message.size()));
    for (float angle : {pitch, yaw, roll}) {
        uint32_t bits;
        std::memcpy(&bits, &angle, sizeof bits);
        b = b + longBytes(bits);
    }
    return b + message;
}
Bytes creditBlock(float pitch = 0, float yaw = 0, float roll = 0) { return block(print(CreditText), pitch, yaw, roll); }

bool fileHolds(const char* name, const Bytes& part) {
    Bytes file = fakeplatform::fileContents(name);
    return std::search(file.begin(), file.end(), part.begin(), part.end()) != file.end();
}

struct CaptureTest : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        settings.observers = 3;
        settings.slotLimit = 4;
        settings.demoname[0] = 'g';
        slotTable.hostConnected = true;
        slotTable.serverConnected = true;
        loop.nowSeconds = 1000;
        open(HostSlot, 1);
        fakeplatform::takeSent();
    }
    static void open(int i, int32_t state) { openSlot(i, state, ("obs" + std::to_string(i)).c_str()); }
    // An observer watching the game: its stream numbers are the host's.
    void watching(int i) {
        open(i, SlotInGame);
        slotTable.slot[i].ackedSeq = next - 1;
        slotTable.slot[i].lastHeardTime = slotTable.slot[i].lastReliableSendTime = loop.nowSeconds;
        capture.fanOutMask |= 1u << i;
    }
    // The relay's hand-over: a reliable fragment carries its stream number.
    void fromServer(const Bytes& d) {
        std::memcpy(PacketBuffer, d.data(), d.size());
        if (isReliableFragment(d.data())) numbering.lastHostReliableSeq = sequenceField(d.data());
        captureServerDatagram(int(d.size()));
    }
    // One reliable message in fragments of `piece` payload bytes, numbered on from `next`.
    void message(const Bytes& m, size_t piece = 1024) {
        for (size_t at = 0, end = 0; end < m.size(); at = end) {
            end = std::min(m.size(), at + piece);
            Bytes part(m.begin() + long(at), m.begin() + long(end));
            fromServer(datagram(end == m.size() ? 0x09 : 0x01, next++, part));
        }
    }
    void enterLevel() {
        message(serverInfo("e1m1"));
        message(signon(2));
        message(signon(3));
    }
    static Bytes messageOf(const uint8_t* r) {
        return Bytes(r + RecordHeaderSize, r + RecordHeaderSize + recordLength(r));
    }
    static Bytes record(int n) { return messageOf(catchUpRecord(n)); }
    static std::vector<Bytes> stage2() {
        std::vector<Bytes> parts;
        for (int i = 0; i < stage2MessageCount(); i++) parts.push_back(messageOf(stage2Message(i)));
        return parts;
    }
    uint32_t next = 0;
};

TEST_F(CaptureTest, AHostSideGapAWholeTableLongClosesTheClientConnection) {
    fromServer(datagram(0x09, 5, print("early")));  // 0 to 4 never came
    EXPECT_TRUE(capture.stored[5].held);
    fakeplatform::takeConsole();
    fromServer(datagram(0x09, 5, print("early")));  // sent again while it waits: no wrap
    EXPECT_TRUE(slotTable.hostConnected);
    EXPECT_EQ(fakeplatform::takeConsole(), "");
    fromServer(datagram(0x09, 5 + StoredCount, print("late")));
    EXPECT_NE(fakeplatform::takeConsole().find("Client timed out.\n"), std::string::npos);
    EXPECT_FALSE(slotTable.hostConnected);
    EXPECT_EQ(capture.nextReassemblySeq, 0u);
    for (const StoredEntry& entry : capture.stored) EXPECT_FALSE(entry.held);
}

TEST_F(CaptureTest, TheSignonStagesMoveTheHostAndCatchUpWaitingObservers) {
    open(2, SlotWaiting);
    next = capture.nextReassemblySeq = 40;
    Bytes info = print(std::string(2000, 'p')) + serverInfo("e1m1");
    message(info);  // in two fragments
    EXPECT_EQ(record(1), info);
    EXPECT_EQ(hostSlot().state, 2);
    message(print("statics") + signon(2));
    EXPECT_EQ(hostSlot().state, 3);
    EXPECT_EQ(capture.stageEndSeq[1], 41u);
    EXPECT_EQ(capture.stageEndSeq[2], 42u);
    EXPECT_TRUE(sentTo(2).empty());

    message(signon(3));
    EXPECT_EQ(hostSlot().state, SlotInGame);
    EXPECT_EQ(sentTo(2), std::vector<Bytes>{datagram(0x01, 0, Bytes(info.begin(), info.begin() + 1024))});
}

TEST_F(CaptureTest, StageTwoIsKeptMessageByMessageFedToALevelChangeAsEachCompletesAndNeverCut) {
    enterLevel();
    watching(3);
    message(Bytes{30});
    message(serverInfo("e1m2"));
    slotTable.slot[3].state = 6;  // its client asked for stage 2
    capture.longMessageSeen = true;
    Bytes a = Bytes{22, 1, 0} + Bytes(13, 0), b = print("between"), c = Bytes{20} + Bytes(13, 0) + signon(2);
    message(a);
    EXPECT_EQ(slotTable.slot[3].targetSeq, next - 1);
    message(b, 4);
    EXPECT_EQ(slotTable.slot[3].targetSeq, next - 1);
    EXPECT_FALSE(catchUpRecordsValid());
    message(c);
    EXPECT_EQ(stage2(), (std::vector<Bytes>{a, b, c}));
    EXPECT_TRUE(catchUpRecordsValid());
    message(signon(3));
    settings.demoNumber = 1;
    startRecording();  // mid-level: the level's signon, message by message, then the state block
    const uint8_t* state = catchUpRecord(3);
    Bytes level = block(serverInfo("e1m2")) + block(a) + block(b) + block(c);
    EXPECT_TRUE(fileHolds("g01.dem", level + Bytes(state, state + RecordHeaderSize + recordLength(state))));
    // The next level's stage 2 starts afresh; one message too long for a client admits no
    // observer mid-level, nor a file opened mid-level.
    message(serverInfo("e1m3"));
    message(print(std::string(MaxCatchUpMessage, 's')) + signon(2), 32000);
    EXPECT_TRUE(stage2().empty());
    EXPECT_EQ(hostSlot().state, 3);
    open(2, SlotWaiting);
    message(signon(3));
    EXPECT_TRUE(sentTo(2).empty());
    startRecording();
    EXPECT_TRUE(fileHolds("g02.dem", serverInfo("e1m3")));
    EXPECT_FALSE(fileHolds("g03.dem", serverInfo("e1m3")));
}

TEST_F(CaptureTest, AMessageTooLongForTheCaptureBufferIsLeftOutWhole) {
    settings.demoNumber = 1;
    startRecording();
    size_t fileBefore = fakeplatform::fileContents("g01.dem").size();
    Bytes huge = print(std::string(CaptureMessageCapacity, 'h'));
    message(huge, 32000);
    EXPECT_EQ(fakeplatform::fileContents("g01.dem").size(), fileBefore);
    message(serverInfo("e1m1"));  // the next message is whole again
    EXPECT_EQ(record(1), serverInfo("e1m1"));
    EXPECT_EQ(fakeplatform::fileContents("g01.dem").size(), fileBefore + RecordHeaderSize + serverInfo("e1m1").size());
}

class CaptureDemoTest : public CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        settings.demoNumber = 1;
        startRecording();
        creditSize = fakeplatform::fileContents("g01.dem").size() - 3;
        enterLevel();
        fakeplatform::takeConsole();
    }
    size_t creditSize = 0;
};

TEST_F(CaptureDemoTest, EachLevelGetsItsOwnFileAndAReconnectOrderIsRecordedInNeither) {
    Bytes order = Bytes{9} + str("reconnect\n");
    message(order);
    // The old file is finished properly (credit and closing block) before the next opens.
    EXPECT_EQ(fakeplatform::takeConsole(), "Received reconnect.\nCompleted g01.dem.\nRecording to g02.dem.\n");
    enterLevel();
    EXPECT_TRUE(fakeplatform::fileOpen("g02.dem"));
    for (const char* name : {"g01.dem", "g02.dem"}) EXPECT_FALSE(fileHolds(name, order)) << name;
    message(Bytes{30});  // without a reconnect order: at the next level's server information
    Bytes info = serverInfo("e1m2");
    message(info);
    EXPECT_FALSE(fakeplatform::fileOpen("g02.dem"));
    // Header, CreditBlock, then this level's own signon: no records of the level left.
    EXPECT_EQ(fakeplatform::fileContents("g03.dem").size(), 3 + creditSize + RecordHeaderSize + info.size());
}

TEST_F(CaptureDemoTest, AnUnknownProtocolIsToldOnceAndNeitherRecordedNorWatched) {
    watching(2);
    fakeplatform::takeSent();
    message(serverInfo("dm1", 3504));
    const char told[] = "Observers and recording are not available for protocol 3504.\n";
    EXPECT_NE(fakeplatform::takeConsole().find(told), std::string::npos);
    EXPECT_FALSE(recording());

    // Its game reaches no observer and no file; the next such level is not told again.
    sentTo(2);
    fromServer(datagram(0x10, 5, Bytes{1}));
    message(print("dp"));
    EXPECT_TRUE(sentTo(2).empty());
    message(serverInfo("dm2", 3504));
    EXPECT_EQ(fakeplatform::takeConsole().find(told), std::string::npos);

    // A known level again: a new file, and the parked observer is caught up numbered on from
    // where its client stands.
    uint32_t resumeAt = slotTable.slot[2].ackedSeq - slotTable.slot[2].seqOffset + 1;
    message(serverInfo("e1m3"));
    EXPECT_TRUE(fakeplatform::fileOpen("g02.dem"));
    message(signon(2));
    sentTo(2);
    message(signon(3));
    auto catchUp = sentTo(2);
    ASSERT_EQ(catchUp.size(), 1u);
    EXPECT_EQ(sequenceField(catchUp[0].data()), resumeAt);
    EXPECT_EQ(slotTable.slot[2].state, SlotWaiting);
}

// Demo files on their own: the host in the game, recording armed.
struct RecorderTest : CaptureTest {
    void SetUp() override {
        CaptureTest::SetUp();
        settings.demoNumber = 1;
        fakeplatform::takeConsole();
    }
    // Console and host were told `text` alone.
    static void told(const std::string& text) {
        EXPECT_EQ(fakeplatform::takeConsole(), text);
        EXPECT_EQ(printsTo(HostSlot), std::vector<std::string>{text});
    }
};

TEST_F(RecorderTest, AFileIsCreditsTheBlocksWithTheirAnglesCreditsAndTheClosingBlock) {
    capture.captureWritePos = 5;  // a message half gathered survives the credits
    startRecording();
    told("Recording to g01.dem.\n");
    EXPECT_EQ(fakeplatform::fileContents("g01.dem"), FileHeader + creditBlock());  // no level yet
    setDemoAngles(0, 64, 255);
    const uint8_t message[3] = {1, 7, 0};
    recordMessage(message, 3);
    stopRecording();
    told("Completed g01.dem.\n");
    EXPECT_FALSE(recording());
    EXPECT_EQ(capture.captureWritePos, 5);
    const Bytes closing{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xB4, 0x42, 0x00, 0x4C, 0xB3, 0x43, 2};
    EXPECT_EQ(fakeplatform::fileContents("g01.dem"), FileHeader + creditBlock() + block({1, 7, 0}, 0, 90, 358.59375f) +
                                                            creditBlock(0, 90, 358.59375f) + closing);
}

TEST_F(RecorderTest, FilesTakeTheNextFreeNumberAndNeverOpenOneThatExists) {
    fakeplatform::addFile("g01.dem", {7});
    fakeplatform::addFile("g03.dem", {7});
    for (const char* name : {"g02.dem", "g04.dem"}) {
        startRecording();
        EXPECT_TRUE(fakeplatform::fileOpen(name)) << name;
        EXPECT_EQ(fakeplatform::takeConsole(), std::string("Recording to ") + name + ".\n");
        stopRecording();
        fakeplatform::takeConsole();
    }
    startRecording();
    startRecording();  // a second start never leaves the first file open
    EXPECT_FALSE(fakeplatform::fileOpen("g05.dem"));
    EXPECT_TRUE(fakeplatform::fileOpen("g06.dem"));
    EXPECT_EQ(fakeplatform::fileContents("g01.dem"), Bytes{7});
}

TEST_F(RecorderTest, FailuresAreToldAndAFileCutShortIsNeverCompleted) {
    fakeplatform::failFileOpen(true);
    startRecording();
    told("Unable to open g01.dem.\n");
    fakeplatform::failFileOpen(false);
    startRecording();
    fakeplatform::takeConsole();
    printsTo(HostSlot);
    fakeplatform::failFileWritesAfter(10);
    const uint8_t message[2] = {1, 1};
    recordMessage(message, 2);
    EXPECT_FALSE(recording());
    EXPECT_FALSE(fakeplatform::fileOpen("g02.dem"));
    told("Unable to write g02.dem: No space left on device.\n");
    EXPECT_EQ(settings.demoNumber, 3);  // still armed
    stopRecording();
    EXPECT_EQ(fakeplatform::takeConsole(), "");

    fakeplatform::failFileWritesAfter(1000000);
    startRecording();
    fakeplatform::failNextFileWrite();  // the file is gone by the closing credits
    stopRecording();
    EXPECT_EQ(fakeplatform::takeConsole(), "Recording to g03.dem.\nUnable to write g03.dem: Stale file handle.\n");
}

TEST_F(RecorderTest, NamesFromTheGameArePlainFileNamesThatFitTheStore) {
    for (const char* bad : {"../x", "a/b", "a\\b", "..", "a..b", ".hidden", "c:x", "a\tb", "a\x7f"})
        EXPECT_FALSE(isPlainFileName(bad)) << bad;
    for (const char* good : {"game", "my-demo_2", "a.b"}) EXPECT_TRUE(isPlainFileName(good)) << good;
    const std::string longest(73, 'd');
    EXPECT_TRUE(setDemoName(longest.c_str()));
    EXPECT_FALSE(setDemoName((longest + "d").c_str()));
    EXPECT_EQ(std::string(settings.demoname), longest);
    settings.demoNumber = 100;  // a third digit no longer fits: refused, not cut
    startRecording();
    EXPECT_FALSE(recording());
    EXPECT_EQ(fakeplatform::takeConsole().rfind("Unable to open ", 0), 0u);
    gameState.protocolKnown = false;  // nothing under an unknown protocol
    startRecording();
    EXPECT_EQ(settings.demoNumber, 101);
}

}  // namespace
