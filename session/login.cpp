// The host's password: right, the client has the host's commands (an observer takes the host's place
// from a host that has not logged in, or whose game has gone silent); wrong, it hears so a second
// later, and each address is heard once a second. The password itself is never printed, echoed or
// passed on.
#include "session/login.h"

#include <cstring>

#include "core/clock.h"
#include "core/print.h"
#include "core/settings.h"
#include "net/senders.h"
#include "net/slots.h"
#include "session/admission.h"
#include "session/gate.h"
#include "session/server_link.h"
#include "session/teardown.h"

namespace {

struct WrongReply {
    bool due = false;
    uint32_t atMs = 0;
    platform::NetAddress to;  // the client that said it, should its slot change hands meanwhile
};
WrongReply wrongReplies[SlotCount];

// Every byte compared, whatever matches: the time taken tells nothing of the password.
bool passwordMatches(const char* said) {
    const char* password = settings.password;
    size_t saidLength = strnlen(said, PasswordStoreSize);
    unsigned differences = saidLength != strlen(password) ? 1u : 0u;
    for (size_t i = 0; i < size_t(PasswordStoreSize) - 1; ++i)
        differences |= unsigned(uint8_t(i < saidLength ? said[i] : 0) ^ uint8_t(password[i]));
    return differences == 0;
}

void answerLater(int slot, const char* why) {
    const Slot& s = slotTable.slot[slot];
    wrongReplies[slot] = WrongReply{true, loop.nowMs + WrongPasswordReplyMs, s.peerAddress};
    tellRefused(Refusal::Login, s.peerAddress, why);
}

void sayTo(int slot, const char* text) { printToSlot(text, int(strlen(text)) + 1, slot); }

void takeHostPlace(int slot) {
    // A logged-in host gone silent leaves its game on the server: its place there is freed.
    if (slotTable.serverSocket != platform::NoSocket) {
        if (slotTable.serverConnected) sendLeaveDatagram();
        disconnectServer();
    }
    if (slotInUse(HostSlot)) {
        sayTo(HostSlot, "Another client logged in as the host.\n");
        removeSlot(HostSlot);
    }
    moveObserverToHost(slot);
    hostConnection.loggedIn = true;
    sayTo(HostSlot, "Logged in. You are the host now.\n");
}

}  // namespace

void resetLogin() {
    for (WrongReply& reply : wrongReplies) reply = WrongReply();
}

bool loginNeeded() { return settings.password[0] != 0; }

const char* logIn(int slot, const char* password) {
    if (!loginNeeded()) return "No password is set.\n";
    if (password == nullptr) return "Usage: login password\n";
    // Told before the password is looked at, so the answer says nothing of it.
    if (slot != HostSlot && hostConnection.loggedIn && !hostGoneSilent()) return "Your host has logged in already.\n";
    if (slot != HostSlot && !mayHost(slot)) return "Your address may not host.\n";
    if (wrongReplies[slot].due) return nullptr;  // one try at a time
    if (!mayTryLogin(slotTable.slot[slot].peerAddress.ip)) {
        answerLater(slot, "login tried again within a second");
        return nullptr;
    }
    if (!passwordMatches(password)) {
        answerLater(slot, "wrong password");
        return nullptr;
    }
    char from[16];
    formatDottedQuad(slotTable.slot[slot].peerAddress.ip, from);
    consolePrintf("%s:%d logged in.\n", from, slotTable.slot[slot].peerAddress.port);
    if (slot != HostSlot) {
        takeHostPlace(slot);
        return nullptr;
    }
    hostConnection.loggedIn = true;
    return "Logged in.\n";
}

void runLoginTimers() {
    for (int i = HostSlot; i < SlotCount; ++i) {
        WrongReply& reply = wrongReplies[i];
        if (!reply.due || int32_t(loop.nowMs - reply.atMs) < 0) continue;
        reply.due = false;
        if (slotInUse(i) && slotTable.slot[i].peerAddress == reply.to) sayTo(i, "Wrong password.\n");
    }
}

int loginWaitMs() {
    int wait = -1;
    for (const WrongReply& reply : wrongReplies) {
        if (!reply.due) continue;
        int32_t due = int32_t(reply.atMs - loop.nowMs);
        if (due < 0) due = 0;
        if (wait < 0 || due < wait) wait = due;
    }
    return wait;
}
