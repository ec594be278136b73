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

TEST_F(RecorderTest, EachFileTakesTheNextNumber) {
    for (const char* name : {"game01.dem", "game02.dem"}) {
        startRecording();
        stopRecording();
        EXPECT_TRUE(fakeplatform::fileExists(name)) << name;
    }
    settings.demoNumber = 100;
    startRecording();
    EXPECT_TRUE(fakeplatform::fileOpen("game100.dem"));
    startRecording();  // a second start never leaves the first file open
    EXPECT_FALSE(fakeplatform::fileOpen("game100.dem"));
    EXPECT_TRUE(fakeplatform::fileOpen("game101.dem"));
}

TEST_F(RecorderTest, AFileOpenedMidLevelStartsWithTheCatchUpRecords) {
    hostSlot().state = 5;
    uint8_t* record1 = capture.record1;
    uint8_t* record2 = capture.record2;
    const Bytes message1{11, 15, 0, 0, 0, 1}, message2{25, 2};
    setRecordLength(record1, uint32_t(message1.size()));
    std::memcpy(record1 + 4, floatBytes(45.0f).data(), 4);
    std::memcpy(record1 + RecordHeaderSize, message1.data(), message1.size());
    setRecordLength(record2, uint32_t(message2.size()));
    std::memcpy(record2 + RecordHeaderSize, message2.data(), message2.size());

    startRecording();
    stopRecording();
    const uint8_t* record3 = catchUpRecord(3);
    Bytes stateBlock(record3, record3 + RecordHeaderSize + recordLength(record3));
    EXPECT_GT(stateBlock.size(), size_t(RecordHeaderSize));  // rebuilt just before
    Bytes file = fakeplatform::fileContents("game01.dem");
    Bytes opening = (FileHeader + creditBlock() + block(message1, 45.0f) + block(message2) + stateBlock);
    ASSERT_GE(file.size(), opening.size());
    EXPECT_EQ(Bytes(file.begin(), file.begin() + long(opening.size())), opening);
}

TEST_F(RecorderTest, MessagesBecomeBlocksWithTheCurrentAngles) {
    startRecording();
    setDemoAngles(0, 64, 255);
    const uint8_t message[3] = {1, 7, 0};
    recordMessage(message, 3);
    recordMessage(message, 0);
    Bytes file = fakeplatform::fileContents("game01.dem");
    Bytes tail = (block({1, 7, 0}, 0, 90, 358.59375f) + block({}, 0, 90, 358.59375f));
    ASSERT_GE(file.size(), tail.size());
    EXPECT_EQ(Bytes(file.end() - long(tail.size()), file.end()), tail);
}

TEST_F(RecorderTest, CreditsLeaveAHalfGatheredMessageAlone) {
    capture.captureWritePos = 5;
    std::memcpy(capture.captureBuffer + RecordHeaderSize, "\x0b\x0f\0\0\0", 5);
    startRecording();
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

TEST_F(RecorderTest, AFullDiskNeverStopsTheProxy) {
    fakeplatform::failFileWritesAfter(10);
    startRecording();
    const uint8_t message[2] = {1, 1};
    recordMessage(message, 2);
    stopRecording();
    EXPECT_FALSE(recording());
    EXPECT_NE(fakeplatform::takeConsole().find("Completed game01.dem.\n"), std::string::npos);
}

TEST_F(RecorderTest, NothingIsRecordedUnderAnUnknownProtocol) {
    gameState.protocolKnown = false;
    startRecording();
    EXPECT_FALSE(recording());
    EXPECT_EQ(settings.demoNumber, 1);
    EXPECT_FALSE(fakeplatform::fileExists("game01.dem"));
}

TEST_F(RecorderTest, BaseNamesThatCouldOverrunTheNameStoreAreRefused) {
    const std::string longest(73, 'd');
    EXPECT_TRUE(setDemoName(longest.c_str()));
    EXPECT_FALSE(setDemoName((longest + "d").c_str()));
    EXPECT_EQ(std::string(settings.demoname), longest);
    startRecording();
    EXPECT_TRUE(fakeplatform::fileOpen(longest + "01.dem"));
    stopRecording();
    // Past 99 the number takes a third digit, which no longer fits: refused, not cut.
    settings.demoNumber = 100;
    fakeplatform::takeConsole();
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

TEST(ReconnectOrder, IsTheStufftextWithItsZero) {
    const uint8_t order[14] = {9, 'r', 'e', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0, 1, 1};
    EXPECT_TRUE(isReconnectOrder(order, 12));
    EXPECT_TRUE(isReconnectOrder(order, 14));
    EXPECT_FALSE(isReconnectOrder(order, 11));
    uint8_t other[12];
    std::memcpy(other, order, 12);
    other[11] = ' ';  // "reconnect\n " runs on: another command
    EXPECT_FALSE(isReconnectOrder(other, 12));
    other[11] = 0;
    other[0] = 8;
    EXPECT_FALSE(isReconnectOrder(other, 12));
}

}  // namespace
