// Game messages of the tree benchmark, protocol 15: what the fake server sends (a level's signon,
// the game's datagrams, numbered prints) and the walk a client makes through what reaches it.
#include <stdio.h>
#include <string.h>

#include "bench/tree.h"

namespace {

constexpr uint8_t SvcTime = 7, SvcPrint = 8, SvcServerInfo = 11, SvcLightStyle = 12, SvcUpdateName = 13,
                  SvcUpdateFrags = 14, SvcClientData = 15, SvcUpdateColors = 17, SvcSpawnStatic = 20,
                  SvcSpawnBaseline = 22, SvcSignonNum = 25, SvcCdTrack = 32, SvcUpdateStat = 3, SvcSetView = 5,
                  SvcSetAngle = 10;
constexpr int MaxMessage = 8000;
constexpr int BaselineEntities = 64;
// Where entity 1's origin, which carries the datagram's index and level, sits in the payload:
// after svc_time (5 bytes), svc_clientdata (15) and the update's code and entity bytes.
constexpr int IndexAt = 5 + 15 + 2;
constexpr int GamePayload = GameDatagramSize - HeaderSize;

void putByte(Message& m, int value) { m.push_back(static_cast<uint8_t>(value)); }
void putShort(Message& m, int value) {
    putByte(m, value & 0xFF);
    putByte(m, (value >> 8) & 0xFF);
}
void putLong(Message& m, uint32_t value) {
    putShort(m, static_cast<int>(value & 0xFFFF));
    putShort(m, static_cast<int>(value >> 16));
}
void putFloat(Message& m, float value) {
    uint32_t bits;
    memcpy(&bits, &value, 4);
    putLong(m, bits);
}
void putString(Message& m, const char* text) { m.insert(m.end(), text, text + strlen(text) + 1); }

// Items, health, ammo and weapon: a player standing still.
void putClientData(Message& m) {
    putByte(m, SvcClientData);
    putShort(m, 0);
    putLong(m, 1);
    putShort(m, 100);
    for (int value : {25, 25, 0, 0, 0, 1}) putByte(m, value);
}

// An entity update with the three origin coordinates (U_ORIGIN1..3).
void putUpdate(Message& m, int entity, int x, int y, int z) {
    putByte(m, 0x8E);
    putByte(m, entity);
    putShort(m, x);
    putShort(m, y);
    putShort(m, z);
}

void putEntityState(Message& m, int model, int seed) {
    putByte(m, model);
    putByte(m, 0);  // frame, colormap, skin
    putByte(m, 0);
    putByte(m, 0);
    for (int axis = 0; axis < 3; axis++) {
        putShort(m, (seed * 37 + axis * 11) & 0x3FFF);
        putByte(m, (seed + axis) & 0xFF);
    }
}

float gameTime(uint32_t index, int rate) { return 1.0f + static_cast<float>(index) / static_cast<float>(rate); }

void buildGamePayload(Message& m, uint32_t index, int level, int rate) {
    putByte(m, SvcTime);
    putFloat(m, gameTime(index, rate));
    putClientData(m);
    putUpdate(m, 1, static_cast<int>(index & 0x7FFF), static_cast<int>((index >> 15) & 0x7FFF), level);
    for (int entity = 2; static_cast<int>(m.size()) + 8 <= GamePayload; entity++)
        putUpdate(m, entity, static_cast<int>((index * 3 + entity) & 0x3FFF), entity * 16, 24);
}

}  // namespace

Message textMessage(uint8_t code, const char* text) {
    Message m;
    putByte(m, code);
    putString(m, text);
    return m;
}

Message serverInfoMessage(int level) {
    char name[32], map[32];
    snprintf(name, sizeof name, "Bench level %d", level);
    snprintf(map, sizeof map, "maps/bench%d.bsp", level);
    Message m = textMessage(SvcPrint, "Bench server\n");
    putByte(m, SvcServerInfo);
    putLong(m, 15);
    putByte(m, 16);  // maxclients
    putByte(m, 1);   // deathmatch
    putString(m, name);
    const char* models[] = {map, "progs/player.mdl", "progs/flame.mdl", ""};
    for (const char* model : models) putString(m, model);
    for (const char* sound : {"misc/null.wav", "weapons/r_exp3.wav", ""}) putString(m, sound);
    putByte(m, SvcCdTrack);
    putShort(m, 0x0202);
    putByte(m, SvcSetView);
    putShort(m, 1);
    putByte(m, SvcSignonNum);
    putByte(m, 1);
    return m;
}

