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

}  // namespace
