// Header kinds, sequence arithmetic and the senders' exact bytes.
#include "observers/prints.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

TEST(Framing, KindsAreReadFromTheFlagsByteAlone) {
    struct Case { uint8_t flags; bool reliable, last, ack, unreliable; };
    for (const Case& c : {Case{0x01, true, false, false, false}, Case{0x09, true, true, false, false},
                          Case{0x02, false, false, true, false}, Case{0x10, false, false, false, true},
                          Case{0x11, false, false, false, false}, Case{0x04, false, false, false, false}}) {
        uint8_t d[8] = {0, c.flags};
        EXPECT_EQ(isReliableFragment(d), c.reliable) << int(c.flags);
        EXPECT_EQ(c.reliable && isLastFragment(d), c.last) << int(c.flags);
        EXPECT_EQ(isAckDatagram(d), c.ack) << int(c.flags);
        EXPECT_EQ(isUnreliableDatagram(d), c.unreliable) << int(c.flags);
    }
    uint8_t control[2] = {0x80, 0x00};
    EXPECT_TRUE(isControlPacket(control));
    control[1] = 0x01;
    EXPECT_FALSE(isControlPacket(control));
}

TEST(Framing, FieldsAreBigEndianAndCountersWrap) {
    uint8_t d[8] = {};
    setSequenceField(d, 0x01020304);
    setLengthField(d, 0x0408);
    EXPECT_EQ(d[4], 1);
    EXPECT_EQ(d[7], 4);
    EXPECT_EQ(lengthField(d), 0x0408);
    uint32_t counter = 0xFFFFFFFF;
    stampNext(d, counter);
    EXPECT_EQ(sequenceField(d), 0xFFFFFFFFu);
    EXPECT_EQ(counter, 0u);
}

struct Senders : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        for (int i = 1; i <= 3; ++i) openSlot(i, SlotFree);
        settings.slotLimit = 3;
    }
};

TEST_F(Senders, PrintIsA25ByteUnreliableDatagram) {
    hostSlot().unreliableSeq = 7;
    printToHost("Disconnected.\n", 15);
    auto sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, (Bytes{0, 0x10, 0, 25, 0, 0, 0, 7, 8, 2} + str("Disconnected.\n")));
    EXPECT_EQ(sent[0].to, hostSlot().peerAddress);
    EXPECT_EQ(hostSlot().unreliableSeq, 8u);
}

TEST_F(Senders, ReliableRecordsAreCutInto1024ByteFragments) {
    static uint8_t record[16 + 2500];
    for (int n = 0; n < 2500; ++n) record[16 + n] = uint8_t(n);
    struct Case { uint32_t length; std::vector<size_t> sizes; };
    for (const Case& c : {Case{2500, {1032, 1032, 460}}, Case{1024, {1032}}, Case{0, {}}}) {
        setRecordLength(record, c.length);
        slotTable.slot[2].reliableSeq = 40;
        static uint8_t build[PacketBufferSize];
        sendReliable(record, build, 2);
        auto sent = fakeplatform::takeSent();
        ASSERT_EQ(sent.size(), c.sizes.size()) << c.length;
        for (size_t f = 0; f < sent.size(); ++f) {
            EXPECT_EQ(sent[f].bytes.size(), c.sizes[f]);
            EXPECT_EQ(lengthField(sent[f].bytes.data()), c.sizes[f]);
            EXPECT_EQ(sent[f].bytes[1], f + 1 == sent.size() ? 0x09 : 0x01);
            EXPECT_EQ(sequenceField(sent[f].bytes.data()), 40 + f);
            EXPECT_EQ(sent[f].bytes[8], uint8_t(f * 1024));
        }
        EXPECT_EQ(slotTable.slot[2].reliableSeq, 40 + c.sizes.size());
    }
}

TEST_F(Senders, ObserverPrintsGoToOddStatesEachWithItsOwnNumber) {
    slotTable.slot[1].state = 1;
    slotTable.slot[2].state = 4;
    slotTable.slot[3].state = 5;
    slotTable.slot[3].unreliableSeq = 90;
    flushObserverPrints();
    EXPECT_TRUE(fakeplatform::takeSent().empty());
    appendObserverPrint("a\n");
    flushObserverPrints();
    auto sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes, (Bytes{0, 0x10, 0, 13, 0, 0, 0, 0, 8, 2, 'a', '\n', 0}));
    EXPECT_EQ(sent[1].to, slotTable.slot[3].peerAddress);
    EXPECT_EQ(sequenceField(sent[1].bytes.data()), 90u);
    EXPECT_TRUE(observerPrintsEmpty());
}

TEST_F(Senders, LongTextsNeverOverrunTheirBuffers) {
    slotTable.slot[1].state = 1;
    for (int i = 0; i < 5; ++i) appendObserverPrint("%s", std::string(1000, 'x').c_str());
    auto sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 2u);  // 2000 fit one datagram; the third and fifth text flushed
    for (const auto& d : sent) EXPECT_LE(d.bytes.size(), 2048u);
    appendObserverPrint("%s", std::string(5000, 'y').c_str());
    EXPECT_EQ(observerPrintTextLength(), MaxObserverPrintText);
    fakeplatform::takeSent();
    std::string text(3000, 'z');
    printToSlot(text.c_str(), int(text.size()) + 1, 1);
    sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes.size(), size_t(SendBufferSize));
    EXPECT_EQ(sent[0].bytes.back(), 0);
}

}  // namespace
