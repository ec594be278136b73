// The server stream capture under an unknown protocol; the demo files: free numbers, failures told,
// plain names.
#include <algorithm>

#include "core/clock.h"
#include "demo/recorder.h"
#include "observers/capture.h"
#include "observers/scanner.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

// svc_serverinfo of `protocol` for `map`, then svc_signonnum 1, as the server's first message.
Bytes serverInfo(const std::string& map, int32_t protocol = 15) {
    return Bytes{11} + longBytes(uint32_t(protocol)) + Bytes{4, 0} + str("A level") + str("maps/" + map + ".bsp") +
           str("") + str("") + Bytes{25, 1};
}

struct CaptureTest : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        settings.observers = 3;
        settings.slotLimit = 4;
        settings.demoname[0] = 'g';
        settings.demoNumber = 1;
        slotTable.hostConnected = true;
        slotTable.serverConnected = true;
        loop.nowSeconds = 1000;
        openSlot(HostSlot, 1);
        fakeplatform::takeSent();
    }
    // The relay's hand-over: a reliable fragment carries its stream number.
    void fromServer(const Bytes& d) {
        std::memcpy(PacketBuffer, d.data(), d.size());
        if (isReliableFragment(d.data())) numbering.lastHostReliableSeq = sequenceField(d.data());
        captureServerDatagram(int(d.size()));
    }
    void message(const Bytes& m) { fromServer(datagram(0x09, next++, m)); }
    // Console and host were told `text` alone.
    static void told(const std::string& text) {
        EXPECT_EQ(fakeplatform::takeConsole(), text);
        EXPECT_EQ(printsTo(HostSlot), std::vector<std::string>{text});
    }
    uint32_t next = 0;
};

TEST_F(CaptureTest, AnUnknownProtocolIsToldOnceAndNeitherRecordedNorWatched) {
    startRecording();
    for (const Bytes& m : {serverInfo("e1m1"), Bytes{25, 2}, Bytes{25, 3}}) message(m);
    openSlot(2, SlotInGame);  // an observer watching the game: its stream numbers are the host's
    slotTable.slot[2].ackedSeq = next - 1;
    slotTable.slot[2].lastHeardTime = slotTable.slot[2].lastReliableSendTime = loop.nowSeconds;
    capture.fanOutMask |= 1u << 2;
    message(serverInfo("dm1", 3504));
    const char told[] = "Observers and recording are not available for protocol 3504.\n";
    EXPECT_NE(fakeplatform::takeConsole().find(told), std::string::npos);
    EXPECT_FALSE(recording());
    sentTo(2);  // its game reaches no observer and no file
    fromServer(datagram(0x10, 5, Bytes{1}));
    message(print("dp"));
    EXPECT_TRUE(sentTo(2).empty());
    message(serverInfo("e1m3"));  // a known level again: a new file
    EXPECT_TRUE(fakeplatform::fileOpen("g02.dem"));
}

TEST_F(CaptureTest, FilesTakeTheNextFreeNumberAndNeverOpenOneThatExists) {
    fakeplatform::addFile("g01.dem", {7});
    fakeplatform::addFile("g03.dem", {7});
    for (const char* name : {"g02.dem", "g04.dem"}) {
        startRecording();
        EXPECT_TRUE(fakeplatform::fileOpen(name)) << name;
        told(std::string("Recording to ") + name + ".\n");
        stopRecording();
        told(std::string("Completed ") + name + ".\n");
    }
    EXPECT_EQ(fakeplatform::fileContents("g01.dem"), Bytes{7});
}

TEST_F(CaptureTest, FailuresAreToldAndAFileCutShortIsNeverCompleted) {
    fakeplatform::failFileOpen(true);
    startRecording();
    told("Unable to open g01.dem.\n");
    fakeplatform::failFileOpen(false);
    startRecording();
    told("Recording to g02.dem.\n");
    // A reliable message too long to capture cannot be written: the file ends there, not complete.
    for (int i = 0; i < 70; i++) fromServer(datagram(i < 69 ? 0x01 : 0x09, next++, Bytes(1000, 1)));
    EXPECT_FALSE(recording());
    told("Unable to write g02.dem: a server message too long to record.\n");
    startRecording();
    told("Recording to g03.dem.\n");
    fakeplatform::failFileWritesAfter(10);
    const uint8_t message[2] = {1, 1};
    recordMessage(message, 2);
    EXPECT_FALSE(recording());
    EXPECT_FALSE(fakeplatform::fileOpen("g03.dem"));
    told("Unable to write g03.dem: No space left on device.\n");
    EXPECT_EQ(settings.demoNumber, 4);  // still armed
    stopRecording();
    EXPECT_EQ(fakeplatform::takeConsole(), "");
    fakeplatform::failFileWritesAfter(1 << 20);
    startRecording();
    fakeplatform::failNextFileClose();  // what the disk could not keep shows only at the close
    stopRecording();
    EXPECT_EQ(fakeplatform::takeConsole(), "Recording to g04.dem.\nUnable to write g04.dem: Input/output error.\n");
}

TEST_F(CaptureTest, NamesFromTheGameArePlainFileNamesThatFitTheStore) {
    for (const char* bad : {"../x", "a/b", "a\\b", "..", "a..b", ".hidden", "c:x", "a\tb", "a\x7f"})
        EXPECT_FALSE(isPlainFileName(bad)) << bad;
    for (const char* good : {"game", "my-demo_2", "a.b"}) EXPECT_TRUE(isPlainFileName(good)) << good;
    const std::string longest(73, 'd');
    EXPECT_TRUE(setDemoName(longest.c_str()));
    EXPECT_FALSE(setDemoName((longest + "d").c_str()));
    settings.demoNumber = 100;  // a third digit no longer fits: refused, not cut
    startRecording();
    EXPECT_FALSE(recording());
}

}  // namespace
