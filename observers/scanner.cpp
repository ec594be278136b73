// The server message scanner: the walk over the server's reliable messages under game protocols 15,
// 666 and 999, the GameState it keeps, and the state block rebuilt from that state.
#include "observers/scanner.h"

#include <cstring>
#include <initializer_list>

#include "net/framing.h"
#include "net/senders.h"

GameState gameState;

void resetGameState() { gameState = GameState(); }

namespace {

// Protocol 999 flags (the long after the protocol in svc_serverinfo).
constexpr uint32_t FlagShortAngle = 0x02;
constexpr uint32_t FlagFloatAngle = 0x04;
constexpr uint32_t Flag24BitCoord = 0x08;
constexpr uint32_t FlagFloatCoord = 0x10;
constexpr uint32_t FlagInt32Coord = 0x80;
constexpr uint32_t KnownFlags = 0xFE;

// svc_clientdata bits beyond the view fields.
constexpr uint32_t SuWeaponFrame = 0x1000;
constexpr uint32_t SuArmor = 0x2000;
constexpr uint32_t SuWeapon = 0x4000;
constexpr uint32_t SuExtend1 = 0x8000;
constexpr uint32_t SuExtend2 = 0x800000;
constexpr uint32_t SuWeaponAlpha = 1u << 25;
constexpr uint32_t StateBlockBits = 0x72FF;
// View height, ideal pitch, then punch and velocity interleaved, as they come on the wire.
constexpr uint32_t ViewBits[8] = {0x01, 0x02, 0x04, 0x20, 0x08, 0x40, 0x10, 0x80};

// The 666/999 high bytes in wire order, with the stat each completes.
struct HighByte {
    int stat;
    uint32_t bit;
};
constexpr HighByte HighBytes[8] = {{2, 1u << 16}, {4, 1u << 17}, {3, 1u << 18}, {6, 1u << 19},
                                   {7, 1u << 20}, {8, 1u << 21}, {9, 1u << 22}, {5, 1u << 24}};

// Entity update bits that carry data.
constexpr uint32_t UMoreBits = 0x0001, UOrigin1 = 0x0002, UOrigin2 = 0x0004, UOrigin3 = 0x0008,
                   UAngle2 = 0x0010, UFrame = 0x0040, UAngle1 = 0x0100, UAngle3 = 0x0200,
                   UModel = 0x0400, UColormap = 0x0800, USkin = 0x1000, UEffects = 0x2000,
                   ULongEntity = 0x4000, UExtend1 = 0x8000, UExtend2 = 0x800000;
// U_ALPHA, U_FRAME2, U_MODEL2, U_LERPFINISH, U_SCALE: one byte each after the angles.
constexpr uint32_t UExtraBytes = 0x1F0000;

// Where the walk reads the protocol and writes what it learns: the GameState, or a scratch copy
// for a walk that only looks (under the protocol its caller gives).
GameState scratchState;
GameState* writeTarget = &gameState;
GameState& model() { return *writeTarget; }

bool extendedProtocol() { return model().protocol == ProtocolFitzQuake || model().protocol == ProtocolRMQ; }

uint32_t flagsOf(int32_t protocol, uint32_t flags) { return protocol == ProtocolRMQ ? flags : 0; }
uint32_t flagsInForce() { return flagsOf(model().protocol, model().protocolFlags); }

int coordBytes() {
    uint32_t flags = flagsInForce();
    if (flags & (FlagFloatCoord | FlagInt32Coord)) return 4;
    return flags & Flag24BitCoord ? 3 : 2;
}

bool isKnownProtocol(uint32_t protocol, uint32_t flags) {
    if (protocol == ProtocolRMQ) return (flags & ~KnownFlags) == 0;
    return protocol == ProtocolNetQuake || protocol == ProtocolFitzQuake;
}

// A read cursor that never passes `end`; the first short read sets `overrun` and every later read
// yields zeros, so a handler reads its whole payload and checks once before it changes anything.
struct Cursor {
    const uint8_t* at;
    const uint8_t* end;
    bool overrun;
};

bool has(Cursor& c, long n) {
    if (!c.overrun && c.end - c.at >= n) return true;
    c.overrun = true;
    c.at = c.end;
    return false;
}

void skip(Cursor& c, long n) {
    if (has(c, n)) c.at += n;
}

uint8_t readByte(Cursor& c) { return has(c, 1) ? *c.at++ : 0; }

uint16_t readShort(Cursor& c) {
    if (!has(c, 2)) return 0;
    uint16_t v = uint16_t(c.at[0] | c.at[1] << 8);
    c.at += 2;
    return v;
}

uint32_t readLongValue(Cursor& c) {
    if (!has(c, 4)) return 0;
    uint32_t v = readLong(c.at);
    c.at += 4;
    return v;
}

// The string at the cursor, its zero inside the message; nullptr when the message ends first.
const char* readString(Cursor& c) {
    const void* zero = c.overrun ? nullptr : memchr(c.at, 0, size_t(c.end - c.at));
    if (zero == nullptr) {
        c.overrun = true;
        c.at = c.end;
        return nullptr;
    }
    const char* s = reinterpret_cast<const char*>(c.at);
    c.at = static_cast<const uint8_t*>(zero) + 1;
    return s;
}

// Strings up to and including the first empty one.
void skipStringList(Cursor& c) {
    for (const char* s = readString(c); s != nullptr && *s != 0; s = readString(c)) {
    }
}

void copyCut(char* dest, int size, const char* src, size_t length) {
    if (length > size_t(size - 1)) length = size_t(size - 1);
    memcpy(dest, src, length);
    dest[length] = 0;
}

void addToStat(int index, uint32_t amount) {
    model().Stats[index] = int32_t(uint32_t(model().Stats[index]) + amount);
}

struct Walk {
    Cursor c;
    int result;
    bool stopped;  // a layout the walk cannot follow: the rest of the message is left alone
};

// The world model's name without "maps/" and the extension, cut to the store; a name shorter than
// the prefix leaves the map name empty.
void setMapName(const char* world) {
    size_t length = strlen(world);
    if (length < 5) {
        model().mapName[0] = 0;
        return;
    }
    const char* name = world + 5;
    const char* dot = strchr(name, '.');
    copyCut(model().mapName, MapNameSize, name, dot ? size_t(dot - name) : length - 5);
}

void scanServerInfo(Walk& w) {
    Cursor& c = w.c;
    model().serverInfoCount++;  // a level begins even under a protocol we cannot read
    uint32_t protocol = readLongValue(c);
    uint32_t flags = protocol == ProtocolRMQ ? readLongValue(c) : 0;
    if (c.overrun) return;
    model().protocol = int32_t(protocol);
    model().protocolFlags = flags;
    model().protocolKnown = isKnownProtocol(protocol, flags);
    if (!model().protocolKnown) {
        // FTE prefixes, other engines' protocols, 999 with flags nobody defines: relayed unread.
        model().mapName[0] = 0;
        w.stopped = true;
        return;
    }
    uint8_t maxClients = readByte(c);
    skip(c, 1);  // game type
    readString(c);  // level title
    const char* world = readString(c);
    if (c.overrun) return;
    model().maxClients = maxClients;
    model().hasFog = false;
    model().hasSkyBox = false;
    setMapName(world);
    if (*world != 0) skipStringList(c);  // the other models
    skipStringList(c);                   // sounds
}

void scanClientData(Walk& w) {
    Cursor& c = w.c;
    uint32_t bits = readShort(c);
    if (bits & SuExtend1) {
        // Under 15 bit 15 means nothing to id's client and an extension byte to the QS family.
        if (!extendedProtocol()) {
            w.stopped = true;
            return;
        }
        bits |= uint32_t(readByte(c)) << 16;
        if (bits & SuExtend2) bits |= uint32_t(readByte(c)) << 24;
    }
    int8_t view[8];
    for (int i = 0; i < 8; i++) view[i] = (bits & ViewBits[i]) ? int8_t(readByte(c)) : 0;
    if (!(bits & ViewBits[0])) view[0] = 22;
    int32_t values[11];
    values[1] = int32_t(readLongValue(c));  // read whether or not SU_ITEMS is set
    values[5] = (bits & SuWeaponFrame) ? readByte(c) : 0;
    values[4] = (bits & SuArmor) ? readByte(c) : 0;
    values[2] = (bits & SuWeapon) ? readByte(c) : 0;
    values[0] = readShort(c);
    values[3] = readByte(c);
    for (int stat = 6; stat <= 10; stat++) values[stat] = readByte(c);
    for (const HighByte& high : HighBytes) {
        if (bits & high.bit) values[high.stat] |= readByte(c) << 8;
    }
    uint8_t alpha = (bits & SuWeaponAlpha) ? readByte(c) : 0;
    if (c.overrun) return;
    model().viewHeight = view[0];
    model().idealPitch = view[1];
    for (int i = 0; i < 3; i++) {
        model().punch[i] = view[2 + 2 * i];
        model().velocity[i] = view[3 + 2 * i];
    }
    memcpy(model().Stats, values, sizeof values);
    model().weaponAlpha = alpha;
}

void scanEntityUpdate(Walk& w, uint8_t code) {
    Cursor& c = w.c;
    uint32_t bits = code & 0x7F;
    if (bits & UMoreBits) bits |= uint32_t(readByte(c)) << 8;
    if (bits & UExtend1) {
        // Under 15 bit 15 is Nehahra's transparency floats, which no server of ours sends.
        if (!extendedProtocol()) {
            w.stopped = true;
            return;
        }
        bits |= uint32_t(readByte(c)) << 16;
        if (bits & UExtend2) bits |= uint32_t(readByte(c)) << 24;
    }
    int coord = coordBytes(), angle = serverAngleBytes();
    long size = (bits & ULongEntity) ? 2 : 1;
    for (uint32_t bit : {UModel, UFrame, UColormap, USkin, UEffects}) size += (bits & bit) ? 1 : 0;
    for (uint32_t bit : {UOrigin1, UOrigin2, UOrigin3}) size += (bits & bit) ? coord : 0;
    for (uint32_t bit : {UAngle1, UAngle2, UAngle3}) size += (bits & bit) ? angle : 0;
    for (int bit = 16; bit <= 20; bit++) size += ((bits & UExtraBytes) >> bit) & 1;
    skip(c, size);
}

void scanSound(Walk& w) {
    Cursor& c = w.c;
    uint8_t mask = readByte(c);
    if (mask & 0xE4) {
        // Looping and the FTE/DarkPlaces bits: no engine of these protocols agrees on a payload.
        w.stopped = true;
        return;
    }
    long size = (mask & 0x01) + ((mask & 0x02) >> 1);
    size += (mask & 0x08) ? 3 : 2;  // entity and channel
    size += (mask & 0x10) ? 2 : 1;  // sound number
    skip(c, size + 3 * coordBytes());
}

void scanTempEntity(Walk& w) {
    Cursor& c = w.c;
    uint8_t type = readByte(c);
    int coord = coordBytes();
    switch (type) {
    case 0: case 1: case 2: case 3: case 4: case 7: case 8: case 10: case 11:
        skip(c, 3 * coord);
        return;
    case 5: case 6: case 9: case 13:
        skip(c, 2 + 6 * coord);
        return;
    case 12:
        skip(c, 3 * coord + 2);
        return;
    default:
        w.stopped = true;
    }
}

// svc_spawnbaseline2 and svc_spawnstatic2 after the entity short: the bits byte says which fields
// are wide or present.
void scanBaseline2(Walk& w) {
    Cursor& c = w.c;
    uint8_t bits = readByte(c);
    long size = 2 + ((bits & 0x01) ? 2 : 1) + ((bits & 0x02) ? 2 : 1);
    size += 3 * (coordBytes() + serverAngleBytes());
    size += ((bits & 0x04) ? 1 : 0) + ((bits & 0x08) ? 1 : 0);
    skip(c, size);
}

void scanLocalSound(Walk& w) {
    uint8_t mask = readByte(w.c);
    skip(w.c, (mask & 0x10) ? 2 : 1);
}

void scanStat(Walk& w) {
    uint8_t index = readByte(w.c);
    uint32_t value = readLongValue(w.c);
    if (!w.c.overrun && index < MaxStats) model().Stats[index] = int32_t(value);
}

void scanLightStyle(Walk& w) {
    uint8_t index = readByte(w.c);
    const char* pattern = readString(w.c);
    if (w.c.overrun || index >= MaxLightStyles) return;
    copyCut(model().LightStyles[index], LightStyleSize, pattern, strlen(pattern));
    model().hasLightStyle[index] = true;
}

void scanPlayerName(Walk& w) {
    uint8_t player = readByte(w.c);
    const char* name = readString(w.c);
    if (w.c.overrun || player >= MaxScoreboard) return;
    ScoreEntry& entry = model().Scoreboard[player];
    copyCut(entry.name, ScoreNameSize, name, strlen(name));
    entry.hasName = true;
}

void scanPlayerFrags(Walk& w) {
    uint8_t player = readByte(w.c);
    uint16_t frags = readShort(w.c);
    if (!w.c.overrun && player < MaxScoreboard) model().Scoreboard[player].frags = frags;
}

void scanPlayerColors(Walk& w) {
    uint8_t player = readByte(w.c);
    uint8_t colors = readByte(w.c);
    if (!w.c.overrun && player < MaxScoreboard) model().Scoreboard[player].colors = colors;
}

void scanView(Walk& w) {
    uint16_t entity = readShort(w.c);
    if (!w.c.overrun) model().viewEntity = entity;
}

void scanDamage(Walk& w) {
    uint8_t armor = readByte(w.c);
    uint8_t blood = readByte(w.c);
    skip(w.c, 3 * coordBytes());
    if (w.c.overrun) return;
    addToStat(4, 0u - armor);
    addToStat(0, 0u - blood);
}

void scanVersion(Walk& w) {
    uint32_t protocol = readLongValue(w.c);
    if (w.c.overrun) return;
    // QS-family clients switch layout on it and keep the flags they have, so the walk does too.
    model().protocol = int32_t(protocol);
    if (!isKnownProtocol(protocol, flagsInForce())) {
        model().protocolKnown = false;
        w.stopped = true;
    }
}

void scanFog(Walk& w) {
    uint8_t values[4];
    for (uint8_t& value : values) value = readByte(w.c);
    skip(w.c, 2);  // fade time: the block sets the fog the fade ends at
    if (w.c.overrun) return;
    memcpy(model().fog, values, sizeof values);
    model().hasFog = true;
}

void scanSkyBox(Walk& w) {
    const char* name = readString(w.c);
    if (name == nullptr) return;
    size_t length = strlen(name);
    model().hasSkyBox = length < size_t(SkyNameSize);  // a cut name would load another sky
    if (model().hasSkyBox) copyCut(model().skyBox, SkyNameSize, name, length);
}

void endsLevel(Walk& w) {
    if (w.result == 0) w.result = -1;
}

// Bytes after the code of the messages whose payload has a fixed size under the protocol in force;
// -1 for every other code. 37 and 40..44 are walked under 15 as well: game code can send them under
// any protocol and QS-family clients read them with one layout everywhere, which no engine contradicts.
long fixedPayload(uint8_t code) {
    long coord = coordBytes(), angle = serverAngleBytes();
    switch (code) {
    case 1: case 2: case 40: return 0;       // nop, disconnect, bf
    case 7: return 4;                        // time
    case 10: return 3 * angle;               // setangle
    case 16: return 2;                       // stopsound
    case 18: return 3 * coord + 5;           // particle
    case 20: return 4 + 3 * (coord + angle); // spawnstatic
    case 22: return 6 + 3 * (coord + angle); // spawnbaseline
    case 24: return 1;                       // setpause
    case 29: return 3 * coord + 3;           // spawnstaticsound
    case 32: return 2;                       // cdtrack
    case 44: return 3 * coord + 4;           // spawnstaticsound2
    default: return -1;
    }
}

// Codes that are a string and nothing else: print, stufftext, centerprint, cutscene, skybox, and
// under 666/999 achievement. Under 15, 52 is another message in DarkPlaces, so it stays unknown.
bool isStringMessage(uint8_t code) {
    return code == 8 || code == 9 || code == 26 || code == 34 ||
           (code == 52 && extendedProtocol());
}

void scanOne(Walk& w, uint8_t code) {
    if (code >= 128) return scanEntityUpdate(w, code);
    if (isStringMessage(code)) {
        readString(w.c);
        return;
    }
    long fixed = fixedPayload(code);
    if (fixed >= 0) return skip(w.c, fixed);
    switch (code) {
    case 3: return scanStat(w);
    case 4: return scanVersion(w);
    case 5: return scanView(w);
    case 6: return scanSound(w);
    case 11: return scanServerInfo(w);
    case 12: return scanLightStyle(w);
    case 13: return scanPlayerName(w);
    case 14: return scanPlayerFrags(w);
    case 15: return scanClientData(w);
    case 17: return scanPlayerColors(w);
    case 19: return scanDamage(w);
    case 23: return scanTempEntity(w);
    case 25: {
        uint8_t stage = readByte(w.c);
        if (!w.c.overrun) w.result = stage;
        return;
    }
    case 27: return addToStat(14, 1);
    case 28: return addToStat(13, 1);
    case 30: case 33: return endsLevel(w);
    case 31:
        if (readString(w.c) != nullptr) endsLevel(w);
        return;
    case 37: return scanSkyBox(w);
    case 41: return scanFog(w);
    case 42: skip(w.c, 2); return scanBaseline2(w);
    case 43: return scanBaseline2(w);
    case 56:
        if (extendedProtocol()) return scanLocalSound(w);
        break;
    }
    // 21 (never sent by these engines), 35, 36, 38, 39, 45 and up: no length to step over.
    w.stopped = true;
}

int walkMessage(const uint8_t* message, int length) {
    Walk w{{message, message + (length > 0 ? length : 0), false}, 0, false};
    while (!w.stopped && w.c.at < w.c.end) {
        uint8_t code = readByte(w.c);
        if (code == 0) break;
        // Under a protocol we do not know only the messages every protocol shares are walked, so
        // that the next level's svc_serverinfo can bring a known protocol back.
        if (!model().protocolKnown && code != 1 && code != 8 && code != 9 && code != 11) break;
        scanOne(w, code);
    }
    return model().protocolKnown ? w.result : 0;
}

// The scratch model set up to read by `p`.
void lookBy(const ProtocolInForce& p) {
    scratchState.protocol = p.protocol;
    scratchState.protocolFlags = p.flags;
    scratchState.protocolKnown = p.known;
    writeTarget = &scratchState;
}

}  // namespace

