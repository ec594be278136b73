// The proxy command set that the host client gives from inside the game.
#pragma once

#include <cstdint>

// A command whose answer comes later (a wrong password) sets this reply: nothing is sent now.
extern const char NoReply[];

// Commands are cut into tokens in a work area of this size; longer texts are cut.
constexpr int WorkAreaSize = 256;

// Length of the prefix that addresses this proxy ("proxy:" or the -n name and a colon) at the
// start of a chat text, or 0 when the text is not addressed to the proxy.
int commandPrefixLength(const char* text);

// Runs one proxy command (the chat text after "say ", addressed to the proxy) carried by the
// host datagram numbered `sequence`; sets consoleState.commandReply (never left unset).
void runProxyCommand(const char* text, uint32_t sequence);

// Next token at `cursor`: leading separators skipped, the token ended by a zero written over the
// separator that ends it; the cursor then stands behind it. Null when only separators are left.
char* nextToken(char*& cursor, const char* separators);
