// The server message scanner: signon codes, message sizes under 15, 666 and 999, the GameState it
// keeps, walks over malformed or truncated messages; the state block rebuilt from that GameState.
#include <algorithm>
#include <memory>

#include "observers/scanner.h"
#include "unit/bytes.h"

namespace {

using namespace unit;

// Scans an exact-size heap copy, so a read past the end shows under AddressSanitizer.
int scan(const Bytes& message) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[message.size() + !message.size()]);
    if (!message.empty()) memcpy(copy.get(), message.data(), message.size());
    return scanServerMessage(copy.get(), int(message.size()));
}

Bytes serverInfo(uint32_t protocol, const char* world, uint32_t flags = 0x82) {
    Bytes info = Bytes{11} + longBytes(protocol) + (protocol == 999 ? longBytes(flags) : Bytes());
    return info + Bytes{4, 0} + str("Level") + str(world) + str("") + str("");
}

void useProtocol(uint32_t protocol, uint32_t flags = 0x82) {
    resetGameState();
    ASSERT_EQ(scan(serverInfo(protocol, "maps/start.bsp", flags)), 0);
}

// `head` takes exactly `payload` more bytes: they are svc_killedmonster, so a walk that takes too
// little counts monsters and one that takes too much eats the signon behind; -1: the walk stops.
void expectTakes(const Bytes& head, int payload) {
    gameState.Stats[14] = 0;
    Bytes tail = {25, 2, 25, 2, 25, 2, 25, 2, 25, 2, 25, 2, 25, 2, 25, 2};
    EXPECT_EQ(scan(head + Bytes(size_t(std::max(payload, 0)), 27) + tail), payload < 0 ? 0 : 2) << int(head[0]);
    EXPECT_EQ(gameState.Stats[14], 0) << int(head[0]);
}

void expectStats(std::initializer_list<std::pair<int, int32_t>> stats) {
    for (const auto& s : stats) EXPECT_EQ(gameState.Stats[s.first], s.second) << "stat " << s.first;
}

struct Scanner : ::testing::Test {
    void SetUp() override { resetGameState(); }
};

TEST_F(Scanner, SignonCodesDisconnectsAndServerInfo) {
    const std::pair<Bytes, int> codes[] = {{{}, 0}, {{0}, 0}, {Bytes{8} + str("hi") + Bytes{25, 2}, 2}, {{30}, -1},
                                           {{33}, -1}, {{25, 1, 30}, 1}, {{30, 25, 3}, 3}, {Bytes{25, 0, 31} + str("x"), -1},
                                           {{25, 4}, 4}, {{25, 2, 0, 25, 3}, 2}};
    for (const auto& [message, code] : codes) EXPECT_EQ(scan(message), code);
    Bytes kick = Bytes{8} + str("Kicked by Console\n") + Bytes{2};
    EXPECT_TRUE(holdsDisconnect(kick.data(), int(kick.size()), playedProtocol()));
    EXPECT_FALSE(holdsDisconnect(kick.data(), int(kick.size()) - 1, playedProtocol()));
    Bytes stat = Bytes{3, 0, 2, 2, 0, 0, 0x83, 1, 2, 0};  // byte 2 inside a stat or an origin is no message
    EXPECT_FALSE(holdsDisconnect(stat.data(), int(stat.size()), playedProtocol()));
    EXPECT_EQ(scan(Bytes{8} + str("FITZQUAKE") + serverInfo(15, "maps/e1m1.bsp") + Bytes{32, 2, 2, 5, 1, 0, 25, 1}), 1);
    EXPECT_TRUE(gameState.maxClients == 4 && gameState.viewEntity == 1 && gameState.serverInfoCount == 1);
    scan(serverInfo(15, "maps/abcdefghijklmnopqrstuvwxyz.bsp"));
    EXPECT_STREQ(gameState.mapName, "abcdefghijklmno");
    scan(Bytes{11} + longBytes(15) + Bytes{4, 0} + str("L") + str("maps"));  // ends at the name: nothing read behind
    EXPECT_STREQ(gameState.mapName, "");
}

