// Demo files: names, credit and closing blocks, catch-up records, messages and the refusals.
#include "core/print.h"
#include "demo/recorder.h"
#include "observers/capture.h"
#include "observers/scanner.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

const std::string CreditText = std::string("\x02\n") + SKOPOS_BAR + "\nThis demo file was recorded with\n" +
                               SKOPOS_VISIT + SKOPOS_BAR + "\n";

Bytes floatBytes(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)};
}

Bytes block(const Bytes& message, float pitch = 0, float yaw = 0, float roll = 0) {
    Bytes b = longBytes(uint32_t(message.size()));
    for (float angle : {pitch, yaw, roll}) {
        Bytes f = floatBytes(angle);
        b.insert(b.end(), f.begin(), f.end());
    }
    b.insert(b.end(), message.begin(), message.end());
    return b;
}

Bytes creditBlock(float pitch = 0, float yaw = 0, float roll = 0) { return block(print(CreditText), pitch, yaw, roll); }

const Bytes FileHeader{'-', '1', '\n'};

struct RecorderTest : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        ASSERT_TRUE(setDemoName("game"));
        settings.demoNumber = 1;
        openSlot(HostSlot, 3);
        fakeplatform::takeSent();
        fakeplatform::takeConsole();
    }

    static std::vector<std::string> hostPrints() { return printsTo(HostSlot); }
};

TEST_F(RecorderTest, AFileOpensAndClosesWithCreditsAndTheClosingBlock) {
    startRecording();
    ASSERT_TRUE(recording());
    EXPECT_EQ(fakeplatform::fileContents("game01.dem"), (FileHeader + creditBlock()));  // no level yet
    EXPECT_EQ(settings.demoNumber, 2);
    EXPECT_EQ(fakeplatform::takeConsole(), "Recording to game01.dem.\n");
    EXPECT_EQ(hostPrints(), std::vector<std::string>{"Recording to game01.dem.\n"});

    setDemoAngles(0, 64, 255);
    stopRecording();
    EXPECT_FALSE(recording());
    EXPECT_FALSE(fakeplatform::fileOpen("game01.dem"));
    EXPECT_EQ(fakeplatform::takeConsole(), "Completed game01.dem.\n");
    EXPECT_EQ(hostPrints(), std::vector<std::string>{"Completed game01.dem.\n"});

    const Bytes closing{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xB4, 0x42, 0x00, 0x4C, 0xB3, 0x43, 2};
    EXPECT_EQ(fakeplatform::fileContents("game01.dem"),
              (FileHeader + creditBlock() + creditBlock(0, 90, 358.59375f) + closing));
}

TEST_F(RecorderTest, FilesTakeTheNextFreeNumberAndNeverOpenOneThatExists) {
    fakeplatform::addFile("game01.dem", {7});
    fakeplatform::addFile("game03.dem", {7});
    for (const char* name : {"game02.dem", "game04.dem"}) {
        startRecording();
        EXPECT_TRUE(fakeplatform::fileOpen(name)) << name;
        EXPECT_NE(fakeplatform::takeConsole().find(std::string("Recording to ") + name), std::string::npos);
        stopRecording();
    }
    EXPECT_EQ(fakeplatform::fileContents("game01.dem"), Bytes{7});
    EXPECT_EQ(settings.demoNumber, 5);
    startRecording();  // a second start never leaves the first file open
    startRecording();
    EXPECT_FALSE(fakeplatform::fileOpen("game05.dem"));
    EXPECT_TRUE(fakeplatform::fileOpen("game06.dem"));
}

TEST_F(RecorderTest, AFileOpenedMidLevelHoldsEachStageTwoMessageAsItsOwnBlock) {
    hostSlot().state = 5;
    capture.recordValid[0] = capture.recordValid[1] = true;
    const Bytes message1{11, 15, 0, 0, 0, 1}, part1{1, 1, 1}, part2{25, 2};
    setRecordLength(capture.record1, uint32_t(message1.size()));
    std::memcpy(capture.record1 + 4, floatBytes(45.0f).data(), 4);
    std::memcpy(capture.record1 + RecordHeaderSize, message1.data(), message1.size());
    for (const Bytes& part : {part1, part2}) {
        uint8_t* at = capture.stage2Pool + capture.stage2PoolUsed;
        std::memset(at, 0, RecordHeaderSize);
        setRecordLength(at, uint32_t(part.size()));
        std::memcpy(at + RecordHeaderSize, part.data(), part.size());
        capture.stage2Offsets[capture.stage2Count++] = capture.stage2PoolUsed;
        capture.stage2PoolUsed += RecordHeaderSize + int(part.size());
    }
    startRecording();
    stopRecording();
    const uint8_t* record3 = catchUpRecord(3);
    Bytes stateBlock(record3, record3 + RecordHeaderSize + recordLength(record3));
    EXPECT_GT(stateBlock.size(), size_t(RecordHeaderSize));  // rebuilt just before
    Bytes file = fakeplatform::fileContents("game01.dem");
    Bytes opening = (FileHeader + creditBlock() + block(message1, 45.0f) + block(part1) + block(part2) + stateBlock);
    ASSERT_GE(file.size(), opening.size());
    EXPECT_EQ(Bytes(file.begin(), file.begin() + long(opening.size())), opening);
}

