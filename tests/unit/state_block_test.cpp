// The state block rebuilt from the GameState: its bytes under 15 and 666, fog and sky box, its size.
#include <algorithm>

#include "observers/scanner.h"
#include "unit/bytes.h"

namespace {

using unit::Bytes;

constexpr int RecordCapacity = 4080;
constexpr int Header = 16;

struct Record {
    uint8_t bytes[Header + MaxStateBlockSize + 8];
};

uint32_t lengthOf(const Record& r) {
    return uint32_t(r.bytes[0] | r.bytes[1] << 8 | r.bytes[2] << 16 | r.bytes[3] << 24);
}

Bytes messageOf(const Record& r) {
    return Bytes(r.bytes + Header, r.bytes + Header + lengthOf(r));
}

// The block's clientdata: after the four svc_updatestat (24 bytes from "3 11") up to svc_setview.
Bytes clientDataOf(const Record& r) {
    Bytes m = messageOf(r);
    size_t stats = 0;
    while (!(m[stats] == 3 && m[stats + 1] == 11 && m[stats + 6] == 3 && m[stats + 7] == 12)) stats++;
    return Bytes(m.begin() + long(stats + 24), m.end() - 5);
}

int scanBytes(const Bytes& message) { return scanServerMessage(message.data(), int(message.size())); }

void useProtocol(uint32_t protocol) {
    resetGameState();
    gameState.protocol = int32_t(protocol);
    gameState.protocolFlags = protocol == 999 ? 0x82 : 0;
}

// A 666 player with 300 shells: view height 22, items 1, weapon model 2, health 100,
// ammo and shells 300, active weapon 1.
void setExampleState() {
    gameState.viewHeight = 22;
    for (auto stat : {std::pair<int, int>{1, 1}, {2, 2}, {0, 100}, {3, 300}, {6, 300}, {10, 1}})
        gameState.Stats[stat.first] = stat.second;
}

class StateBlock : public ::testing::Test {
protected:
    void SetUp() override {
        resetGameState();
        memset(record.bytes, 0xAA, sizeof record.bytes);
    }
    Record record;
};

TEST_F(StateBlock, EmptyStateGives247BytesAndLeavesTheAnglesAlone) {
    ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
    ASSERT_EQ(lengthOf(record), 247u);
    for (int i = 4; i < Header; i++) EXPECT_EQ(record.bytes[i], 0xAA);
    Bytes m = messageOf(record);
    Bytes styles;  // 64 empty svc_lightstyle
    for (uint8_t i = 0; i < 64; i++) styles.insert(styles.end(), {12, i, 0});
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 192), styles);
    Bytes tail = {3, 11, 0, 0, 0, 0, 3, 12, 0, 0, 0, 0, 3, 13, 0, 0, 0, 0, 3, 14, 0, 0, 0, 0, 15, 0xff, 0x72};
    tail.resize(tail.size() + 23);  // view bytes, items, weapon frame, armor, weapon, health, ammo
    tail.insert(tail.end(), {5, 0, 0, 25, 3});
    EXPECT_EQ(Bytes(m.begin() + 192, m.end()), tail);
}

TEST_F(StateBlock, PlayersUpToMaxClientsWithTheirNamesFragsAndColors) {
    gameState.maxClients = 2;
    gameState.Scoreboard[0].hasName = true;
    strcpy(gameState.Scoreboard[0].name, "abc");
    gameState.Scoreboard[0].frags = 0xfffb;
    gameState.Scoreboard[0].colors = 0x4d;
    gameState.Scoreboard[1].frags = 3;
    ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
    EXPECT_EQ(lengthOf(record), 247u + 13 + 10);  // player 1 has no name yet: an empty one
    const Bytes players = {13, 0, 'a', 'b', 'c', 0, 14, 0, 0xfb, 0xff, 17, 0, 0x4d,
                           13, 1, 0, 14, 1, 3, 0, 17, 1, 0};
    Bytes m = messageOf(record);
    EXPECT_EQ(Bytes(m.begin(), m.begin() + long(players.size())), players);
    gameState.maxClients = 200;  // at most sixteen
    ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
    EXPECT_EQ(lengthOf(record), 247u + 13 + 15 * 10);
}

