// Tests of the server message scanner: signon codes, message sizes under 15, 666 and 999, the
// GameState it keeps, and walks over malformed or truncated messages.
#include <utility>

#include "observers/scanner.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

// Scans an exact-size heap copy, so a read past the end shows under AddressSanitizer.
int scan(const Bytes& message) {
    uint8_t* copy = new uint8_t[message.size() ? message.size() : 1];
    if (!message.empty()) memcpy(copy, message.data(), message.size());
    int result = scanServerMessage(copy, int(message.size()));
    delete[] copy;
    return result;
}

Bytes serverInfo(uint32_t protocol, const char* world, uint8_t maxClients = 8) {
    Bytes info = Bytes{11} + longBytes(protocol);
    if (protocol == 999) info = info + longBytes(0x82);
    return info + Bytes{maxClients, 0} + str("Level") + str(world) + str("progs/player.mdl") + str("") +
           str("misc/null.wav") + str("");
}

void useProtocol(uint32_t protocol) {
    resetGameState();
    ASSERT_EQ(scan(serverInfo(protocol, "maps/start.bsp")), 0);
    ASSERT_TRUE(gameState.protocolKnown);
}

// The message `head` followed by `payload` filler bytes and svc_signonnum 2. The filler is
// svc_killedmonster, so a walk that takes too little counts monsters and one that takes too much
// eats the signon.
void expectTakes(const Bytes& head, int payload) {
    gameState.Stats[14] = 0;
    Bytes message = head + Bytes(size_t(payload), 27) + Bytes{25, 2};
    EXPECT_EQ(scan(message), 2);
    EXPECT_EQ(gameState.Stats[14], 0);
}

// Each listed stat holds its value.
void expectStats(std::initializer_list<std::pair<int, int32_t>> stats) {
    for (const auto& s : stats) EXPECT_EQ(gameState.Stats[s.first], s.second) << "stat " << s.first;
}

// The walk gives up on `head`: a following signon is not seen.
void expectStops(const Bytes& head) {
    EXPECT_EQ(scan(head + Bytes{25, 2, 25, 2, 25, 2, 25, 2, 25, 2, 25, 2, 25, 2, 25, 2}), 0);
}

class Scanner : public ::testing::Test {
protected:
    void SetUp() override { resetGameState(); }
};

TEST_F(Scanner, SignonCodeFollowsTheLastStageAndLevelEnds) {
    EXPECT_EQ(scan({}), 0);
    EXPECT_EQ(scan({0}), 0);
    EXPECT_EQ(scan(Bytes{8} + str("hi") + Bytes{25, 2}), 2);
    EXPECT_EQ(scan({30}), -1);
    EXPECT_EQ(scan({33}), -1);
    EXPECT_EQ(scan({25, 1, 30}), 1);
    EXPECT_EQ(scan({30, 25, 3}), 3);
    EXPECT_EQ(scan(Bytes{25, 0, 31} + str("x")), -1);
    EXPECT_EQ(scan({25, 4}), 4);
    EXPECT_EQ(scan({25, 2, 0, 25, 3}), 2);  // code 0 ends the walk
}

TEST_F(Scanner, DisconnectIsFoundOnlyWhereAMessageStartsAndTheLookChangesNothing) {
    EXPECT_TRUE(holdsDisconnect(Bytes{2}.data(), 1));
    Bytes kick = Bytes{8} + str("Kicked by Console\n") + Bytes{2};
    EXPECT_TRUE(holdsDisconnect(kick.data(), int(kick.size())));
    // Byte 2 inside a stat value or an entity's origin is no message.
    Bytes stat = Bytes{3, 0, 2, 2, 0, 0, 0x83, 1, 2, 0};
    EXPECT_FALSE(holdsDisconnect(stat.data(), int(stat.size())));
    EXPECT_EQ(gameState.Stats[0], 0);
    EXPECT_FALSE(holdsDisconnect(kick.data(), int(kick.size()) - 1));
}

