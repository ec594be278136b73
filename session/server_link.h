// The server connection: the name lookup, the connect request with its resends, the server's
// accept or reject, and the server's silence.
#pragma once

#include <cstdint>

#include "net/slots.h"
#include "platform/platform.h"

// Game clients resend their connect request every 2.5 s; the proxy does the same, three sends in
// all, and gives up 2.5 s after the last.
constexpr int ConnectSends = 3;
constexpr uint32_t ConnectResendMs = 2500;
constexpr uint32_t LookupLimitMs = 10 * 1000;
// A lookup is polled at least this often, so a finished one is taken up promptly.
constexpr int LookupPollMs = 50;
constexpr uint32_t ServerSilenceSeconds = 60;
constexpr int ServerNameSize = 256;  // a server name as typed (a command holds at most 255 characters)

// The server connection's timings: the attempt under way, the name lookup before it, the silence.
// Times in ms are of the loop's millisecond clock (loop.nowMs), compared wrap-safe.
struct ServerLink {
    int sends = 0;                       // connect requests sent in the attempt under way; 0: none
    uint32_t nextMs = 0;                 // when the next one is due, or the attempt ends after the last
    char typed[ServerNameSize] = {};     // the server as the host typed it
    int lookup = -1;                     // handle of the pending name lookup, -1: none
    uint32_t lookupStartMs = 0;
    int lookupPort = 0;
    char lookupName[ServerNameSize] = {};
    uint32_t lastHeardSeconds = 0;       // the connected server's last datagram
};
extern ServerLink serverLink;

void resetConnections();

void handleServerControl(int length);
// Opens the server socket and sends the connect request to settings.serverAddress:serverPort;
// `typed` is the server as the host named it (for "No response from %s.").
// False, with the host and the console told, when no socket could be had.
bool startServerConnection(const char* typed = nullptr);
// The connect command once the server's address is known: leaves any old server and starts.
bool connectToServer(uint32_t ip, int port, const char* typed);
// Starts the name lookup of `name` off the loop's thread, replacing one pending. False when no
// lookup can start; true with the host told of failure when it failed at once.
bool lookUpServer(const char* name, int port);
// Any pending lookup is given up (disconnect, the host gone).
void cancelLookup();
// The connect timers, run on every pass: resends, giving up, lookups, the server's silence.
void runServerLinkTimers();
// Milliseconds until runServerLinkTimers has something due, -1 when nothing is.
int serverLinkWaitMs();
// The 9-byte unreliable clc_disconnect with sequence 0x7FFFFFFF: leaving a server on our own.
void sendLeaveDatagram();