int scanServerMessage(const uint8_t* message, int length) { return walkMessage(message, length); }

void followProtocol(const uint8_t* message, int length, ProtocolInForce& p) {
    lookBy(p);
    walkMessage(message, length);
    p = ProtocolInForce{scratchState.protocol, scratchState.protocolFlags, scratchState.protocolKnown};
    writeTarget = &gameState;
}

bool isReconnectOrder(const uint8_t* message, int length) {
    static const uint8_t Order[12] = {9, 'r', 'e', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0};
    return length >= int(sizeof Order) && std::memcmp(message, Order, sizeof Order) == 0;
}

ProtocolInForce playedProtocol() { return {gameState.protocol, gameState.protocolFlags, gameState.protocolKnown}; }

namespace {

// A write cursor that never passes `end`; a write that does not fit sets `overflow`.
struct Writer {
    uint8_t* at;
    uint8_t* end;
    bool overflow;
};

void putBytes(Writer& w, const void* bytes, size_t n) {
    if (w.overflow || size_t(w.end - w.at) < n) {
        w.overflow = true;
        return;
    }
    memcpy(w.at, bytes, n);
    w.at += n;
}

void putByte(Writer& w, uint32_t v) {
    uint8_t b = uint8_t(v);
    putBytes(w, &b, 1);
}

void putShort(Writer& w, uint32_t v) {
    uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
    putBytes(w, b, 2);
}

void putLong(Writer& w, uint32_t v) {
    uint8_t b[4];
    writeLong(b, v);
    putBytes(w, b, 4);
}

void putString(Writer& w, const char* s) { putBytes(w, s, strlen(s) + 1); }

// Names never received (possible only before the server's signon 3) go out empty.
void writeScoreboard(Writer& w) {
    int players = gameState.maxClients < MaxScoreboard ? gameState.maxClients : MaxScoreboard;
    for (int p = 0; p < players; p++) {
        const ScoreEntry& entry = gameState.Scoreboard[p];
        putByte(w, 13);
        putByte(w, uint32_t(p));
        putString(w, entry.hasName ? entry.name : "");
        putByte(w, 14);
        putByte(w, uint32_t(p));
        putShort(w, entry.frags);
        putByte(w, 17);
        putByte(w, uint32_t(p));
        putByte(w, entry.colors);
    }
}

void writeLightStyles(Writer& w) {
    for (int i = 0; i < MaxLightStyles; i++) {
        putByte(w, 12);
        putByte(w, uint32_t(i));
        putString(w, gameState.hasLightStyle[i] ? gameState.LightStyles[i] : "");
    }
}

uint32_t clientDataBits() {
    uint32_t bits = StateBlockBits;
    if (!extendedProtocol()) return bits;  // 15 has no room for high bytes: values go as low bytes
    for (const HighByte& high : HighBytes) {
        if ((gameState.Stats[high.stat] >> 8) & 0xFF) bits |= high.bit;
    }
    if (gameState.weaponAlpha != 0) bits |= SuWeaponAlpha;
    if (bits & 0xFF000000) bits |= SuExtend2;
    if (bits & 0x00FF0000) bits |= SuExtend1;
    return bits;
}

void writeClientData(Writer& w) {
    const int32_t* stats = gameState.Stats;
    uint32_t bits = clientDataBits();
    putByte(w, 15);
    putShort(w, bits);
    if (bits & SuExtend1) putByte(w, bits >> 16);
    if (bits & SuExtend2) putByte(w, bits >> 24);
    putByte(w, uint8_t(gameState.viewHeight));
    putByte(w, uint8_t(gameState.idealPitch));
    for (int i = 0; i < 3; i++) {
        putByte(w, uint8_t(gameState.punch[i]));
        putByte(w, uint8_t(gameState.velocity[i]));
    }
    putLong(w, uint32_t(stats[1]));
    for (int stat : {5, 4, 2}) putByte(w, uint32_t(stats[stat]));
    putShort(w, uint32_t(stats[0]));
    for (int stat : {3, 6, 7, 8, 9, 10}) putByte(w, uint32_t(stats[stat]));
    for (const HighByte& high : HighBytes) {
        if (bits & high.bit) putByte(w, uint32_t(stats[high.stat]) >> 8);
    }
    if (bits & SuWeaponAlpha) putByte(w, gameState.weaponAlpha);
}

}  // namespace