TEST_F(Scanner, ServerInfoGivesMapNameMaxClientsAndLetsSignonOneThrough) {
    Bytes message = Bytes{8} + str("FITZQUAKE 0.85 SERVER") + serverInfo(15, "maps/e1m1.bsp", 4) +
                    Bytes{32, 2, 2, 5, 1, 0, 25, 1};
    EXPECT_EQ(scan(message), 1);
    EXPECT_STREQ(gameState.mapName, "e1m1");
    EXPECT_EQ(gameState.maxClients, 4);
    EXPECT_EQ(gameState.viewEntity, 1);
    EXPECT_EQ(gameState.protocol, 15);
    EXPECT_EQ(gameState.serverInfoCount, 1u);
}

TEST_F(Scanner, MapNameIsCutToItsStore) {
    scan(serverInfo(15, "maps/abcdefghijklmnopqrstuvwxyz.bsp"));
    EXPECT_STREQ(gameState.mapName, "abcdefghijklmno");
    scan(serverInfo(15, "abc"));
    EXPECT_STREQ(gameState.mapName, "");
    scan(serverInfo(15, "maps/nodot"));
    EXPECT_STREQ(gameState.mapName, "nodot");
}

TEST_F(Scanner, ProtocolWireBytesOf999) {
    Bytes wire = {0x0b, 0xe7, 0x03, 0x00, 0x00, 0x82, 0x00, 0x00, 0x00, 0x08, 0x01,
                  0x42, 0x6f, 0x78, 0x20, 0x31, 0x00};
    EXPECT_EQ(scan(wire + str("maps/box1.bsp") + str("") + str("") + Bytes{25, 1}), 1);
    EXPECT_EQ(gameState.protocol, 999);
    EXPECT_EQ(gameState.protocolFlags, 0x82u);
    EXPECT_TRUE(gameState.protocolKnown);
    EXPECT_EQ(gameState.maxClients, 8);
    EXPECT_STREQ(gameState.mapName, "box1");
    expectTakes({10}, 6);  // setangle with short angles
}

TEST_F(Scanner, UnknownProtocolsAreNotWalkedUntilAKnownOneReturns) {
    for (uint32_t protocol : {3504u, 0x32455446u, 0x58455446u, 250u}) {
        resetGameState();
        scan(serverInfo(15, "maps/e1m1.bsp"));
        EXPECT_EQ(scan(serverInfo(protocol, "maps/dm2.bsp") + Bytes{25, 1}), 0);
        EXPECT_FALSE(gameState.protocolKnown);
        EXPECT_STREQ(gameState.mapName, "");
        EXPECT_EQ(gameState.serverInfoCount, 2u);
    }
    EXPECT_EQ(scan({3, 11, 5, 0, 0, 0, 25, 2}), 0);
    EXPECT_EQ(gameState.Stats[11], 0);
    // The next level: print and stufftext are shared by every protocol, so its serverinfo is seen.
    EXPECT_EQ(scan(Bytes{8} + str("hello") + Bytes{9} + str("") + serverInfo(666, "maps/e2m1.bsp") +
                   Bytes{25, 1}),
              1);
    EXPECT_TRUE(gameState.protocolKnown);
    EXPECT_STREQ(gameState.mapName, "e2m1");
}

TEST_F(Scanner, Protocol999WithUndefinedFlagsIsUnknown) {
    for (uint32_t flags : {0x80000082u, 0x83u, 0x182u}) {
        resetGameState();
        Bytes info = Bytes{11} + longBytes(999) + longBytes(flags) + Bytes{8, 0} + str("t") +
                     str("maps/a.bsp") + str("") + str("") + Bytes{25, 1};
        EXPECT_EQ(scan(info), 0);
        EXPECT_FALSE(gameState.protocolKnown);
    }
}

TEST_F(Scanner, FixedSizesAndTempEntitiesUnder15And999) {
    for (uint32_t protocol : {15u, 999u}) {
        useProtocol(protocol);
        int c = protocol == 999 ? 4 : 2, a = protocol == 999 ? 2 : 1;
        const std::pair<Bytes, int> sizes[] = {
            {{7}, 4},           {{10}, 3 * a},  {{16}, 2}, {{18}, 3 * c + 5}, {{20}, 4 + 3 * (c + a)},
            {{22}, 6 + 3 * (c + a)}, {{24}, 1}, {{29}, 3 * c + 3}, {{32}, 2}, {{19}, 2 + 3 * c},
            {{6, 0x00}, 2 + 1 + 3 * c}, {{23, 12}, 3 * c + 2}};
        for (const auto& size : sizes) expectTakes(size.first, size.second);
        for (uint8_t type : {0, 1, 2, 3, 4, 7, 8, 10, 11}) expectTakes({23, type}, 3 * c);
        for (uint8_t type : {5, 6, 9, 13}) expectTakes({23, type}, 2 + 6 * c);
        expectStops({23, 14});
        expectStops({23, 200});
    }
}

