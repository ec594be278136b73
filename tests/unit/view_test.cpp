// View offsets, impulses, the observers' setangle from host moves, and observing-mode smoothing.
#include "net/relay.h"
#include "observers/scanner.h"
#include "observers/view.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

struct ViewTest : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        settings.observers = 4;
        settings.slotLimit = 5;
        for (int i = HostSlot; i <= 6; i++) openSlot(i, SlotInGame);
        fakeplatform::takeSent();
    }

    // A protocol 15 clc_move in the PacketBuffer; returns its length.
    static int putMove(uint8_t pitch, uint8_t yaw, uint8_t roll, uint8_t buttons = 0, uint8_t impulse = 0,
                       uint8_t flags = FlagUnreliable) {
        const uint8_t move[24] = {0, flags, 0, 24, 0, 0, 0, 9, 3, 0, 0, 0, 0, pitch, yaw, roll,
                                  0x10, 0, 0, 0, 0, 0, buttons, impulse};
        std::memcpy(PacketBuffer, move, sizeof move);
        return int(sizeof move);
    }

    static bool printed(const Bytes& datagram, const std::string& text) {
        std::string payload(datagram.begin(), datagram.end());
        return payload.find(text + '\0') != std::string::npos;
    }
};

TEST(ViewOffsetTable, EachImpulseMovesItsAxisByItsStepWrappingAtEightBits) {
    const int expected[12][3] = {{-1, 0, 0}, {-16, 0, 0}, {16, 0, 0}, {1, 0, 0},  {0, 1, 0},  {0, 16, 0},
                                 {0, -16, 0}, {0, -1, 0}, {0, 0, -1}, {0, 0, -16}, {0, 0, 16}, {0, 0, 1}};
    for (int impulse = 1; impulse <= 12; impulse++) {
        int8_t offset[3] = {0, 0, 0};
        EXPECT_TRUE(changeOffsetByImpulse(offset, impulse));
        for (int a = 0; a < 3; a++) EXPECT_EQ(offset[a], expected[impulse - 1][a]) << impulse << " axis " << a;
    }
    for (int impulse : {0, 13, 255, -1}) {
        int8_t offset[3] = {5, 6, 7};
        EXPECT_FALSE(changeOffsetByImpulse(offset, impulse));
        EXPECT_EQ(Bytes(offset, offset + 3), (Bytes{5, 6, 7}));
    }
    int8_t offset[3] = {0, 0, -128};
    for (int i = 0; i < 8; i++) changeOffsetByImpulse(offset, 3);
    EXPECT_EQ(offset[0], -128);
    changeOffsetByImpulse(offset, 3);
    EXPECT_EQ(offset[0], -112);
    changeOffsetByImpulse(offset, 9);
    EXPECT_EQ(offset[2], 127);
}

TEST_F(ViewTest, ImpulseFromAWatchingObserverChangesItsOffsetAndAnswers) {
    applyViewImpulse(2, putMove(0, 0, 0, 0, 6));
    EXPECT_EQ(slotTable.slot[2].viewOffset[1], 16);
    auto replies = sentTo(2, fakeplatform::takeSent());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(printed(replies[0], "View offset: x=0 y=16 z=0\n"));

    slotTable.slot[2].viewOffset[0] = -3;
    applyViewImpulse(2, putMove(0, 0, 0, 0, 1));
    replies = sentTo(2, fakeplatform::takeSent());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(printed(replies[0], "View offset: x=-4 y=16 z=0\n"));
}

TEST_F(ViewTest, ImpulsesAreIgnoredOutsideStateFourAndOutsideMoves) {
    slotTable.slot[3].state = 3;
    applyViewImpulse(3, putMove(0, 0, 0, 0, 6));
    applyViewImpulse(2, putMove(0, 0, 0, 0, 6, FlagData | FlagEom));  // reliable, 3 at payload 0
    applyViewImpulse(2, putMove(0, 0, 0, 0, 6, FlagAck));
    applyViewImpulse(2, putMove(0, 0, 0, 0, 6) - 1);  // cut before the impulse
    applyViewImpulse(2, putMove(0, 0, 0, 0, 0));
    applyViewImpulse(2, putMove(0, 0, 0, 0, 13));
    EXPECT_TRUE(fakeplatform::takeSent().empty());
    for (int i : {2, 3})
        for (int a = 0; a < 3; a++) EXPECT_EQ(slotTable.slot[i].viewOffset[a], 0);
}

TEST_F(ViewTest, WatchingObserversGetTheHostsAnglesPlusTheirOffset) {
    slotTable.slot[2].viewOffset[1] = 16;
    slotTable.slot[2].unreliableSeq = 7;
    slotTable.slot[3].viewOffset[0] = -3;
    slotTable.slot[3].unreliableSeq = 100;
    slotTable.slot[4].moveButtons = 1;  // holding fire: looks around on its own
    slotTable.slot[5].state = 3;        // not yet watching
    // Slot 6 is in the game but beyond the slot limit.
    feedObserverViews(putMove(1, 250, 30));
    auto sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sentTo(2, sent)[0], (Bytes{0, 0x10, 0, 12, 0, 0, 0, 7, 10, 1, 10, 30}));
    EXPECT_EQ(sentTo(3, sent)[0], (Bytes{0, 0x10, 0, 12, 0, 0, 0, 100, 10, 254, 250, 30}));
    EXPECT_EQ(slotTable.slot[2].unreliableSeq, 8u);

    slotTable.slot[4].moveButtons = 0;  // fire released: the next move turns it back
    feedObserverViews(putMove(1, 250, 30));
    EXPECT_EQ(sentTo(4, fakeplatform::takeSent()).size(), 1u);
}