std::vector<Message> stage2Messages(int totalBytes) {
    std::vector<Message> messages(1);
    for (int made = 0, item = 1; made < totalBytes; item++) {
        Message piece;
        if (item <= BaselineEntities) {
            putByte(piece, SvcSpawnBaseline);
            putShort(piece, item);
            putEntityState(piece, 2, item);
        } else {
            putByte(piece, SvcSpawnStatic);
            putEntityState(piece, 3, item);
        }
        if (messages.back().size() + piece.size() + 2 > MaxMessage) messages.emplace_back();
        messages.back().insert(messages.back().end(), piece.begin(), piece.end());
        made += static_cast<int>(piece.size());
    }
    putByte(messages.back(), SvcSignonNum);
    putByte(messages.back(), 2);
    return messages;
}

Message stage3Message(float time) {
    Message m;
    putByte(m, SvcTime);
    putFloat(m, time);
    putByte(m, SvcUpdateName);
    putByte(m, 0);
    putString(m, "bench host");
    putByte(m, SvcUpdateFrags);
    putByte(m, 0);
    putShort(m, 0);
    putByte(m, SvcUpdateColors);
    putByte(m, 0);
    putByte(m, 0);
    for (int style = 0; style < 4; style++) {
        putByte(m, SvcLightStyle);
        putByte(m, style);
        putString(m, style == 1 ? "mmnmmommommnonmmonqnmmo" : "m");
    }
    for (int stat = 11; stat <= 14; stat++) {
        putByte(m, SvcUpdateStat);
        putByte(m, stat);
        putLong(m, 0);
    }
    putByte(m, SvcSetAngle);
    for (int axis = 0; axis < 3; axis++) putByte(m, 0);
    putClientData(m);
    putByte(m, SvcSignonNum);
    putByte(m, 3);
    return m;
}

// "bench N:" and a body whose length and letters follow from N, so a torn or mixed print shows.
// One fragment at most, as game prints are: after an intermission the first longer message ends
// the observers' live datagrams until the next level.
Message printMessage(uint32_t number) {
    char head[24];
    int used = snprintf(head, sizeof head, "bench %u:", number);
    Message m;
    putByte(m, SvcPrint);
    m.insert(m.end(), head, head + used);
    int bodyLength = 10 + static_cast<int>(number * 389 % 900);
    for (int i = 0; i < bodyLength; i++) putByte(m, 'a' + static_cast<int>((number + static_cast<uint32_t>(i)) % 26));
    putString(m, "\n");
    return m;
}

bool isBenchPrint(const char* text) { return strncmp(text, "bench ", 6) == 0; }

bool readBenchPrint(const char* text, int length, uint32_t* number) {
    const char* colon = static_cast<const char*>(memchr(text, ':', static_cast<size_t>(length)));
    if (colon == nullptr || sscanf(text, "bench %u:", number) != 1) return false;
    Message expected = printMessage(*number);  // code byte, text, zero
    return length == static_cast<int>(expected.size()) - 2 && memcmp(text, expected.data() + 1, size_t(length)) == 0;
}

void buildGameDatagram(uint8_t* datagram, uint32_t index, int level, int rate, uint32_t sequence) {
    static Message Payload;
    Payload.clear();
    buildGamePayload(Payload, index, level, rate);
    putHeader(datagram, FlagUnreliable, GameDatagramSize, sequence);
    memcpy(datagram + HeaderSize, Payload.data(), GamePayload);
}

bool readGameDatagram(const uint8_t* datagram, int length, int rate, uint32_t* index, int* level, bool* damaged) {
    const uint8_t* p = datagram + HeaderSize;
    if (length < GameDatagramSize || p[0] != SvcTime || p[5] != SvcClientData || p[IndexAt - 2] != 0x8E ||
        p[IndexAt - 1] != 1)
        return false;
    *index = static_cast<uint32_t>(p[IndexAt] | p[IndexAt + 1] << 8) |
             static_cast<uint32_t>(p[IndexAt + 2] | p[IndexAt + 3] << 8) << 15;
    *level = p[IndexAt + 4] | p[IndexAt + 5] << 8;
    static Message Expected;
    Expected.clear();
    buildGamePayload(Expected, *index, *level, rate);
    *damaged = memcmp(p, Expected.data(), GamePayload) != 0;
    return true;
}
