// The end of slots and connections, and the silence time-outs with their keep-alive.
#pragma once

#include <cstdint>

constexpr uint32_t ClientSilenceSeconds = 120;
constexpr uint32_t HostSilenceWhileConnectedSeconds = 500;
// A client that has sent nothing since its accept this long is released: it was never there.
constexpr uint32_t UnheardClientSeconds = 10;
// Keep-alives go to a slot silent this long, and again each time as long passes.
constexpr uint32_t KeepAliveSeconds = 10;
// A client not heard since its accept is asked this often, so a real one answers in time.
constexpr uint32_t UnheardKeepAliveMs = 3000;

void removeSlot(int slot);
// Acts on the ends the observer side reported (observers timed out, the host a table behind).
void settleEnds();
void kickObserver(int slot);
void closeClientConnection();
void disconnectServer();
// "ping" to a client slot: its game client answers, which tells the proxy it is there.
void sendKeepAlive(int slot);
// Every pass: keep-alives to each client slot on its own silence.
void sendDueKeepAlives();
// Every pass: the client, observer and host silence rules.
void checkSilence(uint32_t nowSeconds);
// Milliseconds until a silence limit passes (whole seconds, at least one), -1 when none can.
int silenceWaitMs();
// Busy pass: an observer silent for more than 120 s is announced and removed. True if removed.
bool dropSilentObserver(int slot, uint32_t nowSeconds);
// The observer slot `slot` is gone without a farewell: told, announced, removed.
void timeOutObserver(int slot);