TEST_F(RecorderTest, MessagesBecomeBlocksWithTheCurrentAnglesAndCreditsLeaveAHalfMessageAlone) {
    capture.captureWritePos = 5;
    std::memcpy(capture.captureBuffer + RecordHeaderSize, "\x0b\x0f\0\0\0", 5);
    startRecording();
    setDemoAngles(0, 64, 255);
    const uint8_t message[3] = {1, 7, 0};
    recordMessage(message, 3);
    recordMessage(message, 0);
    Bytes file = fakeplatform::fileContents("game01.dem");
    Bytes tail = (block({1, 7, 0}, 0, 90, 358.59375f) + block({}, 0, 90, 358.59375f));
    ASSERT_GE(file.size(), tail.size());
    EXPECT_EQ(Bytes(file.end() - long(tail.size()), file.end()), tail);
    stopRecording();
    EXPECT_EQ(capture.captureWritePos, 5);
    EXPECT_EQ(std::memcmp(capture.captureBuffer + RecordHeaderSize, "\x0b\x0f\0\0\0", 5), 0);
}

TEST_F(RecorderTest, AFileThatCannotBeOpenedIsToldAndSkipped) {
    fakeplatform::failFileOpen(true);
    startRecording();
    EXPECT_FALSE(recording());
    EXPECT_EQ(settings.demoNumber, 2);
    EXPECT_EQ(fakeplatform::takeConsole(), "Unable to open game01.dem.\n");
    EXPECT_EQ(hostPrints(), std::vector<std::string>{"Unable to open game01.dem.\n"});
    fakeplatform::failFileOpen(false);
    startRecording();
    EXPECT_TRUE(fakeplatform::fileOpen("game02.dem"));
}

TEST_F(RecorderTest, AFailedWriteClosesTheFileSaysWhyAndNeverSaysCompleted) {
    startRecording();
    fakeplatform::takeConsole();
    hostPrints();
    fakeplatform::failFileWritesAfter(10);
    const uint8_t message[2] = {1, 1};
    recordMessage(message, 2);
    EXPECT_FALSE(recording());
    EXPECT_FALSE(fakeplatform::fileOpen("game01.dem"));
    const std::string told = "Unable to write game01.dem: No space left on device.\n";
    EXPECT_EQ(fakeplatform::takeConsole(), told);
    EXPECT_EQ(hostPrints(), std::vector<std::string>{told});
    EXPECT_EQ(settings.demoNumber, 2);  // still armed
    stopRecording();
    EXPECT_EQ(fakeplatform::takeConsole(), "");

    fakeplatform::failFileWritesAfter(1000000);
    startRecording();
    fakeplatform::failNextFileWrite();  // the file is gone by the closing credits
    stopRecording();
    EXPECT_EQ(fakeplatform::takeConsole(), "Recording to game02.dem.\nUnable to write game02.dem: Stale file handle.\n");
}

TEST_F(RecorderTest, NothingIsRecordedUnderAnUnknownProtocol) {
    gameState.protocolKnown = false;
    startRecording();
    EXPECT_FALSE(recording());
    EXPECT_EQ(settings.demoNumber, 1);
    EXPECT_FALSE(fakeplatform::fileExists("game01.dem"));
}

TEST_F(RecorderTest, NamesFromTheGameArePlainFileNamesThatFitTheStore) {
    for (const char* bad : {"../x", "a/b", "a\\b", "..", "a..b", ".hidden", "c:x", "a\tb", "a\x7f"})
        EXPECT_FALSE(isPlainFileName(bad)) << bad;
    for (const char* good : {"game", "my-demo_2", "a.b"}) EXPECT_TRUE(isPlainFileName(good)) << good;
    const std::string longest(73, 'd');
    EXPECT_TRUE(setDemoName(longest.c_str()));
    EXPECT_FALSE(setDemoName((longest + "d").c_str()));
    EXPECT_EQ(std::string(settings.demoname), longest);
    // Past 99 the number takes a third digit, which no longer fits: refused, not cut.
    settings.demoNumber = 100;
    startRecording();
    EXPECT_FALSE(recording());
    EXPECT_EQ(settings.demoNumber, 101);
    EXPECT_EQ(fakeplatform::takeConsole().rfind("Unable to open ", 0), 0u);
}

TEST(DemoAngles, AreAngleBytesInDegrees) {
    setDemoAngles(0, 64, 255);
    EXPECT_EQ(recorder.demoAngles[0], 0.0f);
    EXPECT_EQ(recorder.demoAngles[1], 90.0f);
    EXPECT_EQ(recorder.demoAngles[2], 358.59375f);
}

}  // namespace
