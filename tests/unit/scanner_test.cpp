// Tests of the server message scanner: signon codes, message sizes under 15, 666 and 999, the
// GameState it keeps, and walks over malformed or truncated messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "observers/scanner.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Scans an exact-size heap copy, so a read past the end shows under AddressSanitizer.
int scan(const Bytes& message) {
    uint8_t* copy = new uint8_t[message.size() ? message.size() : 1];
    if (!message.empty()) memcpy(copy, message.data(), message.size());
    int result = scanServerMessage(copy, int(message.size()));
    delete[] copy;
    return result;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes str(const char* s) { return Bytes(s, s + strlen(s) + 1); }
Bytes longBytes(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

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

TEST_F(Scanner, VersionSwitchesTheLayoutLikeTheClients) {
    useProtocol(15);
    // 666 clientdata with SU_EXTEND1 and SU_SHELLS2 after svc_version 666.
    Bytes clientData = {15, 0x00, 0xc2, 0x08, 0, 0, 0, 0, 0, 100, 0, 0, 44, 0, 0, 0, 0, 1};
    expectTakes(Bytes{4} + longBytes(666) + clientData, 0);
    EXPECT_EQ(gameState.Stats[6], 300);
    EXPECT_EQ(scan(Bytes{4} + longBytes(3504) + Bytes{25, 2}), 0);
    EXPECT_FALSE(gameState.protocolKnown);
}

TEST_F(Scanner, CodesOutsideTheEnginesStopTheWalk) {
    for (uint8_t code : {21, 35, 36, 38, 39, 45, 52, 56, 57, 60, 127}) expectStops({code});
}

TEST_F(Scanner, LateCodesByProtocol) {
    expectTakes({40}, 0);               // bonus flash, under 15 too
    expectTakes({41}, 6);               // fog
    expectTakes(Bytes{37} + str("sky"), 0);
    expectTakes(Bytes{34} + str("a"), 0);  // cutscene carries a string
    expectTakes({42, 1, 0, 0x03}, 2 + 2 + 2 + 3 * 3);  // baseline2, large model and frame, 15
    useProtocol(666);
    expectTakes(Bytes{52} + str("ACH"), 0);
    expectTakes({56, 0x10}, 2);
    expectTakes({56, 0x00}, 1);
    expectTakes({0x2a, 0x0a, 0x00, 0x02, 0x03, 0x2c, 0x01, 0x00, 0x00, 0xb0, 0xfb, 0x00,
                 0xfa, 0xfd, 0x46, 0xc0, 0x00, 0x00}, 0);
    expectTakes({43, 0x0c}, 4 + 9 + 2);  // static2 with alpha and scale
    expectTakes({44}, 3 * 2 + 4);
    useProtocol(999);
    expectTakes({42, 0, 0, 0x02}, 1 + 2 + 2 + 3 * 6);
    expectTakes({44}, 3 * 4 + 4);
}

TEST_F(Scanner, FixedSizesUnder15And999) {
    for (uint32_t protocol : {15u, 999u}) {
        useProtocol(protocol);
        int c = protocol == 999 ? 4 : 2, a = protocol == 999 ? 2 : 1;
        expectTakes({7}, 4);
        expectTakes({10}, 3 * a);
        expectTakes({16}, 2);
        expectTakes({18}, 3 * c + 5);
        expectTakes({20}, 4 + 3 * (c + a));
        expectTakes({22}, 6 + 3 * (c + a));
        expectTakes({24}, 1);
        expectTakes({29}, 3 * c + 3);
        expectTakes({32}, 2);
        expectTakes({19}, 2 + 3 * c);
    }
}

TEST_F(Scanner, TempEntitiesByType) {
    for (uint32_t protocol : {15u, 999u}) {
        useProtocol(protocol);
        int c = protocol == 999 ? 4 : 2;
        for (uint8_t type : {0, 1, 2, 3, 4, 7, 8, 10, 11}) expectTakes({23, type}, 3 * c);
        for (uint8_t type : {5, 6, 9, 13}) expectTakes({23, type}, 2 + 6 * c);
        expectTakes({23, 12}, 3 * c + 2);
        expectStops({23, 14});
        expectStops({23, 200});
    }
}

TEST_F(Scanner, SoundFieldMask) {
    expectTakes({6, 0x00}, 2 + 1 + 6);
    expectTakes({6, 0x03}, 2 + 2 + 1 + 6);
    expectTakes({6, 0x18}, 3 + 2 + 6);  // large entity and sound, honoured under 15 too
    for (uint8_t mask : {0x04, 0x20, 0x40, 0x80}) expectStops({6, mask});
    useProtocol(999);
    expectTakes({6, 0x00}, 2 + 1 + 12);
}

TEST_F(Scanner, EntityUpdates) {
    expectTakes({0x87, 0x40, 1, 2, 3, 4, 5, 6}, 0);  // morebits, origins 1 and 2, long entity
    expectTakes({0xff, 0x7f}, 2 + 5 + 3 * 2 + 3);   // every field but bit 15
    expectStops({0x81, 0x80});                      // bit 15 under 15
    useProtocol(666);
    expectTakes({0x91, 0x80, 0x01, 0x0a, 0x46, 0x80}, 0);  // marker: yaw and alpha
    expectTakes({0x81, 0x80, 0x9f, 0x01, 0x0a}, 5);        // alpha, frame2, model2, lerp, scale
    expectTakes({0x81, 0x80, 0x80, 0x00, 0x0a}, 0);        // U_EXTEND2: a fourth bits byte
    useProtocol(999);
    expectTakes({0x9e, 0x01, 0x00, 0x08, 0x00, 0x00, 0xe8, 0x07, 0x00, 0x00, 0x00, 0x40,
                 0x81, 0x01, 0x00, 0x00}, 0);
    expectTakes({0x91, 0x80, 0x01, 0x0a, 0x71, 0x46, 0x80}, 0);
}

TEST_F(Scanner, ClientDataWithBitsZeroFallsBackToDefaults) {
    gameState.viewHeight = 5;
    gameState.idealPitch = 5;
    gameState.punch[1] = 5;
    gameState.velocity[2] = 5;
    for (int i = 0; i < 11; i++) gameState.Stats[i] = 77;
    expectTakes({15, 0, 0, 0x01, 0x40, 0, 0, 0x9c, 0xff, 1, 2, 3, 4, 5, 6}, 0);
    EXPECT_EQ(gameState.viewHeight, 22);
    EXPECT_EQ(gameState.idealPitch, 0);
    EXPECT_EQ(gameState.punch[1], 0);
    EXPECT_EQ(gameState.velocity[2], 0);
    EXPECT_EQ(gameState.Stats[1], 0x4001);  // items are read without SU_ITEMS
    EXPECT_EQ(gameState.Stats[0], 0xff9c);
    EXPECT_EQ(gameState.Stats[5], 0);
    EXPECT_EQ(gameState.Stats[4], 0);
    EXPECT_EQ(gameState.Stats[2], 0);
    const int bytes[] = {3, 6, 7, 8, 9, 10};
    for (int i = 0; i < 6; i++) EXPECT_EQ(gameState.Stats[bytes[i]], i + 1);
}

TEST_F(Scanner, ClientDataViewFieldsInWireOrder) {
    expectTakes({15, 0xff, 0x72, 10, 11, 12, 13, 14, 15, 16, 0xf0, 1, 0, 0, 0, 7, 8, 9, 50, 0,
                 1, 2, 3, 4, 5, 6}, 0);
    EXPECT_EQ(gameState.viewHeight, 10);
    EXPECT_EQ(gameState.idealPitch, 11);
    EXPECT_EQ(gameState.punch[0], 12);
    EXPECT_EQ(gameState.velocity[0], 13);
    EXPECT_EQ(gameState.punch[1], 14);
    EXPECT_EQ(gameState.velocity[1], 15);
    EXPECT_EQ(gameState.punch[2], 16);
    EXPECT_EQ(gameState.velocity[2], -16);
    EXPECT_EQ(gameState.Stats[5], 7);
    EXPECT_EQ(gameState.Stats[4], 8);
    EXPECT_EQ(gameState.Stats[2], 9);
    EXPECT_EQ(gameState.Stats[0], 50);
}

TEST_F(Scanner, ClientDataHighBytesUnder666) {
    expectStops({15, 0x00, 0xc2, 0x08});  // bit 15 means nothing definite under 15
    useProtocol(666);
    expectTakes({15, 0x00, 0xc2, 0x08, 0, 0, 0, 0, 0, 100, 0, 0, 44, 0, 0, 0, 0, 1}, 0);
    EXPECT_EQ(gameState.Stats[6], 300);
    EXPECT_EQ(gameState.Stats[0], 100);
    // Every high byte, the weapon frame's behind SU_EXTEND2, and the weapon alpha.
    expectTakes({15, 0x00, 0xf0, 0xff, 0x03, 0, 0, 0, 0, 1, 2, 3, 100, 0, 4, 5, 6, 7, 8, 9,
                 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x80}, 0);
    EXPECT_EQ(gameState.Stats[2], 0x1103);
    EXPECT_EQ(gameState.Stats[4], 0x1202);
    EXPECT_EQ(gameState.Stats[3], 0x1304);
    EXPECT_EQ(gameState.Stats[6], 0x1405);
    EXPECT_EQ(gameState.Stats[7], 0x1506);
    EXPECT_EQ(gameState.Stats[8], 0x1607);
    EXPECT_EQ(gameState.Stats[9], 0x1708);
    EXPECT_EQ(gameState.Stats[5], 0x1801);
    EXPECT_EQ(gameState.Stats[10], 9);
    EXPECT_EQ(gameState.weaponAlpha, 0x80);
}

TEST_F(Scanner, StatsFromUpdatesDamageAndCounters) {
    scan(Bytes{3, 1} + longBytes(0x1234) + Bytes{3, 12} + longBytes(0xffffffff) + Bytes{27, 27, 28});
    EXPECT_EQ(gameState.Stats[1], 0x1234);
    EXPECT_EQ(gameState.Stats[12], -1);
    EXPECT_EQ(gameState.Stats[14], 2);
    EXPECT_EQ(gameState.Stats[13], 1);
    gameState.Stats[0] = 100;
    gameState.Stats[4] = 50;
    EXPECT_EQ(scan({19, 5, 10, 0, 0, 0, 0, 0, 0, 25, 2}), 2);
    EXPECT_EQ(gameState.Stats[0], 90);
    EXPECT_EQ(gameState.Stats[4], 45);
}

TEST_F(Scanner, ScoreboardAndLightStyles) {
    scan(Bytes{13, 3} + str("player") + Bytes{14, 3, 0xfe, 0xff, 17, 3, 0x4d, 12, 63} + str("az"));
    EXPECT_TRUE(gameState.Scoreboard[3].hasName);
    EXPECT_STREQ(gameState.Scoreboard[3].name, "player");
    EXPECT_EQ(gameState.Scoreboard[3].frags, 0xfffe);
    EXPECT_EQ(gameState.Scoreboard[3].colors, 0x4d);
    EXPECT_TRUE(gameState.hasLightStyle[63]);
    EXPECT_STREQ(gameState.LightStyles[63], "az");
    scan(Bytes{13, 3} + str(std::string(100, 'n').c_str()) + Bytes{12, 0} + str(std::string(200, 'm').c_str()));
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
    scan({13, 2, 'a', 'b'});
    EXPECT_FALSE(gameState.Scoreboard[2].hasName);
    scan({12, 2, 'a'});
    EXPECT_FALSE(gameState.hasLightStyle[2]);
    scan({3, 11, 1, 2, 3});
    EXPECT_EQ(gameState.Stats[11], 0);
    scan({5, 9});
    EXPECT_EQ(gameState.viewEntity, 0);
    scan({15, 0, 0, 1, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5});
    EXPECT_EQ(gameState.viewHeight, 0);
    EXPECT_EQ(gameState.Stats[1], 0);
    scan({11, 15, 0, 0, 0, 4, 0, 't', 0, 'm', 'a', 'p', 's', '/', 'x'});
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
