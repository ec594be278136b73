// The bandwidth limiter's decisions and its millisecond clock on the in-memory counter.
#include <gtest/gtest.h>

#include <climits>

#include "core/settings.h"
#include "core/startup.h"
#include "net/limiter.h"
#include "platform/memory.h"

namespace {

constexpr uint64_t TwoTo32 = 4294967296ull;

class LimiterTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeplatform::reset();
        resetProxyState();
        checkTimer();  // the counter reads 0: nowMs equals the fake's milliseconds
        fakeplatform::takeConsole();
    }
    static void at(uint64_t ms) { fakeplatform::setMilliseconds(ms); }
    static bool move(uint8_t buttons = 0, uint8_t impulse = 0) { return allowHostMove(24, buttons, impulse); }
};

TEST_F(LimiterTest, IdenticalMovesAreThinnedToTheRate) {
    settings.c2sbps = 1000;
    at(5000);
    EXPECT_TRUE(move());
    EXPECT_EQ(limiter.c2sNextSendMs, 5052u);
    at(5030);
    EXPECT_FALSE(move());
    at(5052);
    EXPECT_FALSE(move());
    at(5053);
    EXPECT_TRUE(move());
    EXPECT_EQ(limiter.c2sNextSendMs, 5105u);
}

TEST_F(LimiterTest, ChangedButtonsOrImpulseAlwaysPassAndRestartTheWindow) {
    settings.c2sbps = 1000;
    at(5000);
    EXPECT_TRUE(move());
    at(5010);
    EXPECT_TRUE(move(1, 0));
    EXPECT_EQ(limiter.c2sNextSendMs, 5062u);
    EXPECT_EQ(limiter.lastMoveKey, 256u);
    at(5062);
    EXPECT_FALSE(move(1, 0));
    EXPECT_TRUE(move(1, 6));  // same instant, new impulse
    EXPECT_TRUE(move(0, 6));  // fire released
    EXPECT_FALSE(move(0, 6));
}

TEST_F(LimiterTest, ServerDatagramsAreHeldUntilTheirCostHasPassed) {
    settings.s2cbps = 2000;
    at(100);
    EXPECT_FALSE(holdServerDatagram());
    chargeServerDatagram(300);
    EXPECT_EQ(limiter.s2cNextSendMs, 264u);
    at(200);
    EXPECT_TRUE(holdServerDatagram());
    at(264);
    EXPECT_TRUE(holdServerDatagram());
    at(265);
    EXPECT_FALSE(holdServerDatagram());
}

TEST_F(LimiterTest, RateZeroOrNegativeNeitherReadsTheClockNorDrops) {
    for (int rate : {0, -1, INT_MIN}) {
        settings.c2sbps = rate;
        settings.s2cbps = rate;
        limiter.nowMs = 777;
        limiter.s2cNextSendMs = 999;
        at(800);
        for (int i = 0; i < 3; i++) {
            EXPECT_TRUE(move()) << rate;
            EXPECT_FALSE(holdServerDatagram()) << rate;
            chargeServerDatagram(1400);
        }
        EXPECT_EQ(limiter.nowMs, 777u) << rate;
        EXPECT_EQ(limiter.s2cNextSendMs, 999u) << rate;
        EXPECT_EQ(datagramCostMs(1400, rate), 0) << rate;
    }
}

TEST_F(LimiterTest, WindowsHoldAcrossTheWrapOfTheMillisecondClock) {
    settings.c2sbps = 1000;
    settings.s2cbps = 2000;
    at(TwoTo32 - 20);
    EXPECT_TRUE(move());
    EXPECT_EQ(limiter.c2sNextSendMs, 32u);
    at(TwoTo32 - 1);
    EXPECT_FALSE(move());  // a plain unsigned comparison would let this through
    at(TwoTo32 + 32);
    EXPECT_FALSE(move());
    at(TwoTo32 + 33);
    EXPECT_TRUE(move());

    at(TwoTo32 - 50);
    EXPECT_FALSE(holdServerDatagram());
    chargeServerDatagram(300);
    EXPECT_EQ(limiter.s2cNextSendMs, 114u);
    at(TwoTo32 + 10);
    EXPECT_TRUE(holdServerDatagram());
    at(TwoTo32 + 115);
    EXPECT_FALSE(holdServerDatagram());
}

// After 2^31 ms (24.8 days) a window looks ahead again to a plain wrap-safe comparison.
TEST_F(LimiterTest, AWindowSetLongAgoOrNeverIsNotAheadOfTheClock) {
    settings.c2sbps = 1000;
    settings.s2cbps = 2000;
    at(TwoTo32 / 2 + 5000);  // limits switched on 24.8 days after start
    EXPECT_TRUE(move());
    EXPECT_FALSE(holdServerDatagram());
    chargeServerDatagram(300);
    at(TwoTo32 + 5100);  // idle for another 24.8 days
    EXPECT_TRUE(move());
    EXPECT_FALSE(holdServerDatagram());
}

TEST_F(LimiterTest, ClockCountsFromStartUpAndKeepsTheLow32Bits) {
    fakeplatform::setPerformanceFrequency(3000000);
    at(3 * TwoTo32 + 4000);
    checkTimer();
    EXPECT_EQ(limiter.ticksPerMs, 3000u);
    EXPECT_EQ(performanceMs(), 4000u);
    settings.s2cbps = 2000;
    at(3 * TwoTo32 + 4000 + 1234);
    holdServerDatagram();
    EXPECT_EQ(limiter.nowMs, 1234u);
    at(4 * TwoTo32 + 10);  // past the wrap of the counter's own milliseconds
    holdServerDatagram();
    EXPECT_EQ(limiter.nowMs, uint32_t(TwoTo32 - 4000 + 10));
}

TEST_F(LimiterTest, WithoutACounterTheWarningIsPrintedAndLimitsStayOff) {
    // Frequencies whose low 32 bits give under one tick per millisecond.
    for (uint64_t frequency : {uint64_t(0), uint64_t(999), TwoTo32 + 500}) {
        fakeplatform::setPerformanceFrequency(frequency);
        settings.c2sbps = 1000;
        settings.s2cbps = 2000;
        checkTimer();
        EXPECT_EQ(fakeplatform::takeConsole(), "WARNING: Timer not available. Packet filtering disabled!!!\n");
        EXPECT_FALSE(timerAvailable());
        EXPECT_EQ(settings.c2sbps, 0);
        EXPECT_EQ(settings.s2cbps, 0);
        // Limits set by command later have nothing to measure with.
        settings.c2sbps = 1000;
        settings.s2cbps = 2000;
        EXPECT_TRUE(move());
        EXPECT_TRUE(move());
        EXPECT_FALSE(holdServerDatagram());
    }
}

TEST(LimiterCost, IsTheTimeOfTheBytesPlusTheDatagramOverhead) {
    EXPECT_EQ(datagramCostMs(24, 1000), 52);
    EXPECT_EQ(datagramCostMs(300, 2000), 164);
    EXPECT_EQ(datagramCostMs(65535, 1), 65563000);
    EXPECT_EQ(datagramCostMs(INT_MAX, 1), INT32_MAX);  // clamped, not wrapped negative
    EXPECT_EQ(datagramCostMs(-1000, 1000), 0);
}

}  // namespace
