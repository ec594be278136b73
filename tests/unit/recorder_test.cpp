// Demo files: the format, free numbers, failures told, plain names.
#include "core/print.h"
#include "demo/recorder.h"
#include "observers/capture.h"
#include "observers/scanner.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

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

struct RecorderTest : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        ASSERT_TRUE(setDemoName("game"));
        settings.demoNumber = 1;
        openSlot(HostSlot, 3);
        fakeplatform::takeSent();
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
    told("Recording to game01.dem.\n");
    EXPECT_EQ(fakeplatform::fileContents("game01.dem"), FileHeader + creditBlock());  // no level yet
    setDemoAngles(0, 64, 255);
    const uint8_t message[3] = {1, 7, 0};
    recordMessage(message, 3);
    stopRecording();
    told("Completed game01.dem.\n");
    EXPECT_FALSE(recording());
    EXPECT_EQ(capture.captureWritePos, 5);
    const Bytes closing{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xB4, 0x42, 0x00, 0x4C, 0xB3, 0x43, 2};
    EXPECT_EQ(fakeplatform::fileContents("game01.dem"), FileHeader + creditBlock() + block({1, 7, 0}, 0, 90, 358.59375f) +
                                                            creditBlock(0, 90, 358.59375f) + closing);
}

TEST_F(RecorderTest, FilesTakeTheNextFreeNumberAndNeverOpenOneThatExists) {
    fakeplatform::addFile("game01.dem", {7});
    fakeplatform::addFile("game03.dem", {7});
    for (const char* name : {"game02.dem", "game04.dem"}) {
        startRecording();
        EXPECT_TRUE(fakeplatform::fileOpen(name)) << name;
        EXPECT_EQ(fakeplatform::takeConsole(), std::string("Recording to ") + name + ".\n");
        stopRecording();
        fakeplatform::takeConsole();
    }
    startRecording();
    startRecording();  // a second start never leaves the first file open
    EXPECT_FALSE(fakeplatform::fileOpen("game05.dem"));
    EXPECT_TRUE(fakeplatform::fileOpen("game06.dem"));
    EXPECT_EQ(fakeplatform::fileContents("game01.dem"), Bytes{7});
}

TEST_F(RecorderTest, FailuresAreToldAndAFileCutShortIsNeverCompleted) {
    fakeplatform::failFileOpen(true);
    startRecording();
    told("Unable to open game01.dem.\n");
    fakeplatform::failFileOpen(false);
    startRecording();
    fakeplatform::takeConsole();
    printsTo(HostSlot);
    fakeplatform::failFileWritesAfter(10);
    const uint8_t message[2] = {1, 1};
    recordMessage(message, 2);
    EXPECT_FALSE(recording());
    EXPECT_FALSE(fakeplatform::fileOpen("game02.dem"));
    told("Unable to write game02.dem: No space left on device.\n");
    EXPECT_EQ(settings.demoNumber, 3);  // still armed
    stopRecording();
    EXPECT_EQ(fakeplatform::takeConsole(), "");

    fakeplatform::failFileWritesAfter(1000000);
    startRecording();
    fakeplatform::failNextFileWrite();  // the file is gone by the closing credits
    stopRecording();
    EXPECT_EQ(fakeplatform::takeConsole(), "Recording to game03.dem.\nUnable to write game03.dem: Stale file handle.\n");
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
