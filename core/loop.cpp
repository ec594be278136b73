// The event loop: one wait over all sockets, then each ready socket read once, slots in index
// order and the server last, or the idle rules when nothing came.
#include "core/loop.h"

#include "console/intercept.h"
#include "core/clock.h"
#include "core/settings.h"
#include "net/framing.h"
#include "net/limiter.h"
#include "net/slots.h"
#include "observers/delay.h"
#include "observers/feed.h"
#include "platform/platform.h"
#include "relay/relay.h"
#include "session/admission.h"
#include "session/login.h"
#include "session/server_link.h"
#include "session/teardown.h"

// The longest wait: every timer due sooner shortens it.
constexpr int IdleWaitMs = 10 * 1000;

namespace {

// What one wait covered: the socket each slot had then, and whether it became readable.
struct ReadySet {
    platform::Socket socket[SlotCount + 1];
    bool ready[SlotCount + 1];
    int serverIndex;  // -1: no server socket in the set
};

int buildReadSet(platform::Socket* list, int* owner) {
    int count = 0;
    if (slotTable.serverSocket != platform::NoSocket) {
        list[count] = slotTable.serverSocket;
        owner[count++] = -1;
    }
    for (int i = 0; i <= settings.slotLimit && count < platform::MaxWaitSockets; ++i) {
        if (!slotInUse(i)) continue;
        list[count] = slotTable.slot[i].socket;
        owner[count++] = i;
    }
    return count;
}

// The relay's first step, the walk of the string commands (proxy commands, chat, the chain), then
// the relay's second step.
void handleHostDatagram(int length) {
    switch (takeClientDatagram(length)) {
    case ClientStep::Done: return;
    case ClientStep::HostLeft: return closeClientConnection();
    case ClientStep::Relay: break;
    }
    if (isLastFragment(PacketBuffer) && length > HeaderSize) interceptStringCommands(HostSlot, &length);
    relayClientDatagram(length);
}

void handleObserverDatagram(int i, int length) {
    ObserverDatagram taken = takeObserverDatagram(i, length);
    if (!taken.taken) return;
    if (taken.left) removeSlot(i);
    int signon = taken.walkCommands ? interceptStringCommands(i, &length) : 0;
    finishObserverDatagram(i, taken, signon);
}

void receiveFromSlot(int i) {
    Slot& slot = slotTable.slot[i];
    platform::NetAddress from;
    int length = platform::receiveFrom(slot.socket, PacketBuffer, MaxDatagram, from);
    if (length <= 0) return;
    if (i == 0) {
        slot.peerAddress = from;
        handleListeningPort(length);
        return;
    }
    // Only the client admitted into this slot may speak for it, and only in whole headers.
    if (from != slot.peerAddress || length < HeaderSize) return;
    if (isDataDatagram(PacketBuffer)) {
        slot.heard = true;
        slot.keepAliveUnanswered = false;
    }
    if (i == HostSlot)
        handleHostDatagram(length);
    else if (isDataDatagram(PacketBuffer))
        handleObserverDatagram(i, length);
}

void receiveFromServer() {
    platform::NetAddress from;
    int received = platform::receiveFrom(slotTable.serverSocket, PacketBuffer, MaxDatagram, from);
    if (received <= 4) return;
    int length = lengthField(PacketBuffer);
    if (length > received) return;
    if (!slotTable.serverConnected && isControlPacket(PacketBuffer)) {
        if (from != addresses.connectTarget || length < 5) return;
        addresses.server = from;
        handleServerControl(length);
        return;
    }
    // Data only from the address and port the server's accept named.
    if (!isDataDatagram(PacketBuffer) || !slotTable.serverConnected || from != addresses.server) return;
    if (length < HeaderSize) return;
    serverLink.lastHeardSeconds = loop.nowSeconds;
    if (relayServerDatagram(length)) disconnectServer();
}

void dispatchReady(const platform::Socket* list, const int* owner, const bool* ready, int count) {
    ReadySet set = {};
    set.serverIndex = -1;
    for (int n = 0; n < count; ++n) {
        if (owner[n] < 0) {
            set.serverIndex = ready[n] ? n : -1;
            continue;
        }
        set.socket[owner[n]] = list[n];
        set.ready[owner[n]] = ready[n];
    }
    // slotLimit is read at every step: a command that lowers it takes effect at once.
    for (int i = 0; i <= settings.slotLimit; ++i) {
        if (!slotInUse(i)) continue;
        if (dropSilentObserver(i, loop.nowSeconds)) continue;
        // A slot freed and taken again during this pass has a socket the wait did not cover.
        if (set.ready[i] && set.socket[i] == slotTable.slot[i].socket) receiveFromSlot(i);
        settleEnds();
    }
    if (set.serverIndex >= 0 && list[set.serverIndex] == slotTable.serverSocket) receiveFromServer();
    settleEnds();
}

}  // namespace

void readLoopClocks() {
    loop.nowSeconds = platform::monotonicSeconds();
    loop.nowMs = timerAvailable() ? performanceMs() : loop.nowSeconds * 1000u;
}

// The wait ends by the next thing due: a keep-alive or silence limit, a connect timer or the delay
// line's next entry.
static int waitTimeoutMs() {
    int timeout = IdleWaitMs;
    const int others[] = {serverLinkWaitMs(), admissionWaitMs(), loginWaitMs(), silenceWaitMs(), msUntilNextEntry()};
    for (int other : others)
        if (other >= 0 && other < timeout) timeout = other;
    return timeout;
}

bool runLoopPass() {
    if (platform::breakRequested()) return false;
    platform::Socket list[platform::MaxWaitSockets];
    int owner[platform::MaxWaitSockets];
    bool ready[platform::MaxWaitSockets] = {};
    int count = buildReadSet(list, owner);
    int result = platform::waitReadable(list, count, ready, waitTimeoutMs());
    if (platform::breakRequested()) return false;
    readLoopClocks();
    playDueEntries();
    settleEnds();
    // A failed wait counts as a time-out.
    if (result > 0) dispatchReady(list, owner, ready, count);
    sendDueKeepAlives();
    checkSilence(loop.nowSeconds);
    runServerLinkTimers();
    runAdmissionTimers();
    runLoginTimers();
    return true;
}