TEST_F(Scanner, UnknownProtocolsAreNotWalkedUntilAKnownOneReturns) {
    scan(serverInfo(15, "maps/e1m1.bsp"));
    EXPECT_EQ(scan(serverInfo(999, "maps/dm2.bsp", 0x83) + Bytes{25, 1}), 0);  // 3504 is the capture test's
    EXPECT_FALSE(gameState.protocolKnown);
    EXPECT_EQ(scan({3, 11, 5, 0, 0, 0, 25, 2}), 0);
    EXPECT_EQ(gameState.Stats[11], 0);
    // Print and stufftext are shared by every protocol, so the next level's serverinfo is seen.
    EXPECT_EQ(scan(Bytes{8} + str("hello") + Bytes{9} + str("") + serverInfo(666, "maps/e2m1.bsp") + Bytes{25, 1}), 1);
    EXPECT_TRUE(gameState.protocolKnown);
}

TEST_F(Scanner, MessageSizesByProtocol) {
    for (uint32_t protocol : {15u, 999u}) {
        useProtocol(protocol);
        int c = protocol == 999 ? 4 : 2, a = protocol == 999 ? 2 : 1;
        const std::pair<Bytes, int> sizes[] = {
            {{7}, 4}, {{10}, 3 * a}, {{16}, 2}, {{18}, 3 * c + 5}, {{20}, 4 + 3 * (c + a)}, {{22}, 6 + 3 * (c + a)},
            {{24}, 1}, {{29}, 3 * c + 3}, {{32}, 2}, {{19}, 2 + 3 * c}, {{6, 0x00}, 2 + 1 + 3 * c}, {{23, 12}, 3 * c + 2},
            {{23, 14}, -1}, {{23, 200}, -1}};
        for (const auto& size : sizes) expectTakes(size.first, size.second);
        for (uint8_t type : {0, 1, 2, 3, 4, 7, 8, 10, 11}) expectTakes({23, type}, 3 * c);
        for (uint8_t type : {5, 6, 9, 13}) expectTakes({23, type}, 2 + 6 * c);
    }
    resetGameState();  // under 15
    for (uint8_t code : {21, 35, 36, 38, 39, 45, 52, 56, 57, 60, 127}) expectTakes({code, 0}, -1);
    struct Case { uint32_t protocol, flags; Bytes head; int payload; };
    const Case cases[] = {
        {15, 0, {40}, 0}, {15, 0, {41}, 6}, {15, 0, Bytes{37} + str("sky"), 0}, {15, 0, Bytes{34} + str("a"), 0},
        {15, 0, {42, 1, 0, 0x03}, 2 + 2 + 2 + 3 * 3},  // baseline2, large model and frame
        {15, 0, {6, 0x03}, 2 + 2 + 1 + 6}, {15, 0, {6, 0x18}, 3 + 2 + 6},  // large entity and sound
        {15, 0, {0xff, 0x7f}, 2 + 5 + 3 * 2 + 3},  // every field but bit 15
        {15, 0, {0x81, 0x80}, -1},                 // bit 15 means nothing definite under 15
        {666, 0, Bytes{52} + str("ACH"), 0}, {666, 0, {56, 0x10}, 2}, {666, 0, {44}, 3 * 2 + 4},
        {666, 0, {0x81, 0x80, 0x9f, 0x01, 0x0a}, 5},  // alpha, frame2, model2, lerp, scale
        {999, 0x82, {42, 0, 0, 0x02}, 1 + 2 + 2 + 3 * 6}, {999, 0x08, {23, 0}, 9}, {999, 0x98, {23, 0}, 12}};
    for (const Case& c : cases) {
        useProtocol(c.protocol, c.flags);
        expectTakes(c.head, c.payload);
    }
}

