// View offsets, impulses, the observers' setangle from host moves, and observing-mode smoothing.
#include "observers/scanner.h"
#include "observers/view.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

struct View : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        settings.observers = 4;
        settings.slotLimit = 5;
        for (int i = HostSlot; i <= 6; i++) openSlot(i, SlotInGame);
        fakeplatform::takeSent();
    }
    // A move of this protocol in the PacketBuffer: its angle bytes, buttons and impulse; its length.
    static int putMove(const Bytes& angles, uint8_t buttons = 0, uint8_t impulse = 0, uint8_t flags = FlagUnreliable) {
        Bytes move = datagram(flags, 9, Bytes{3, 0, 0, 0, 0} + angles + Bytes(6, 0) + Bytes{buttons, impulse});
        std::memcpy(PacketBuffer, move.data(), move.size());
        return int(move.size());
    }
    static void sample(uint32_t timeMs, uint8_t pitch, uint8_t yaw, uint8_t roll) {
        const uint8_t setangle[4] = {10, pitch, yaw, roll};
        storeAngleSample(setangle, timeMs);
    }
};

TEST_F(View, ImpulsesMoveTheirAxisByTheirStepOnlyForAWatchingObserversMove) {
    int8_t offset[3] = {0, 0, 0};
    for (int impulse = 0; impulse <= 13; impulse++)  // impulse n n times: each step counts differently
        for (int n = 0; n < std::max(impulse, 1); n++) changeOffsetByImpulse(offset, impulse);
    EXPECT_EQ(Bytes(offset, offset + 3), (Bytes{19, uint8_t(-19), 19}));
    slotTable.slot[2].viewOffset[0] = -3;
    applyViewImpulse(2, putMove({0, 0, 0}, 0, 6));
    applyViewImpulse(2, putMove({0, 0, 0}, 0, 1));
    std::vector<Bytes> replies = sentTo(2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1], datagram(0x10, 1, print("\x02View offset: x=-4 y=16 z=0\n")));
    slotTable.slot[3].state = 3;
    applyViewImpulse(3, putMove({0, 0, 0}, 0, 6));
    applyViewImpulse(2, putMove({0, 0, 0}, 0, 6, FlagData | FlagEom));
    applyViewImpulse(2, putMove({0, 0, 0}, 0, 6) - 1);  // cut before the impulse
    EXPECT_TRUE(fakeplatform::takeSent().empty());
    EXPECT_EQ(slotTable.slot[2].viewOffset[1] + slotTable.slot[3].viewOffset[1], 16);
}

TEST_F(View, WatchingObserversGetTheHostsAnglesPlusTheirOffsetInTheProtocolsSizes) {
    slotTable.slot[2].viewOffset[1] = 16;
    slotTable.slot[2].unreliableSeq = 7;
    slotTable.slot[3].viewOffset[0] = -3;
    slotTable.slot[4].moveButtons = 1;  // holding fire: looks around on its own
    slotTable.slot[5].state = 3;        // not yet watching; slot 6 is beyond the slot limit
    feedObserverViews(putMove({1, 250, 30}));
    auto sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sentTo(2, sent).at(0), (Bytes{0, 0x10, 0, 12, 0, 0, 0, 7, 10, 1, 10, 30}));
    EXPECT_EQ(sentTo(3, sent).at(0), (Bytes{0, 0x10, 0, 12, 0, 0, 0, 0, 10, 254, 250, 30}));
    feedObserverViews(HeaderSize + 7);  // too short for the move's angles
    EXPECT_TRUE(fakeplatform::takeSent().empty());
    for (int i = 3; i <= 6; i++) slotTable.slot[i].state = SlotFree;
    slotTable.slot[2].viewOffset[0] = -1;
    // 999 (flags 0x82): the angles are shorts both ways.
    gameState.protocol = ProtocolRMQ;
    gameState.protocolFlags = 0x82;
    feedObserverViews(putMove({0xF0, 0xFF, 0xC0, 0x40, 0x00, 0x80, 0}));
    EXPECT_EQ(fakeplatform::takeSent().at(0).bytes,
              (Bytes{0, 0x10, 0, 15, 0, 0, 0, 8, 10, 0xF0, 0xFE, 0xC0, 0x50, 0x00, 0x80}));
}

TEST_F(View, ObservingModeRendersTheViewAHundredMillisecondsAgo) {
    uint8_t angles[3] = {9, 9, 9};
    sample(1000, 1, 2, 3);
    sample(1010, 1, 2, 3);
    EXPECT_FALSE(smoothHostView(1111, angles));  // stale
    EXPECT_EQ(Bytes(angles, angles + 3), (Bytes{9, 9, 9}));
    hostSlot().viewOffset[1] = 3;
    sample(1020, 0, 250, 20);
    sample(1070, 0, 4, 10);
    ASSERT_TRUE(smoothHostView(1145, angles));
    EXPECT_EQ(Bytes(angles, angles + 3), (Bytes{0, 2, 15}));  // half way from 250 to 4 the short way, plus 3
}

}  // namespace
