// The end of slots and connections, and the silence time-outs with their keep-alive.
#pragma once

#include <cstdint>

constexpr uint32_t ClientSilenceSeconds = 120;
constexpr uint32_t HostSilenceWhileConnectedSeconds = 500;

void removeSlot(int slot);
void kickObserver(int slot);
void closeClientConnection();
void disconnectServer();
// Idle pass (ten seconds without a datagram): "ping" to every used client slot.
void sendKeepAlives();
// Every pass: the client, observer and host silence rules.
void checkSilence(uint32_t nowSeconds);
// Milliseconds until a silence limit passes (whole seconds, at least one), -1 when none can.
int silenceWaitMs();
// Busy pass: an observer silent for more than 120 s is announced and removed. True if removed.
bool dropSilentObserver(int slot, uint32_t nowSeconds);
// The observer slot `slot` is gone without a farewell (stored-table wrap): told, announced, removed.
void timeOutObserver(int slot);