// Later engines' codes and field bits, by protocol; what follows the head, or a stop (-1).
TEST_F(Scanner, LateCodesSoundMasksAndEntityUpdatesByProtocol) {
    for (uint8_t code : {21, 35, 36, 38, 39, 45, 52, 56, 57, 60, 127}) expectStops({code});
    struct Case { uint32_t protocol; Bytes head; int payload; };
    const Case cases[] = {
        {15, {40}, 0},  // bonus flash, under 15 too
        {15, {41}, 6}, {15, Bytes{37} + str("sky"), 0}, {15, Bytes{34} + str("a"), 0},
        {15, {42, 1, 0, 0x03}, 2 + 2 + 2 + 3 * 3},  // baseline2, large model and frame
        {15, {6, 0x03}, 2 + 2 + 1 + 6}, {15, {6, 0x18}, 3 + 2 + 6},  // large entity and sound, under 15 too
        {15, {6, 0x04}, -1}, {15, {6, 0x20}, -1}, {15, {6, 0x40}, -1}, {15, {6, 0x80}, -1},
        {15, {0x87, 0x40, 1, 2, 3, 4, 5, 6}, 0},  // morebits, origins 1 and 2, long entity
        {15, {0xff, 0x7f}, 2 + 5 + 3 * 2 + 3},  // every field but bit 15
        {15, {0x81, 0x80}, -1},                 // bit 15 under 15
        {666, Bytes{52} + str("ACH"), 0}, {666, {56, 0x10}, 2}, {666, {56, 0x00}, 1},
        {666, {0x2a, 0x0a, 0x00, 0x02, 0x03, 0x2c, 0x01, 0x00, 0x00, 0xb0, 0xfb, 0x00, 0xfa, 0xfd, 0x46, 0xc0, 0x00, 0x00}, 0},
        {666, {43, 0x0c}, 4 + 9 + 2},  // static2 with alpha and scale
        {666, {44}, 3 * 2 + 4},
        {666, {0x91, 0x80, 0x01, 0x0a, 0x46, 0x80}, 0},  // marker: yaw and alpha
        {666, {0x81, 0x80, 0x9f, 0x01, 0x0a}, 5},        // alpha, frame2, model2, lerp, scale
        {666, {0x81, 0x80, 0x80, 0x00, 0x0a}, 0},        // U_EXTEND2: a fourth bits byte
        {999, {42, 0, 0, 0x02}, 1 + 2 + 2 + 3 * 6}, {999, {44}, 3 * 4 + 4},
        {999, {0x9e, 0x01, 0x00, 0x08, 0x00, 0x00, 0xe8, 0x07, 0x00, 0x00, 0x00, 0x40, 0x81, 0x01, 0x00, 0x00}, 0},
        {999, {0x91, 0x80, 0x01, 0x0a, 0x71, 0x46, 0x80}, 0}};
    for (const Case& c : cases) {
        useProtocol(c.protocol);
        if (c.payload < 0) expectStops(c.head);
        else expectTakes(c.head, c.payload);
    }
}

TEST_F(Scanner, ClientDataWithBitsZeroFallsBackToDefaults) {
    gameState.viewHeight = gameState.idealPitch = gameState.punch[1] = gameState.velocity[2] = 5;
    for (int i = 0; i < 11; i++) gameState.Stats[i] = 77;
    expectTakes({15, 0, 0, 0x01, 0x40, 0, 0, 0x9c, 0xff, 1, 2, 3, 4, 5, 6}, 0);
    EXPECT_EQ(gameState.viewHeight, 22);
    EXPECT_EQ(gameState.idealPitch + gameState.punch[1] + gameState.velocity[2], 0);
    // Items are read without SU_ITEMS.
    expectStats({{1, 0x4001}, {0, 0xff9c}, {5, 0}, {4, 0}, {2, 0}, {3, 1}, {6, 2}, {7, 3}, {8, 4}, {9, 5}, {10, 6}});
}

