// The state block rebuilt from the GameState: its bytes under 15 and 666, fog and sky box, its size.
#include <algorithm>

#include "observers/scanner.h"
#include "unit/bytes.h"

namespace {

using unit::Bytes;
using unit::operator+;

constexpr int RecordCapacity = 4080;
constexpr int Header = 16;

struct StateBlock : ::testing::Test {
    void SetUp() override {
        resetGameState();
        memset(record, 0xAA, sizeof record);
    }
    uint32_t length() const { return uint32_t(record[0] | record[1] << 8 | record[2] << 16 | record[3] << 24); }
    Bytes build(int capacity = RecordCapacity) {
        if (!buildStateBlock(record, capacity)) return {};
        return Bytes(record + Header, record + Header + length());
    }
    // The block's clientdata: after the four svc_updatestat (24 bytes from "3 11") up to svc_setview.
    Bytes clientData() {
        Bytes m = build();
        auto stats = std::search(m.begin(), m.end(), std::begin(StatsStart), std::end(StatsStart));
        return stats == m.end() ? Bytes{} : Bytes(stats + 24, m.end() - 5);
    }
    static void scan(const Bytes& m) { scanServerMessage(m.data(), int(m.size())); }
    static void useProtocol(int32_t protocol) {
        resetGameState();
        gameState.protocol = protocol;
        gameState.protocolFlags = protocol == 999 ? 0x82 : 0;
    }
    static constexpr uint8_t StatsStart[2] = {3, 11};
    uint8_t record[Header + MaxStateBlockSize + 8];
};

TEST_F(StateBlock, EmptyStateIs247BytesAndPlayersComeUpToMaxClients) {
    Bytes m = build();
    ASSERT_EQ(m.size(), 247u);
    for (int i = 4; i < Header; i++) EXPECT_EQ(record[i], 0xAA);  // the angles are left alone
    Bytes styles;  // 64 empty svc_lightstyle
    for (uint8_t i = 0; i < 64; i++) styles.insert(styles.end(), {12, i, 0});
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 192), styles);
    EXPECT_EQ(Bytes(m.end() - 5, m.end()), Bytes({5, 0, 0, 25, 3}));

    gameState.maxClients = 2;
    gameState.Scoreboard[0] = {0xfffb, 0x4d, true, "abc"};
    gameState.Scoreboard[1].frags = 3;
    const Bytes players = {13, 0, 'a', 'b', 'c', 0, 14, 0, 0xfb, 0xff, 17, 0, 0x4d, 13, 1, 0, 14, 1, 3, 0, 17, 1, 0};
    m = build();
    EXPECT_EQ(Bytes(m.begin(), m.begin() + long(players.size())), players);  // player 1 unnamed yet
    gameState.maxClients = 200;  // at most sixteen
    EXPECT_EQ(build().size(), 247u + 13 + 15 * 10);
}

TEST_F(StateBlock, ClientDataUnder15And666ComesBackAsTheServerSentIt) {
    for (auto stat : {std::pair<int, int>{1, 1}, {2, 2}, {0, 100}, {3, 300}, {6, 300}, {10, 1}})
        gameState.Stats[stat.first] = stat.second;
    gameState.viewHeight = 22;
    EXPECT_EQ(clientData(), Bytes({0x0f, 0xff, 0x72, 0x16, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0x02, 0x64, 0,
                                   0x2c, 0x2c, 0, 0, 0, 0x01}));
    useProtocol(666);  // every high byte, SU_EXTEND2 for the weapon frame's, and the weapon alpha
    const Bytes extended = {15, 0xff, 0xf2, 0xff, 0x03, 22, 1, 2, 3, 4, 5, 6, 7, 0x01, 0x40, 0, 0, 1, 2, 3, 100, 0,
                            4, 5, 6, 7, 8, 9, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x80};
    scan(extended);
    EXPECT_EQ(clientData(), extended);
}

TEST_F(StateBlock, FogAndSkyBoxOfTheLevelAreSentAndANewLevelStartsWithout) {
    scan({41, 0x80, 0x10, 0x20, 0x30, 0x2c, 0x01, 37, 's', 'k', 'y', '1', 0});
    Bytes m = build();
    const Bytes fogAndSky = {41, 0x80, 0x10, 0x20, 0x30, 0, 0, 37, 's', 'k', 'y', '1', 0};
    EXPECT_NE(std::search(m.begin(), m.end(), fogAndSky.begin(), fogAndSky.end()), m.end());
    EXPECT_EQ(m.size(), 247u + 13);
    scan({11, 15, 0, 0, 0, 1, 1, 'T', 0, 'm', 'a', 'p', 's', '/', 'x', '.', 'b', 's', 'p', 0, 0, 0});
    EXPECT_EQ(build().size(), 247u + 10);  // one player now, no fog, no sky box
    scan(Bytes{37} + unit::str(std::string(SkyNameSize, 's')));  // a cut name would load another sky
    EXPECT_EQ(build().size(), 247u + 10);
}

TEST_F(StateBlock, NeverPastItsCapacityNorUnderAnUnknownProtocolAndTheFullestFitsItsMaximum) {
    EXPECT_TRUE(build(246).empty());
    EXPECT_EQ(length(), 0u);
    EXPECT_EQ(record[Header + 246], 0xAA);
    EXPECT_EQ(build(247).size(), 247u);
    gameState.protocolKnown = false;
    EXPECT_TRUE(build().empty());
    useProtocol(666);
    gameState.maxClients = 16;
    for (ScoreEntry& entry : gameState.Scoreboard) {
        entry.hasName = true;
        memset(entry.name, 'n', ScoreNameSize - 1);
    }
    for (int i = 0; i < MaxLightStyles; i++) {
        gameState.hasLightStyle[i] = true;
        memset(gameState.LightStyles[i], 'm', LightStyleSize - 1);
    }
    for (int stat : {2, 3, 4, 5, 6, 7, 8, 9}) gameState.Stats[stat] = 0x1ff;
    gameState.weaponAlpha = 1;
    gameState.hasFog = gameState.hasSkyBox = true;
    memset(gameState.skyBox, 's', SkyNameSize - 1);
    EXPECT_EQ(build(MaxStateBlockSize).size(), size_t(MaxStateBlockSize));
}

}  // namespace