TEST_F(Scanner, ClientDataAndStatsAreKept) {
    gameState.viewHeight = gameState.idealPitch = gameState.punch[1] = gameState.velocity[2] = 5;
    expectTakes({15, 0, 0, 0x01, 0x40, 0, 0, 0x9c, 0xff, 1, 2, 3, 4, 5, 6}, 0);  // bits zero: the defaults
    EXPECT_EQ(gameState.viewHeight, 22);
    EXPECT_EQ(gameState.idealPitch + gameState.punch[1] + gameState.velocity[2], 0);
    expectStats({{1, 0x4001}, {0, 0xff9c}, {5, 0}, {4, 0}, {2, 0}, {3, 1}, {6, 2}, {7, 3}, {8, 4}, {9, 5}, {10, 6}});
    expectTakes({15, 0xff, 0x72, 10, 11, 12, 13, 14, 15, 16, 0xf0, 1, 0, 0, 0, 7, 8, 9, 50, 0, 1, 2, 3, 4, 5, 6}, 0);
    expectStats({{5, 7}, {4, 8}, {2, 9}, {0, 50}});
    expectTakes(Bytes{4} + longBytes(666) + Bytes{15, 0x00, 0xc2, 0x08, 0, 0, 0, 0, 0, 100, 0, 0, 44, 0, 0, 0, 0, 1}, 0);
    expectStats({{6, 300}, {0, 100}});
    resetGameState();
    scan(Bytes{3, 1} + longBytes(0x1234) + Bytes{3, 12} + longBytes(0xffffffff) + Bytes{27, 27, 28});
    expectStats({{1, 0x1234}, {12, -1}, {14, 2}, {13, 1}});
}

TEST_F(Scanner, ScoreboardAndLightStylesAreCutToTheirStoresAndIndicesChecked) {
    scan(Bytes{13, 3} + str("player") + Bytes{14, 3, 0xfe, 0xff, 17, 3, 0x4d, 12, 63} + str("az"));
    EXPECT_STREQ(gameState.Scoreboard[3].name, "player");
    EXPECT_TRUE(gameState.Scoreboard[3].frags == 0xfffe && gameState.Scoreboard[3].colors == 0x4d);
    EXPECT_STREQ(gameState.LightStyles[63], "az");
    scan(Bytes{13, 3} + str(std::string(100, 'n')) + Bytes{12, 0} + str(std::string(200, 'm')));
    EXPECT_EQ(strlen(gameState.Scoreboard[3].name), size_t(ScoreNameSize - 1));
    EXPECT_EQ(strlen(gameState.LightStyles[0]), size_t(LightStyleSize - 1));
    resetGameState();
    EXPECT_EQ(scan(Bytes{13, 16} + str("x") + Bytes{14, 200, 1, 0, 17, 16, 5, 12, 64} + str("m") + Bytes{3, 32} +
                   longBytes(7) + Bytes{3, 255} + longBytes(7) + Bytes{25, 2}), 2);
    for (const ScoreEntry& entry : gameState.Scoreboard) EXPECT_TRUE(!entry.hasName && !entry.frags && !entry.colors);
    for (bool has : gameState.hasLightStyle) EXPECT_FALSE(has);
    for (int32_t stat : gameState.Stats) EXPECT_EQ(stat, 0);
    EXPECT_EQ(gameState.viewEntity + gameState.viewHeight, 0);  // what lies behind the stats
}