TEST_F(ViewTest, ShortMoveFeedsNobody) {
    feedObserverViews(HeaderSize + 7);
    EXPECT_TRUE(fakeplatform::takeSent().empty());
}

// 666: the move's angles are shorts, the setangle's bytes; 999 (flags 0x82): shorts both ways.
TEST_F(ViewTest, WideAnglesKeepTheCircleAndTheProtocolsSetangleSize) {
    const uint8_t move[27] = {0, 0x10, 0, 27, 0, 0, 0, 9, 3, 0, 0, 0, 0,
                              0xF0, 0xFF, 0xC0, 0x40, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0};
    slotTable.slot[2].viewOffset[0] = -1;
    slotTable.slot[2].viewOffset[1] = 16;
    for (int i = 3; i <= 6; i++) slotTable.slot[i].state = SlotFree;

    gameState.protocol = ProtocolFitzQuake;
    std::memcpy(PacketBuffer, move, sizeof move);
    feedObserverViews(sizeof move);
    auto sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    // pitch 0xFFF0 rounds to 0, minus one byte: 255; yaw 0x40C0 rounds to 0x41, plus 16.
    EXPECT_EQ(sent[0].bytes, (Bytes{0, 0x10, 0, 12, 0, 0, 0, 0, 10, 255, 0x51, 0x80}));

    gameState.protocol = ProtocolRMQ;
    gameState.protocolFlags = 0x82;
    std::memcpy(PacketBuffer, move, sizeof move);
    feedObserverViews(sizeof move);
    sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes,
              (Bytes{0, 0x10, 0, 15, 0, 0, 0, 1, 10, 0xF0, 0xFE, 0xC0, 0x50, 0x00, 0x80}));
}

TEST_F(ViewTest, FloatAnglesTurnByTheOffsetInDegrees) {
    gameState.protocol = ProtocolRMQ;
    gameState.protocolFlags = 0x86;
    for (int i = 3; i <= 6; i++) slotTable.slot[i].state = SlotFree;
    slotTable.slot[2].viewOffset[0] = -1;
    slotTable.slot[2].viewOffset[1] = 16;
    const float host[3] = {-10.0f, 90.0f, 0.0f};
    uint8_t move[33] = {0, 0x10, 0, 33, 0, 0, 0, 9, 3};
    std::memcpy(move + HeaderSize + 5, host, sizeof host);
    std::memcpy(PacketBuffer, move, sizeof move);
    feedObserverViews(sizeof move);
    auto sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].bytes.size(), 21u);
    EXPECT_EQ(sent[0].bytes[3], 21);
    float angles[3];
    std::memcpy(angles, sent[0].bytes.data() + HeaderSize + 1, sizeof angles);
    EXPECT_NEAR(angles[0], -11.40625f, 1e-4);
    EXPECT_NEAR(angles[1], 112.5f, 1e-4);
    EXPECT_NEAR(angles[2], 0.0f, 1e-4);
}

class SmoothingTest : public ViewTest {
protected:
    static void sample(uint32_t timeMs, uint8_t pitch, uint8_t yaw, uint8_t roll) {
        const uint8_t setangle[4] = {10, pitch, yaw, roll};
        storeAngleSample(setangle, timeMs);
    }
};

TEST_F(SmoothingTest, RendersTheViewAHundredMillisecondsAgo) {
    hostSlot().viewOffset[1] = 3;
    sample(1000, 0, 250, 20);
    sample(1050, 0, 4, 10);
    uint8_t angles[3] = {9, 9, 9};
    ASSERT_TRUE(smoothHostView(1125, angles));
    // Half way from 250 to 4 the short way round (+10): 255, plus the offset.
    EXPECT_EQ(Bytes(angles, angles + 3), (Bytes{0, 2, 15}));
    EXPECT_EQ(observing.readIndex, 1);
}

TEST_F(SmoothingTest, AnEmptyOrStaleRingLeavesTheAnglesAlone) {
    uint8_t angles[3] = {9, 9, 9};
    EXPECT_FALSE(smoothHostView(500, angles));
    sample(1000, 1, 2, 3);
    sample(1010, 1, 2, 3);
    EXPECT_FALSE(smoothHostView(1111, angles));
    EXPECT_EQ(Bytes(angles, angles + 3), (Bytes{9, 9, 9}));
}

TEST_F(SmoothingTest, ABurstWithinOneMillisecondGivesThePreviousAngles) {
    for (uint32_t i = 0; i < 33; i++) sample(1000, 0, uint8_t(i), 0);
    uint8_t angles[3];
    ASSERT_TRUE(smoothHostView(1050, angles));  // no time between the two samples: no step
    EXPECT_EQ(angles[1], 1);  // the ring keeps samples 2..32; the one before them is sample 1
}

TEST_F(SmoothingTest, AFullRingDropsItsOldestSampleInsteadOfEmptying) {
    for (uint32_t i = 0; i < 32; i++) sample(10 * i, 0, uint8_t(2 * i), 0);
    uint8_t angles[3];
    ASSERT_TRUE(smoothHostView(315, angles));
    // Between the samples of 210 ms (yaw 42) and 220 ms (yaw 44), half way.
    EXPECT_EQ(angles[1], 43);
    for (uint32_t i = 32; i < 40; i++) sample(10 * i, 0, uint8_t(2 * i), 0);
    ASSERT_TRUE(smoothHostView(395, angles));
    EXPECT_EQ(angles[1], 59);
}

}  // namespace