TEST_F(Scanner, ClientDataViewFieldsInWireOrder) {
    expectTakes({15, 0xff, 0x72, 10, 11, 12, 13, 14, 15, 16, 0xf0, 1, 0, 0, 0, 7, 8, 9, 50, 0,
                 1, 2, 3, 4, 5, 6}, 0);
    const int8_t view[] = {gameState.viewHeight, gameState.idealPitch, gameState.punch[0], gameState.velocity[0],
                           gameState.punch[1], gameState.velocity[1], gameState.punch[2], gameState.velocity[2]};
    EXPECT_EQ(Bytes(view, view + 8), (Bytes{10, 11, 12, 13, 14, 15, 16, uint8_t(-16)}));
    expectStats({{5, 7}, {4, 8}, {2, 9}, {0, 50}});
}

TEST_F(Scanner, ClientDataHighBytesUnder666AndAfterSvcVersion) {
    const Bytes shells2 = {15, 0x00, 0xc2, 0x08, 0, 0, 0, 0, 0, 100, 0, 0, 44, 0, 0, 0, 0, 1};
    expectStops({15, 0x00, 0xc2, 0x08});  // bit 15 means nothing definite under 15
    // svc_version 666 switches the layout as the clients do; an unknown version stops the walk.
    expectTakes(Bytes{4} + longBytes(666) + shells2, 0);
    expectStats({{6, 300}, {0, 100}});
    EXPECT_EQ(scan(Bytes{4} + longBytes(3504) + Bytes{25, 2}), 0);
    EXPECT_FALSE(gameState.protocolKnown);
    // Every high byte, the weapon frame's behind SU_EXTEND2, and the weapon alpha.
    useProtocol(666);
    expectTakes({15, 0x00, 0xf0, 0xff, 0x03, 0, 0, 0, 0, 1, 2, 3, 100, 0, 4, 5, 6, 7, 8, 9,
                 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x80}, 0);
    expectStats({{2, 0x1103}, {4, 0x1202}, {3, 0x1304}, {6, 0x1405}, {7, 0x1506}, {8, 0x1607}, {9, 0x1708},
                 {5, 0x1801}, {10, 9}});
    EXPECT_EQ(gameState.weaponAlpha, 0x80);
}

TEST_F(Scanner, StatsFromUpdatesDamageAndCounters) {
    scan(Bytes{3, 1} + longBytes(0x1234) + Bytes{3, 12} + longBytes(0xffffffff) + Bytes{27, 27, 28});
    expectStats({{1, 0x1234}, {12, -1}, {14, 2}, {13, 1}});
    gameState.Stats[0] = 100;
    gameState.Stats[4] = 50;
    EXPECT_EQ(scan({19, 5, 10, 0, 0, 0, 0, 0, 0, 25, 2}), 2);  // damage: armor 5, blood 10
    expectStats({{0, 90}, {4, 45}});
}

TEST_F(Scanner, ScoreboardAndLightStyles) {
    scan(Bytes{13, 3} + str("player") + Bytes{14, 3, 0xfe, 0xff, 17, 3, 0x4d, 12, 63} + str("az"));
    EXPECT_TRUE(gameState.Scoreboard[3].hasName);
    EXPECT_STREQ(gameState.Scoreboard[3].name, "player");
    EXPECT_EQ(gameState.Scoreboard[3].frags, 0xfffe);
    EXPECT_EQ(gameState.Scoreboard[3].colors, 0x4d);
    EXPECT_TRUE(gameState.hasLightStyle[63]);
    EXPECT_STREQ(gameState.LightStyles[63], "az");
    scan(Bytes{13, 3} + str(std::string(100, 'n')) + Bytes{12, 0} + str(std::string(200, 'm')));
    EXPECT_EQ(strlen(gameState.Scoreboard[3].name), size_t(ScoreNameSize - 1));
    EXPECT_EQ(strlen(gameState.LightStyles[0]), size_t(LightStyleSize - 1));
}

TEST_F(Scanner, OutOfRangeIndicesAreSteppedOver) {
    Bytes message = Bytes{13, 16} + str("x") + Bytes{14, 200, 1, 0, 17, 16, 5, 12, 64} + str("m") +
                    Bytes{3, 32} + longBytes(7) + Bytes{3, 255} + longBytes(7) + Bytes{25, 2};
    EXPECT_EQ(scan(message), 2);
    for (const ScoreEntry& entry : gameState.Scoreboard) {
        EXPECT_FALSE(entry.hasName);
        EXPECT_EQ(entry.frags, 0);
        EXPECT_EQ(entry.colors, 0);
    }
    for (bool has : gameState.hasLightStyle) EXPECT_FALSE(has);
    for (int32_t stat : gameState.Stats) EXPECT_EQ(stat, 0);
}

