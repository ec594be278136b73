// A protocol-15 client's walk through a server message: every message a proxy passes on or builds
// must be one a game client can follow to its end.
#include <string.h>

#include "bench/tree.h"

namespace {

struct Cursor {
    const uint8_t* at;
    const uint8_t* end;
    bool bad;
};

int take(Cursor& c) {
    if (c.at >= c.end) {
        c.bad = true;
        return 0;
    }
    return *c.at++;
}

void skip(Cursor& c, int count) {
    if (c.end - c.at < count) c.bad = true;
    c.at = c.bad ? c.end : c.at + count;
}

int takeShort(Cursor& c) {
    int low = take(c);
    return low | take(c) << 8;
}

// The string's text and length; the cursor moves past its zero.
const char* takeString(Cursor& c, int* length) {
    const char* text = reinterpret_cast<const char*>(c.at);
    const void* zero = memchr(c.at, 0, static_cast<size_t>(c.end - c.at));
    if (zero == nullptr) {
        c.bad = true;
        *length = 0;
        return "";
    }
    *length = static_cast<int>(static_cast<const uint8_t*>(zero) - c.at);
    c.at += *length + 1;
    return text;
}

void skipString(Cursor& c) {
    int length;
    takeString(c, &length);
}

void skipUpdate(Cursor& c, int code) {
    int bits = code & 0x7F;
    if (bits & 1) bits |= take(c) << 8;
    if (bits & (1 << 15)) c.bad = true;  // extended bits are not protocol 15's
    skip(c, bits & (1 << 14) ? 2 : 1);
    for (int bit : {10, 6, 11, 12, 13}) skip(c, (bits >> bit) & 1);
    const int origins[3][2] = {{1, 8}, {2, 4}, {3, 9}};
    for (const auto& pair : origins) skip(c, ((bits >> pair[0]) & 1) * 2 + ((bits >> pair[1]) & 1));
}

void skipClientData(Cursor& c) {
    int bits = takeShort(c);
    if (bits & (1 << 15)) c.bad = true;
    for (int bit : {0, 1, 2, 3, 4, 5, 6, 7}) skip(c, (bits >> bit) & 1);
    skip(c, 4);  // items
    for (int bit : {12, 13, 14}) skip(c, (bits >> bit) & 1);
    skip(c, 2 + 6);  // health, ammo, weapon
}

void skipSound(Cursor& c) {
    int mask = take(c);
    skip(c, (mask & 1) + ((mask >> 1) & 1) + 2 + 1 + 6);
}

void skipTempEntity(Cursor& c) {
    int type = take(c);
    if (type == 5 || type == 6 || type == 9 || type == 13) return skip(c, 2 + 12);
    if (type == 12) return skip(c, 6 + 2);
    if (type <= 11) return skip(c, 6);
    c.bad = true;
}

void skipServerInfo(Cursor& c) {
    if (take(c) != 15 || take(c) != 0 || take(c) != 0 || take(c) != 0) c.bad = true;
    skip(c, 2);
    skipString(c);
    for (int list = 0; list < 2 && !c.bad; list++) {
        int length = 1;
        while (!c.bad && length != 0) takeString(c, &length);
    }
}

// The bytes behind a code, for the messages the client only steps over.
int fixedSize(int code) {
    switch (code) {
    case 1: case 2: case 27: case 28: case 30: case 33: return 0;
    case 3: return 5;
    case 4: return 4;
    case 5: case 16: case 17: case 32: return 2;
    case 7: return 4;
    case 10: return 3;
    case 14: return 3;
    case 18: return 6 + 3 + 2;
    case 19: return 2 + 6;
    case 20: return 4 + 9;
    case 22: return 2 + 4 + 9;
    case 24: case 25: return 1;
    case 29: return 6 + 3;
    }
    return -1;
}

void walkOne(Client& client, Cursor& c, int code) {
    int length = 0;
    switch (code) {
    case 6: return skipSound(c);
    case 8: case 9: case 26: case 31: case 34: {
        const char* text = takeString(c, &length);
        if (!c.bad) clientHears(client, static_cast<uint8_t>(code), 0, text, length);
        return;
    }
    case 11:
        skipServerInfo(c);
        if (!c.bad) clientHears(client, 11, 0, nullptr, 0);
        return;
    case 12: case 13:
        skip(c, 1);
        return skipString(c);
    case 15: return skipClientData(c);
    case 23: return skipTempEntity(c);
    case 25: {
        int stage = take(c);
        if (!c.bad) clientHears(client, 25, stage, nullptr, 0);
        return;
    }
    }
    int size = fixedSize(code);
    if (size < 0) c.bad = true;
    skip(c, size < 0 ? 0 : size);
    if (!c.bad && (code == 2 || code == 30)) clientHears(client, static_cast<uint8_t>(code), 0, nullptr, 0);
}

}  // namespace

bool walkMessage(Client& client, const uint8_t* message, int length) {
    Cursor c{message, message + length, false};
    while (!c.bad && c.at < c.end) {
        int code = take(c);
        if (code & 0x80)
            skipUpdate(c, code);
        else
            walkOne(client, c, code);
    }
    return !c.bad;
}
