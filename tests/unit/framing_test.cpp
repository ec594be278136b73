// Header fields and the senders' exact bytes: prints, reliable fragments, observer texts.
#include "unit/bytes.h"

namespace {

using namespace unit;

struct Senders : ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        for (int i = 1; i <= 3; ++i) openSlot(i, SlotFree);
        settings.slotLimit = 3;
    }
};

TEST_F(Senders, PrintsAndObserverTextsAreUnreliableDatagramsInEachSlotsNumbers) {
    // Observer texts go to the odd states (the host's 1, an observer's 5), never to 4.
    slotTable.slot[1].state = 1;
    slotTable.slot[2].state = 4;
    slotTable.slot[3].state = 5;
    slotTable.slot[3].unreliableSeq = 0x01020304;
    flushObserverPrints();
    EXPECT_TRUE(fakeplatform::takeSent().empty());
    appendObserverPrint("a\n");
    flushObserverPrints();
    auto sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes, (Bytes{0, 0x10, 0, 13, 0, 0, 0, 0, 8, 2, 'a', '\n', 0}));
    EXPECT_EQ(sent[1].bytes, (Bytes{0, 0x10, 0, 13, 1, 2, 3, 4, 8, 2, 'a', '\n', 0}));
    EXPECT_EQ(sent[1].to, slotTable.slot[3].peerAddress);
    // Long texts are cut, never overrun their buffers.
    appendObserverPrint("%s", std::string(5000, 'y').c_str());
    EXPECT_EQ(observerPrintTextLength(), MaxObserverPrintText);
    std::string text(3000, 'z');
    printToSlot(text.c_str(), int(text.size()) + 1, 1);
    EXPECT_EQ(fakeplatform::takeSent().back().bytes.size(), size_t(SendBufferSize));
}

TEST_F(Senders, ReliableRecordsAreCutInto1024ByteFragments) {
    static uint8_t record[16 + 2500];
    for (int n = 0; n < 2500; ++n) record[16 + n] = uint8_t(n);
    for (const auto& [length, sizes] : {std::pair<uint32_t, std::vector<size_t>>{2500, {1032, 1032, 460}},
                                        {1024, {1032}}, {0, {}}}) {
        setRecordLength(record, length);
        slotTable.slot[2].reliableSeq = 40;
        static uint8_t build[PacketBufferSize];
        sendReliable(record, build, 2);
        auto sent = fakeplatform::takeSent();
        ASSERT_EQ(sent.size(), sizes.size()) << length;
        for (size_t f = 0; f < sent.size(); ++f) {
            Bytes head = {0, uint8_t(f + 1 == sent.size() ? 0x09 : 0x01), uint8_t(sizes[f] >> 8), uint8_t(sizes[f]),
                          0, 0, 0, uint8_t(40 + f), uint8_t(f * 1024)};
            EXPECT_EQ(Bytes(sent[f].bytes.begin(), sent[f].bytes.begin() + 9), head);
            EXPECT_EQ(sent[f].bytes.size(), sizes[f]);
        }
        EXPECT_EQ(slotTable.slot[2].reliableSeq, 40 + sizes.size());
    }
}

}  // namespace
