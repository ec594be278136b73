// The proxy command set that the host client gives from inside the game.
#pragma once

#include <cstdint>

// Runs one proxy command (the chat text after "say ", addressed to the proxy) carried by the
// host datagram numbered `sequence`; sets consoleState.commandReply.
void runProxyCommand(const char* text, uint32_t sequence);