bool buildStateBlock(uint8_t* record, int capacity) {
    uint8_t* start = record + RecordHeaderSize;
    Writer w{start, start + (capacity > 0 ? capacity : 0), false};
    // A block in a layout the client does not speak would break it: nothing rather than that.
    if (!gameState.protocolKnown) w.overflow = true;
    writeScoreboard(w);
    writeLightStyles(w);
    for (int stat = 11; stat <= 14; stat++) {
        putByte(w, 3);
        putByte(w, uint32_t(stat));
        putLong(w, uint32_t(gameState.Stats[stat]));
    }
    if (gameState.hasFog) {
        putByte(w, 41);
        putBytes(w, gameState.fog, sizeof gameState.fog);
        putShort(w, 0);
    }
    if (gameState.hasSkyBox) {
        putByte(w, 37);
        putString(w, gameState.skyBox);
    }
    writeClientData(w);
    putByte(w, 5);
    putShort(w, gameState.viewEntity);
    putByte(w, 25);
    putByte(w, 3);
    setRecordLength(record, w.overflow ? 0 : uint32_t(w.at - start));
    return !w.overflow;
}

int serverAngleBytes(const ProtocolInForce& p) {
    uint32_t flags = flagsOf(p.protocol, p.flags);
    if (flags & FlagFloatAngle) return 4;
    return flags & FlagShortAngle ? 2 : 1;
}

int serverAngleBytes() { return serverAngleBytes({model().protocol, model().protocolFlags, model().protocolKnown}); }

MoveLayout moveLayout(const ProtocolInForce& p) {
    int angle = 1;
    if (p.protocol == ProtocolFitzQuake) angle = 2;
    if (p.protocol == ProtocolRMQ) angle = (p.flags & FlagFloatAngle) ? 4 : 2;
    // code, time float, 3 angles, 3 shorts, buttons, impulse
    int length = 1 + 4 + 3 * angle + 6 + 2;
    return {length, angle, length - 2, length - 1};
}

MoveLayout moveLayout() { return moveLayout(playedProtocol()); }

bool holdsDisconnect(const uint8_t* message, int length, const ProtocolInForce& p) {
    lookBy(p);
    Walk w{{message, message + (length > 0 ? length : 0), false}, 0, false};
    bool found = false;
    while (!w.stopped && w.c.at < w.c.end) {
        uint8_t code = readByte(w.c);
        if (code == 0) break;
        if (code == 2) {
            found = true;
            break;
        }
        if (!p.known && code != 1 && code != 8 && code != 9) break;
        scanOne(w, code);
    }
    writeTarget = &gameState;
    return found;
}