TEST_F(Scanner, TruncatedMessagesNeverReadPastTheirEnd) {
    useProtocol(666);
    Bytes full = Bytes{8} + str("text") + serverInfo(999, "maps/e1m1.bsp") + Bytes{13, 1} + str("nm") +
                 Bytes{12, 2} + str("abc") + Bytes{3, 11} + longBytes(9) + Bytes{5, 7, 0, 6, 0x1b, 1, 2} +
                 Bytes(5, 0) + Bytes(12, 0) + Bytes{23, 5} + Bytes(26, 0) +
                 Bytes{15, 0x00, 0xc2, 0x08, 0, 0, 0, 0, 0, 100, 0, 0, 44, 0, 0, 0, 0, 1} +
                 Bytes{0x9e, 0x01, 0x00, 0x08, 0x00, 0x00, 0xe8, 0x07, 0x00, 0x00, 0x00, 0x40, 0x81, 0x01,
                       0x00, 0x00, 25, 3};
    for (size_t cut = 0; cut < full.size(); cut++) {
        useProtocol(666);
        EXPECT_NE(scan(Bytes(full.begin(), full.begin() + long(cut))), 3) << cut;
    }
    useProtocol(666);
    EXPECT_EQ(scan(full), 3);
    EXPECT_EQ(gameState.Stats[11], 9);
    EXPECT_EQ(gameState.Stats[6], 300);
    EXPECT_STREQ(gameState.Scoreboard[1].name, "nm");
}

TEST_F(Scanner, CutStringsAndValuesAreNotTaken) {
    for (const Bytes& cut : {Bytes{13, 2, 'a', 'b'}, Bytes{12, 2, 'a'}, Bytes{3, 11, 1, 2, 3}, Bytes{5, 9},
                             Bytes{15, 0, 0, 1, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5},
                             Bytes{11, 15, 0, 0, 0, 4, 0, 't', 0, 'm', 'a', 'p', 's', '/', 'x'}})
        scan(cut);
    EXPECT_FALSE(gameState.Scoreboard[2].hasName || gameState.hasLightStyle[2]);
    EXPECT_EQ(gameState.Stats[11] + gameState.Stats[1] + gameState.viewEntity + gameState.viewHeight, 0);
    EXPECT_EQ(gameState.maxClients, 0);
}

TEST_F(Scanner, MoveLayoutAndServerAnglesByProtocol) {
    struct Case {
        uint32_t protocol, flags;
        int length, angle, buttons, impulse, serverAngle;
    };
    const Case cases[] = {{15, 0, 16, 1, 14, 15, 1},    {666, 0, 19, 2, 17, 18, 1},
                          {999, 0x82, 19, 2, 17, 18, 2}, {999, 0x86, 25, 4, 23, 24, 4},
                          {999, 0x10, 19, 2, 17, 18, 1}};
    for (const Case& c : cases) {
        resetGameState();
        gameState.protocol = int32_t(c.protocol);
        gameState.protocolFlags = c.flags;
        MoveLayout layout = moveLayout();
        EXPECT_EQ(layout.length, c.length);
        EXPECT_EQ(layout.angleBytes, c.angle);
        EXPECT_EQ(layout.buttonsOffset, c.buttons);
        EXPECT_EQ(layout.impulseOffset, c.impulse);
        EXPECT_EQ(serverAngleBytes(), c.serverAngle);
    }
}

TEST_F(Scanner, CoordSizesFollowThe999Flags) {
    const std::pair<uint32_t, int> cases[] = {{0x02, 2}, {0x08, 3}, {0x10, 4}, {0x80, 4}, {0x98, 4}};
    for (const auto& c : cases) {
        resetGameState();
        scan(Bytes{11} + longBytes(999) + longBytes(c.first) + Bytes{8, 0} + str("t") + str("maps/a.bsp") +
             str("") + str(""));
        expectTakes({23, 0}, 3 * c.second);
    }
}

}  // namespace
