// The bandwidth limiter's decisions and its millisecond clock on the in-memory counter.
#include <climits>

#include "net/limiter.h"
#include "unit/bytes.h"

namespace {

constexpr uint64_t TwoTo32 = 4294967296ull;

struct LimiterTest : unit::ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        checkTimer();  // the counter reads 0: nowMs equals the fake's milliseconds
        fakeplatform::takeConsole();
    }
    static void at(uint64_t ms) { fakeplatform::setMilliseconds(ms); }
    static bool move(uint8_t buttons = 0, uint8_t impulse = 0) { return allowHostMove(24, buttons, impulse); }
    // Identical moves at each time: which pass.
    static void expectMoves(std::initializer_list<std::pair<uint64_t, bool>> moves) {
        for (const auto& m : moves) {
            at(m.first);
            EXPECT_EQ(move(), m.second) << m.first;
        }
    }
    static void expectHeld(std::initializer_list<std::pair<uint64_t, bool>> checks) {
        for (const auto& c : checks) {
            at(c.first);
            EXPECT_EQ(holdServerDatagram(), c.second) << c.first;
        }
    }
};

TEST_F(LimiterTest, IdenticalMovesAreThinnedToTheRateAndChangesAlwaysPass) {
    settings.c2sbps = 1000;
    expectMoves({{5000, true}});
    EXPECT_EQ(limiter.c2sNextSendMs, 5052u);
    expectMoves({{5030, false}, {5052, false}, {5053, true}});
    EXPECT_EQ(limiter.c2sNextSendMs, 5105u);

    limiter.c2sNextSendMs = 0;
    expectMoves({{5000, true}});
    at(5010);
    EXPECT_TRUE(move(1, 0));  // fire pressed: passes and restarts the window
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
    expectHeld({{100, false}});
    chargeServerDatagram(300);
    EXPECT_EQ(limiter.s2cNextSendMs, 264u);
    expectHeld({{200, true}, {264, true}, {265, false}});
}

TEST_F(LimiterTest, RateZeroOrNegativeNeitherReadsTheClockNorDrops) {
    for (int rate : {0, -1, INT_MIN}) {
        settings.c2sbps = settings.s2cbps = rate;
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
    expectMoves({{TwoTo32 - 20, true}});
    EXPECT_EQ(limiter.c2sNextSendMs, 32u);
    // A plain unsigned comparison would let the first through.
    expectMoves({{TwoTo32 - 1, false}, {TwoTo32 + 32, false}, {TwoTo32 + 33, true}});
    expectHeld({{TwoTo32 - 50, false}});
    chargeServerDatagram(300);
    EXPECT_EQ(limiter.s2cNextSendMs, 114u);
    expectHeld({{TwoTo32 + 10, true}, {TwoTo32 + 115, false}});
    // After 2^31 ms (24.8 days) a window looks ahead again: one set that long ago is not ahead.
    expectMoves({{TwoTo32 / 2 + TwoTo32 + 200, true}});
    expectHeld({{TwoTo32 / 2 + TwoTo32 + 200, false}});
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
        EXPECT_TRUE(move() && move());
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
