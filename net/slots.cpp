// The slot table, its reset, and the address texts shown to operators and players.
#include "net/slots.h"

#include <cstdio>
#include <cstring>

#include "core/settings.h"

SlotTable slotTable;
ConnectionAddresses addresses;

void resetSlotTable() {
    slotTable = SlotTable();
    addresses = ConnectionAddresses();
}

void resetClientStates() {
    for (int i = HostSlot; i <= settings.slotLimit; ++i) {
        Slot& slot = slotTable.slot[i];
        if (slot.state == SlotFree) continue;
        if (i >= FirstObserverSlot && slot.state < SlotInGame) {
            // Its records are of the level left behind: the catch-up starts over once the new level
            // is captured, after the message in flight, whose start the client already holds.
            slot.catchUpTaken = NoCatchUpMessage;
            if (slot.catchUpMessage != NoCatchUpMessage) slot.catchUpMessage = EndedRecord;
        }
        slot.state = (slot.state & 4) | 1;
    }
}

int slotOfDatagram(platform::Socket socket, const platform::NetAddress& from) {
    for (int i = HostSlot; i <= settings.slotLimit && i < SlotCount; ++i) {
        const Slot& slot = slotTable.slot[i];
        if (slot.state != SlotFree && slot.socket == socket && slot.peerAddress == from) return i;
    }
    return 0;
}

bool slotSocketInUse(platform::Socket socket) {
    for (int i = 0; i < SlotCount; ++i)
        if (slotInUse(i) && slotTable.slot[i].socket == socket) return true;
    return false;
}

void releaseSlotSocket(platform::Socket socket) {
    bool observers = false;
    for (int i = FirstObserverSlot; i < SlotCount; ++i) observers = observers || slotInUse(i);
    if (!observers) slotTable.observerSocket = platform::NoSocket;
    if (!slotSocketInUse(socket)) platform::closeSocket(socket);
}

void setPlayerName(Slot& slot, const char* name) {
    snprintf(slot.playerName, sizeof slot.playerName, "%.*s", MaxPlayerName, name);
}

void formatDottedQuad(uint32_t ip, char* store) {
    snprintf(store, 16, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
}

// Four decimal parts of at most 255, separated by dots, nothing else; anything other reads as
// 255.255.255.255, which the bind then refuses.
uint32_t parseDottedQuad(const char* text) {
    uint32_t ip = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (*p < '0' || *p > '9') return 0xFFFFFFFF;
        uint32_t value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + uint32_t(*p++ - '0');
            ++digits;
        }
        if (value > 255 || (*p >= '0' && *p <= '9')) return 0xFFFFFFFF;
        ip = ip << 8 | value;
        if (part < 3 && *p++ != '.') return 0xFFFFFFFF;
    }
    return *p == 0 ? ip : 0xFFFFFFFF;
}
