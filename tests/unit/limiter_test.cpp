// The bandwidth limiter's arithmetic: datagram cost, windows each way, the 2^32 ms wrap, a missing counter.
#include <climits>
#include <tuple>

#include "net/limiter.h"
#include "unit/bytes.h"

namespace {

constexpr uint64_t TwoTo32 = 4294967296ull;

struct Limiter : unit::ProxyStateTest {
    void SetUp() override {
        ProxyStateTest::SetUp();
        checkTimer();  // the counter reads 0: nowMs equals the fake's milliseconds
        fakeplatform::takeConsole();
        settings.c2sbps = 1000;
        settings.s2cbps = 2000;
    }
    // At each time: 'm' a 24-byte move (buttons | impulse << 8) passes or not, 'h' the server's
    // datagram is held or not, 'c' a server datagram of that many bytes is charged.
    static void play(std::initializer_list<std::tuple<uint64_t, char, int, bool>> steps) {
        for (const auto& [ms, what, value, expected] : steps) {
            fakeplatform::setMilliseconds(ms);
            if (what == 'c') chargeServerDatagram(value);
            else if (what == 'h') EXPECT_EQ(holdServerDatagram(), expected) << ms;
            else EXPECT_EQ(allowHostMove(24, uint8_t(value), uint8_t(value >> 8)), expected) << ms << " " << value;
        }
    }
};

TEST_F(Limiter, MovesAreThinnedUnlessTheyChangeAndServerDatagramsWaitTheirCostAcrossTheClocksWrap) {
    play({{5000, 'm', 0, true}, {5030, 'm', 0, false}, {5052, 'm', 0, false}, {5053, 'm', 0, true},
          {5060, 'm', 1, true}, {5112, 'm', 1, false}, {5112, 'm', 1 | 6 << 8, true}, {5112, 'm', 6 << 8, true},
          {5112, 'm', 6 << 8, false}, {5164, 'm', 6 << 8, false}, {5165, 'm', 6 << 8, true},
          {100, 'h', 0, false}, {100, 'c', 300, false}, {200, 'h', 0, true}, {264, 'h', 0, true}, {265, 'h', 0, false},
          {TwoTo32 - 20, 'm', 0, true}, {TwoTo32 - 1, 'm', 0, false}, {TwoTo32 + 32, 'm', 0, false},
          {TwoTo32 + 33, 'm', 0, true}, {TwoTo32 - 50, 'h', 0, false}, {TwoTo32 - 50, 'c', 300, false},
          {TwoTo32 + 10, 'h', 0, true}, {TwoTo32 + 114, 'h', 0, true}, {TwoTo32 + 115, 'h', 0, false},
          // After 2^31 ms (24.8 days) a window looks ahead again: one set that long ago is not ahead.
          {TwoTo32 / 2 + TwoTo32 + 200, 'm', 0, true}, {TwoTo32 / 2 + TwoTo32 + 200, 'h', 0, false}});
    EXPECT_EQ(datagramCostMs(INT_MAX, 1), INT32_MAX);  // clamped, not wrapped negative
}

TEST_F(Limiter, RateZeroOrNoCounterLimitsNothingAndACounterMissingIsTold) {
    for (int rate : {0, -1, INT_MIN}) {
        settings.c2sbps = settings.s2cbps = rate;
        play({{800, 'm', 0, true}, {800, 'c', 1400, false}, {800, 'm', 0, true}, {800, 'h', 0, false}});
    }
    for (uint64_t frequency : {uint64_t(0), uint64_t(999), TwoTo32 + 500}) {  // under one tick a millisecond
        fakeplatform::setPerformanceFrequency(frequency);
        checkTimer();
        EXPECT_EQ(fakeplatform::takeConsole(), "WARNING: Timer not available. Packet filtering disabled!!!\n");
        EXPECT_EQ(settings.c2sbps + settings.s2cbps, 0);
        settings.c2sbps = 1000;  // as a command would set them later
        settings.s2cbps = 2000;
        play({{5, 'm', 0, true}, {5, 'm', 0, true}, {5, 'c', 1400, false}, {5, 'h', 0, false}});
    }
}

}  // namespace
