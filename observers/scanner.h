// The server message scanner: walks each complete reliable message of the server, reports the
// signon stage it completes, and keeps the GameState from which a state block is rebuilt.
#pragma once

#include <cstdint>

constexpr int MaxScoreboard = 16;
constexpr int MaxLightStyles = 64;
constexpr int MaxStats = 32;
constexpr int MapNameSize = 16;
constexpr int ScoreNameSize = 64;   // longer names are cut to 63 characters
constexpr int LightStyleSize = 128; // longer patterns are cut to 127 characters
constexpr int SkyNameSize = 64;     // the engines' path length; a longer name is not kept

enum GameProtocol : int32_t {
    ProtocolNetQuake = 15,
    ProtocolFitzQuake = 666,
    ProtocolRMQ = 999,
};

struct ScoreEntry {
    uint16_t frags = 0;
    uint8_t colors = 0;
    bool hasName = false;
    char name[ScoreNameSize] = {};
};

struct GameState {
    int32_t protocol = ProtocolNetQuake;  // from the last svc_serverinfo
    uint32_t protocolFlags = 0;           // 999 only
    bool protocolKnown = true;            // false: relay only, no observers, no recording
    uint32_t serverInfoCount = 0;         // svc_serverinfo messages walked: each one begins a level
    int maxClients = 0;
    char mapName[MapNameSize] = {};
    ScoreEntry Scoreboard[MaxScoreboard];
    bool hasLightStyle[MaxLightStyles] = {};
    char LightStyles[MaxLightStyles][LightStyleSize] = {};
    int32_t Stats[MaxStats] = {};
    uint16_t viewEntity = 0;
    int8_t viewHeight = 0;
    int8_t idealPitch = 0;
    int8_t punch[3] = {};
    int8_t velocity[3] = {};
    // Under 666/999 the stats of weapon model, armor, ammo, shells, nails, rockets, cells and weapon
    // frame hold low byte | high byte << 8, so the clientdata writer takes the high bytes from them.
    uint8_t weaponAlpha = 0;  // 666/999; 0 = default
    // Fog and sky box that game code sent in this level (a new level starts from its worldspawn).
    bool hasFog = false;
    uint8_t fog[4] = {};  // density, red, green, blue
    bool hasSkyBox = false;
    char skyBox[SkyNameSize] = {};
};

extern GameState gameState;

void resetGameState();

// Signon code: 0 nothing, 1-3 the last svc_signonnum stage, -1 an intermission/finale/sellscreen
// while still 0; other stage numbers as they came. The walk never reads past message + length (a
// zero byte behind the message is not needed) and stops early at anything it cannot follow.
int scanServerMessage(const uint8_t* message, int length);

// The largest state block the GameState can give: every player with a 63-character name, every
// style with a 127-character pattern, the longest 666/999 clientdata.
constexpr int MaxStateBlockSize = MaxScoreboard * (10 + ScoreNameSize - 1) +
                                  MaxLightStyles * (3 + LightStyleSize - 1) + 4 * 6 + 37 + 3 + 2 + 7 +
                                  1 + SkyNameSize;

// The protocol a side of the proxy reads by: the relays the live game's, the observer side the
// GameState's (the game it plays, later than the live one under a delay).
struct ProtocolInForce {
    int32_t protocol = ProtocolNetQuake;
    uint32_t flags = 0;
    bool known = true;
};
ProtocolInForce playedProtocol();
// What a complete message leaves in force after `p`: a walk that changes nothing else.
void followProtocol(const uint8_t* message, int length, ProtocolInForce& p);

// Is the complete reliable message the server's order to reload for a new level?
bool isReconnectOrder(const uint8_t* message, int length);
// Does the message hold svc_disconnect at a message boundary, read by `p`? A walk that changes
// nothing: servers end a connection with svc_disconnect behind a print, or alone in unreliable datagrams.
bool holdsDisconnect(const uint8_t* message, int length, const ProtocolInForce& p);

// Writes the state block into the record (length, angles untouched, message). Returns false, and
// sets the length to 0, when it would exceed `capacity` message bytes or the protocol is unknown.
bool buildStateBlock(uint8_t* record, int capacity);

// Where the host's clc_move keeps its fields under the protocol in force (payload offsets).
struct MoveLayout {
    int length;        // with the code byte: 16, 19 or 25
    int angleBytes;    // per angle: 1, 2 or 4
    int buttonsOffset; // 14, 17 or 23
    int impulseOffset; // 15, 18 or 24
};
MoveLayout moveLayout(const ProtocolInForce& p);
MoveLayout moveLayout();  // the GameState's
// The svc_setangle angle size in server messages under the protocol in force (1, 2 or 4).
int serverAngleBytes(const ProtocolInForce& p);
int serverAngleBytes();  // the GameState's