TEST_F(Scanner, TruncatedMessagesNeverReadPastTheirEndNorKeepHalfValues) {
    Bytes full = Bytes{8} + str("text") + serverInfo(999, "maps/e1m1.bsp") + Bytes{13, 1} + str("nm") +
                 Bytes{12, 2} + str("abc") + Bytes{3, 11} + longBytes(9) + Bytes{5, 7, 0, 6, 0x1b, 1, 2} +
                 Bytes(5, 0) + Bytes(12, 0) + Bytes{23, 5} + Bytes(26, 0) +
                 Bytes{15, 0x00, 0xc2, 0x08, 0, 0, 0, 0, 0, 100, 0, 0, 44, 0, 0, 0, 0, 1} +
                 Bytes{0x9e, 0x01, 0, 0x08, 0, 0, 0xe8, 0x07, 0, 0, 0, 0x40, 0x81, 0x01, 0, 0, 25, 3};
    for (size_t cut = 0; cut <= full.size(); cut++) {
        useProtocol(666);
        EXPECT_EQ(scan(Bytes(full.begin(), full.begin() + long(cut))) == 3, cut == full.size()) << cut;
    }
}


struct StateBlock : Scanner {
    void SetUp() override {
        Scanner::SetUp();
        memset(record, 0xAA, sizeof record);
    }
    Bytes build(int capacity = 4080) {
        if (!buildStateBlock(record, capacity)) return {};
        return Bytes(record + RecordHeaderSize, record + RecordHeaderSize + recordLength(record));
    }
    // The block's clientdata: after the four svc_updatestat (24 bytes from "3 11") up to svc_setview.
    Bytes clientData() {
        Bytes m = build();
        const Bytes stats = {3, 11};
        auto at = std::search(m.begin(), m.end(), stats.begin(), stats.end());
        return at == m.end() ? Bytes{} : Bytes(at + 24, m.end() - 5);
    }
    uint8_t record[RecordHeaderSize + MaxStateBlockSize + 8];
};

TEST_F(StateBlock, EmptyStateIs247BytesAndPlayersComeUpToMaxClients) {
    Bytes m = build();
    ASSERT_EQ(m.size(), 247u);
    Bytes styles;  // 64 empty svc_lightstyle
    for (uint8_t i = 0; i < 64; i++) styles.insert(styles.end(), {12, i, 0});
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 192), styles);
    EXPECT_EQ(Bytes(m.end() - 5, m.end()), Bytes({5, 0, 0, 25, 3}));
    gameState.maxClients = 200;  // at most sixteen
    gameState.Scoreboard[0] = {0xfffb, 0x4d, true, "abc"};
    const Bytes player = {13, 0, 'a', 'b', 'c', 0, 14, 0, 0xfb, 0xff, 17, 0, 0x4d, 13, 1, 0, 14, 1, 0, 0, 17, 1, 0};
    m = build();
    EXPECT_EQ(Bytes(m.begin(), m.begin() + long(player.size())), player);  // player 1 unnamed yet
    EXPECT_EQ(m.size(), 247u + 13 + 15 * 10);
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

TEST_F(StateBlock, FogAndSkyOfTheLevelComeBackBeforeTheClientDataUntilTheNextLevel) {
    useProtocol(666);
    size_t plain = build().size();
    scan(Bytes{41, 100, 1, 2, 3, 0x10, 0x00} + Bytes{37} + str("cloudy"));
    Bytes fogAndSky = Bytes{41, 100, 1, 2, 3, 0, 0, 37} + str("cloudy") + Bytes{15};
    Bytes m = build();
    EXPECT_NE(std::search(m.begin(), m.end(), fogAndSky.begin(), fogAndSky.end()), m.end());
    // A sky name too long to keep whole: neither a cut one nor the old one, no longer the level's.
    scan(Bytes{37} + str(std::string(SkyNameSize, 's').c_str()));
    EXPECT_EQ(build().size(), m.size() - 8);
    scan(serverInfo(666, "maps/next.bsp"));
    EXPECT_EQ(build().size(), plain);
}

TEST_F(StateBlock, NeverPastItsCapacityNorUnderAnUnknownProtocolAndTheFullestFitsItsMaximum) {
    EXPECT_TRUE(build(246).empty());
    EXPECT_EQ(record[RecordHeaderSize + 246], 0xAA);
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