TEST_F(StateBlock, ClientDataUnder15And666) {
    useProtocol(15);
    setExampleState();
    ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
    const Bytes under15 = {0x0f, 0xff, 0x72, 0x16, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x02, 0x64, 0x00, 0x2c, 0x2c, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(clientDataOf(record), under15);
    for (uint32_t protocol : {666u, 999u}) {
        useProtocol(protocol);
        setExampleState();
        ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
        const Bytes extended = {0x0f, 0xff, 0xf2, 0x0c, 0x16, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x64,
                                0x00, 0x2c, 0x2c, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01};
        EXPECT_EQ(clientDataOf(record), extended);
        EXPECT_EQ(lengthOf(record), 247u + 3);
    }
}

TEST_F(StateBlock, Extended666ClientDataRoundTrips) {
    useProtocol(666);
    // Every high byte, SU_EXTEND2 for the weapon frame's and the weapon alpha.
    const Bytes clientData = {15, 0xff, 0xf2, 0xff, 0x03, 22, 1, 2, 3, 4, 5, 6, 7, 0x01, 0x40, 0, 0,
                              1, 2, 3, 100, 0, 4, 5, 6, 7, 8, 9,
                              0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x80};
    scanBytes(clientData);
    ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
    EXPECT_EQ(clientDataOf(record), clientData);
    // Under 15 the same state goes out as low bytes only, without bit 15.
    gameState.protocol = ProtocolNetQuake;
    ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
    Bytes low = clientDataOf(record);
    ASSERT_EQ(low.size(), 26u);
    EXPECT_EQ(low[2], 0x72);
    EXPECT_EQ(Bytes(low.begin() + 15, low.end()), Bytes({1, 2, 3, 100, 0, 4, 5, 6, 7, 8, 9}));
}

TEST_F(StateBlock, FogAndSkyBoxOfTheLevelAreSentAndANewLevelStartsWithout) {
    scanBytes({41, 0x80, 0x10, 0x20, 0x30, 0x2c, 0x01, 37, 's', 'k', 'y', '1', 0});
    ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
    Bytes m = messageOf(record);
    const Bytes fogAndSky = {41, 0x80, 0x10, 0x20, 0x30, 0, 0, 37, 's', 'k', 'y', '1', 0};
    EXPECT_NE(std::search(m.begin(), m.end(), fogAndSky.begin(), fogAndSky.end()), m.end());
    EXPECT_EQ(lengthOf(record), 247u + 13);
    scanBytes({11, 15, 0, 0, 0, 1, 1, 'T', 0, 'm', 'a', 'p', 's', '/', 'x', '.', 'b', 's', 'p', 0, 0, 0});
    ASSERT_TRUE(buildStateBlock(record.bytes, RecordCapacity));
    EXPECT_EQ(lengthOf(record), 247u + 10);  // one player now, no fog, no sky box
}

TEST_F(StateBlock, CapacityIsNeverExceededAndTheFullestBlockFitsMaxStateBlockSize) {
    EXPECT_FALSE(buildStateBlock(record.bytes, 246));
    EXPECT_EQ(lengthOf(record), 0u);
    EXPECT_EQ(record.bytes[Header + 246], 0xAA);
    EXPECT_TRUE(buildStateBlock(record.bytes, 247));
    EXPECT_FALSE(buildStateBlock(record.bytes, -1));
    gameState.protocol = 3504;  // nothing under an unknown protocol
    gameState.protocolKnown = false;
    EXPECT_FALSE(buildStateBlock(record.bytes, RecordCapacity));
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
    ASSERT_TRUE(buildStateBlock(record.bytes, MaxStateBlockSize));
    EXPECT_EQ(lengthOf(record), uint32_t(MaxStateBlockSize));
}

}  // namespace
