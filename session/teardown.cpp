// The end of slots and connections, and the silence rules of idle and busy passes.
#include "session/teardown.h"

#include <climits>
#include <cstring>

#include "core/clock.h"
#include "core/print.h"
#include "core/settings.h"
#include "demo/recorder.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/capture.h"
#include "observers/delay.h"
#include "observers/feed.h"
#include "observers/prints.h"
#include "session/admission.h"
#include "session/server_link.h"

void removeSlot(int i) {
    Slot& slot = slotTable.slot[i];
    if (slot.state == SlotFree) return;
    // The client toggles its console and ends the connection.
    static const uint8_t farewell[18] = {9, 't', 'o', 'g', 'g', 'l', 'e', 'c', 'o', 'n', 's', 'o', 'l', 'e', '\n', 0, 2, 0};
    sendRawToSlot(farewell, sizeof farewell, i);
    platform::Socket socket = slot.socket;
    slot.socket = platform::NoSocket;
    slot.state = SlotFree;
    releaseSlotSocket(socket);
    if (i > HostSlot) --slotTable.observerCount;
    forgetSlotInStore(i);
    endRequests.observers &= ~(1u << i);  // a later client in this slot owes nothing
}

void settleEnds() {
    for (int i = FirstObserverSlot; i < SlotCount && endRequests.observers != 0; ++i)
        if (endRequested(i)) removeSlot(i);
    if (!endRequests.host) return;
    endRequests.host = false;
    closeClientConnection();
}

void kickObserver(int i) {
    Slot& slot = slotTable.slot[i];
    if (slot.state == SlotFree) return;
    static const uint8_t kicked[23] = {8, 2, 'K', 'i', 'c', 'k', 'e', 'd', ' ', 'b', 'y', ' ', 'c',
                                       'o', 'n', 's', 'o', 'l', 'e', '.', '\n', 0, 2};
    sendRawToSlot(kicked, sizeof kicked, i);
    appendObserverPrint("Observer %s got the boot.\n", slot.playerName);
    consolePrintf("Observer %s got the boot.\n", slot.playerName);
    removeSlot(i);
}

void disconnectServer() {
    // The game is over for the observer side too: what the delay line holds goes first.
    playDelayLineThrough();
    settleEnds();
    uint8_t banner[1024];
    int bannerLength = formatObserverBanner(banner, sizeof banner);
    static const char reconnect[] = "\treconnect\ntoggleconsole\ntoggleconsole\n";
    static_assert(sizeof reconnect == 40, "the reconnect order is 40 bytes with its zero");
    // Catch-ups end as at a level change. A client inside a catch-up message holds its start and
    // must take the rest first: its reconnect order comes ahead of the next catch-up instead, so
    // nothing of the old level reaches it after the order.
    resetClientStates();
    for (int i = HostSlot; i <= settings.slotLimit; ++i) {
        const Slot& slot = slotTable.slot[i];
        if (slot.state == SlotFree) continue;
        if (slot.catchUpMessage == NoCatchUpMessage || i == HostSlot)
            sendRawToSlot(reinterpret_cast<const uint8_t*>(reconnect), sizeof reconnect, i);
        if (i != HostSlot && slotTable.serverConnected) sendRawToSlot(banner, bannerLength, i);
    }
    if (recording()) stopRecording();
    if (slotTable.serverConnected) {
        static const char text[] = SKOPOS_BAR "\n" SKOPOS_VISIT "say proxy: help for list of commands\n" SKOPOS_BAR "\n";
        printToHost(text, sizeof text);
    }
    slotTable.serverConnected = false;
    if (slotTable.serverSocket != platform::NoSocket) {
        platform::closeSocket(slotTable.serverSocket);
        slotTable.serverSocket = platform::NoSocket;
    }
    serverLink.sends = 0;
    capture.longMessageSeen = false;
    capture.gatheringStage2 = false;
}

void closeClientConnection() {
    int n = settings.slotLimit;
    disconnectServer();
    static const char hostGone[] = "Your host disconnected.\n";
    static const char closed[] = "Proxy connection closed.\n";
    for (int i = n; i >= HostSlot; --i) {
        if (!slotInUse(i)) continue;
        if (i > HostSlot) printToSlot(hostGone, sizeof hostGone, i);
        printToSlot(closed, sizeof closed, i);
        removeSlot(i);
    }
    cancelLookup();
    resetStreamNumbering();
    hostSlot().seqOffset = 0;
    hostSlot().unreliableSeq = 0;
    numbering = Numbering();
    slotTable.hostConnected = false;
    slotTable.observerCount = 0;
    consolePrintf("Client connection closed.\n");
    consolePrintf("Waiting for client...\n");
}

static bool silentFor(const Slot& slot, uint32_t nowSeconds, uint32_t limit) {
    return nowSeconds - slot.lastHeardTime > limit;
}

