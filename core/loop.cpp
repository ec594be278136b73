// The event loop: one wait over all sockets, then the datagrams waiting on each ready socket (the
// listening port, the host's, the observers' shared one, the server's last), each handled to its
// end before the next; or the idle rules when nothing came.
#include "core/loop.h"

#include <cstring>

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

// The sockets one wait covers: slot 0's, each client socket once (by the lowest slot on it, so
// the host's comes before the observers' shared one), the server's last.
struct WaitSet {
    platform::Socket socket[platform::MaxWaitSockets];
    bool ready[platform::MaxWaitSockets];
    int count;
    int serverIndex;  // -1: no server socket in the set
};

void addToWaitSet(WaitSet& set, platform::Socket socket) {
    for (int n = 0; n < set.count; ++n)
        if (set.socket[n] == socket) return;
    if (set.count < platform::MaxWaitSockets) set.socket[set.count++] = socket;
}

void buildWaitSet(WaitSet& set) {
    set.count = 0;
    set.serverIndex = -1;
    for (int i = 0; i <= settings.slotLimit; ++i)
        if (slotInUse(i)) addToWaitSet(set, slotTable.slot[i].socket);
    if (slotTable.serverSocket != platform::NoSocket && set.count < platform::MaxWaitSockets) {
        set.serverIndex = set.count;
        set.socket[set.count++] = slotTable.serverSocket;
    }
}

// Bursts are read in one call where the system allows: the first datagram straight into the
// PacketBuffer, the others into buffers of their own, each then moved into the PacketBuffer and
// handled completely before the next.
uint8_t BurstBuffers[platform::MaxBatch - 1][MaxDatagram];
platform::Received Burst[platform::MaxBatch];

int receiveBurst(platform::Socket socket) {
    Burst[0] = platform::Received{PacketBuffer, MaxDatagram, 0, {}};
    for (int n = 1; n < platform::MaxBatch; ++n) Burst[n] = platform::Received{BurstBuffers[n - 1], MaxDatagram, 0, {}};
    return platform::receiveBatch(socket, Burst, platform::MaxBatch);
}

// Datagram n of the burst in the PacketBuffer.
void takeFromBurst(int n) {
    if (n > 0) std::memcpy(PacketBuffer, Burst[n].buffer, size_t(Burst[n].length));
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

void receiveRequest() {
    Slot& listener = slotTable.slot[0];
    platform::NetAddress from;
    int length = platform::receiveFrom(listener.socket, PacketBuffer, MaxDatagram, from);
    if (length <= 0) return;
    listener.peerAddress = from;
    handleListeningPort(length);
}

// A datagram on a client socket is its slot's only when it comes from the client admitted there,
// and only in whole headers.
void dispatchClientDatagram(platform::Socket socket, const platform::NetAddress& from, int length) {
    int i = slotOfDatagram(socket, from);
    if (i == 0 || length < HeaderSize) return;
    Slot& slot = slotTable.slot[i];
    if (isDataDatagram(PacketBuffer)) {
        slot.heard = true;
        slot.keepAliveUnanswered = false;
    }
    if (i == HostSlot)
        handleHostDatagram(length);
    else if (isDataDatagram(PacketBuffer))
        handleObserverDatagram(i, length);
}

void receiveFromClients(platform::Socket socket) {
    int count = receiveBurst(socket);
    // A socket closed meanwhile (its last client gone) takes the rest of its datagrams with it.
    for (int n = 0; n < count && slotSocketInUse(socket); ++n) {
        takeFromBurst(n);
        dispatchClientDatagram(socket, Burst[n].from, Burst[n].length);
        settleEnds();
    }
}

void takeServerDatagram(const platform::NetAddress& from, int received) {
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

void receiveFromServer(platform::Socket socket) {
    int count = receiveBurst(socket);
    for (int n = 0; n < count && slotTable.serverSocket == socket; ++n) {
        takeFromBurst(n);
        takeServerDatagram(Burst[n].from, Burst[n].length);
        settleEnds();
    }
}

void dispatchReady(const WaitSet& set) {
    // slotLimit is read at every step: a command that lowers it takes effect at once.
    for (int i = FirstObserverSlot; i <= settings.slotLimit; ++i)
        if (slotInUse(i)) dropSilentObserver(i, loop.nowSeconds);
    for (int n = 0; n < set.count; ++n) {
        if (!set.ready[n]) continue;
        platform::Socket socket = set.socket[n];
        if (n == set.serverIndex) {
            if (socket == slotTable.serverSocket) receiveFromServer(socket);
        } else if (socket == slotTable.slot[0].socket) {
            receiveRequest();
        } else if (slotSocketInUse(socket)) {  // not freed during this pass
            receiveFromClients(socket);
        }
        settleEnds();
    }
}

}  // namespace

void primeBurstBuffers() {
    for (uint8_t* buffer : BurstBuffers) std::memset(buffer, 0, 1);
}

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
    static WaitSet set;
    buildWaitSet(set);
    int result = platform::waitReadable(set.socket, set.count, set.ready, waitTimeoutMs());
    if (platform::breakRequested()) return false;
    readLoopClocks();
    playDueEntries();
    settleEnds();
    // A failed wait counts as a time-out.
    if (result > 0) dispatchReady(set);
    sendDueKeepAlives();
    checkSilence(loop.nowSeconds);
    runServerLinkTimers();
    runAdmissionTimers();
    runLoginTimers();
    return true;
}