void sendKeepAlive(int i) {
    static const uint8_t ping[7] = {9, 'p', 'i', 'n', 'g', '\n', 0};
    Slot& slot = slotTable.slot[i];
    sendRawToSlot(ping, sizeof ping, i);
    slot.keepAliveMs = loop.nowMs;
    slot.keepAliveUnanswered = true;
}

// Milliseconds until slot i is due a keep-alive (0: now).
static int32_t keepAliveDueMs(const Slot& slot) {
    int32_t sinceLast = int32_t(loop.nowMs - slot.keepAliveMs);
    if (!slot.heard) return int32_t(UnheardKeepAliveMs) - sinceLast;
    int32_t untilSilent = int32_t(slot.lastHeardTime + KeepAliveSeconds - loop.nowSeconds) * 1000;
    int32_t untilNext = int32_t(KeepAliveSeconds * 1000) - sinceLast;
    return untilSilent > untilNext ? untilSilent : untilNext;
}

void sendDueKeepAlives() {
    for (int i = HostSlot; i <= settings.slotLimit; ++i)
        if (slotInUse(i) && keepAliveDueMs(slotTable.slot[i]) <= 0) sendKeepAlive(i);
}

// The earliest-admitted observer that has spoken and may host, or 0.
static int firstHeardObserver() {
    int found = 0;
    for (int i = FirstObserverSlot; i <= settings.slotLimit; ++i) {
        const Slot& slot = slotTable.slot[i];
        if (!slotInUse(i) || !slot.heard || !mayHost(i)) continue;
        if (found == 0 || int32_t(slot.admittedTime - slotTable.slot[found].admittedTime) < 0) found = i;
    }
    return found;
}

// A host that never answered its accept held nothing: the first real observer takes its place (no
// server was ever connected for it), or the connection closes.
static void releaseUnheardHost() {
    int next = firstHeardObserver();
    if (next == 0) return closeClientConnection();
    removeSlot(HostSlot);
    moveObserverToHost(next);
    static const char text[] = "You are the host now.\n";
    printToHost(text, sizeof text);
}

static void releaseUnheardClients(uint32_t nowSeconds) {
    for (int i = HostSlot; i <= settings.slotLimit; ++i) {
        const Slot& slot = slotTable.slot[i];
        if (!slotInUse(i) || slot.heard || nowSeconds - slot.admittedTime <= UnheardClientSeconds) continue;
        if (i == HostSlot)
            releaseUnheardHost();
        else
            timeOutObserver(i);
    }
}

void checkSilence(uint32_t nowSeconds) {
    releaseUnheardClients(nowSeconds);
    for (int i = FirstObserverSlot; i <= settings.slotLimit; ++i)
        if (slotInUse(i)) dropSilentObserver(i, nowSeconds);
    if (!slotTable.hostConnected) return;
    if (slotInUse(HostSlot) && silentFor(hostSlot(), nowSeconds, ClientSilenceSeconds)) {
        if (!slotTable.serverConnected) return closeClientConnection();
        removeSlot(HostSlot);
    }
    // A host removed for its silence is held only by a server connection, for the longer limit.
    bool longSilent = silentFor(hostSlot(), nowSeconds, HostSilenceWhileConnectedSeconds);
    if (slotTable.serverConnected ? longSilent : !slotInUse(HostSlot)) closeClientConnection();
}

int silenceWaitMs() {
    int32_t due = INT32_MAX;
    for (int i = HostSlot; i <= settings.slotLimit; ++i) {
        const Slot& slot = slotTable.slot[i];
        uint32_t limit = slot.heard ? ClientSilenceSeconds : UnheardClientSeconds;
        if (slotInUse(i)) {
            int32_t ping = keepAliveDueMs(slot) / 1000;
            if (ping < due) due = ping > 0 ? ping : 0;
        } else {
            // A host removed while connected still holds the connection until its longer limit.
            if (i != HostSlot || !slotTable.serverConnected) continue;
            limit = HostSilenceWhileConnectedSeconds;
        }
        uint32_t since = slot.heard || !slotInUse(i) ? slot.lastHeardTime : slot.admittedTime;
        int32_t left = int32_t(since + limit + 1 - loop.nowSeconds);
        if (left < due) due = left;
    }
    if (due == INT32_MAX) return -1;
    return due > 1 ? (due > 3600 ? 3600 : due) * 1000 : 1000;
}

void timeOutObserver(int i) {
    if (!slotInUse(i)) return;
    sayTimedOut(i);
    removeSlot(i);
}

bool dropSilentObserver(int i, uint32_t nowSeconds) {
    if (i < FirstObserverSlot || !silentFor(slotTable.slot[i], nowSeconds, ClientSilenceSeconds)) return false;
    timeOutObserver(i);
    return true;
}
