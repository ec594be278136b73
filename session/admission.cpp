// The listening port: server-information replies, and the admission of the host client and of
// observers, each moved to a socket of its own.
#include "session/admission.h"

#include <cstring>

#include "core/loop.h"
#include "core/print.h"
#include "core/settings.h"
#include "net/framing.h"
#include "net/relay.h"
#include "net/senders.h"
#include "observers/catchup.h"
#include "observers/prints.h"
#include "observers/scanner.h"
#include "observers/slots.h"
#include "observers/stream.h"
#include "session/server_link.h"
#include "session/teardown.h"

HostConnection hostConnection;

namespace {

struct ListenerState {
    bool down = false;  // the listening socket could not be made again
};
ListenerState listeningPort;

}  // namespace

void resetAdmission() {
    hostConnection = HostConnection();
    listeningPort = ListenerState();
}

static platform::NetAddress listeningAddress() {
    return platform::NetAddress{parseDottedQuad(settings.localif), uint16_t(settings.port)};
}

bool openListeningSocket() {
    Slot& listener = slotTable.slot[0];
    addresses.listening = listeningAddress();
    listener.socket = platform::openUdpSocket();
    return platform::bindSocket(listener.socket, addresses.listening);
}

// Appends a zero-terminated text at `pos`, cut so that the reply stays inside `end`.
static int putString(int pos, const char* text, int end) {
    size_t room = size_t(end - pos - 1);
    size_t n = strlen(text);
    if (n > room) n = room;
    memcpy(PacketBuffer + pos, text, n);
    PacketBuffer[pos + int(n)] = 0;
    return pos + int(n) + 1;
}

void settleServerInfoAddress() {
    // Without an address for our own host name, 0.0.0.0 still tells the port.
    uint32_t own = 0;
    if (parseDottedQuad(settings.localif) == 0 && !platform::thisMachineAddress(own)) own = 0;
    formatDottedQuad(own, addresses.serverInfoAddress);
}

static void answerServerInfo() {
    char address[TextStoreSize + 8];
    bool given = parseDottedQuad(settings.localif) != 0;
    formatText(address, sizeof address, "%s:%d", given ? settings.localif : addresses.serverInfoAddress,
               settings.port);
    const int end = 1024;
    PacketBuffer[4] = CCREP_SERVER_INFO;
    int pos = putString(5, address, end);
    pos = putString(pos, SKOPOS_VERSION, end);
    pos = putString(pos, slotTable.serverConnected ? gameState.mapName : "not connected", end);
    PacketBuffer[pos++] = uint8_t(slotTable.observerCount + (slotTable.hostConnected ? 1 : 0));
    PacketBuffer[pos++] = uint8_t(settings.slotLimit);
    PacketBuffer[pos++] = 3;
    setLengthField(PacketBuffer, pos);
    const Slot& listener = slotTable.slot[0];
    platform::sendTo(listener.socket, PacketBuffer, pos, listener.peerAddress);
}

// The 9-byte accept naming `port`, over the request in the PacketBuffer: length 9 and the port's
// high half zero, so a reader of the 32-bit port field gets the port too.
static void sendAccept(uint16_t port) {
    PacketBuffer[2] = 0;
    PacketBuffer[3] = 9;
    PacketBuffer[4] = CCREP_ACCEPT;
    PacketBuffer[5] = uint8_t(port);
    PacketBuffer[6] = uint8_t(port >> 8);
    PacketBuffer[7] = 0;
    PacketBuffer[8] = 0;
    const Slot& listener = slotTable.slot[0];
    platform::sendTo(listener.socket, PacketBuffer, 9, listener.peerAddress);
}

// A reject with the proxy's own reason (byte 2, then the text) to the sender of the request.
static void refuse(const char* reason) {
    PacketBuffer[4] = CCREP_REJECT;
    PacketBuffer[5] = 2;
    int length = putString(6, reason, 6 + 128);
    setLengthField(PacketBuffer, length);
    const Slot& listener = slotTable.slot[0];
    platform::sendTo(listener.socket, PacketBuffer, length, listener.peerAddress);
}

// Gives slot k a socket of its own and tells the sender its port. False, with the sender
// refused, when no socket can be had: an accept naming port 0 would strand the client.
static bool acceptIntoSlot(int k) {
    Slot& slot = slotTable.slot[k];
    const Slot& listener = slotTable.slot[0];
    platform::Socket socket = platform::openUdpSocket();
    platform::NetAddress bound{addresses.listening.ip, 0};
    if (!platform::bindSocket(socket, bound)) {
        platform::closeSocket(socket);
        char from[16];
        formatDottedQuad(listener.peerAddress.ip, from);
        consolePrintf("Unable to open a socket for %s:%d.\n", from, listener.peerAddress.port);
        refuse("Skopos-Proxy:No socket free for you.");
        return false;
    }
    slot.socket = socket;
    addresses.listening = bound;
    addresses.slotPort[k] = bound.port;
    slot.peerAddress = listener.peerAddress;
    sendAccept(bound.port);
    return true;
}

static bool reopenListeningSocket() {
    Slot& listener = slotTable.slot[0];
    addresses.listening = listeningAddress();
    listener.socket = platform::openUdpSocket();
    if (platform::bindSocket(listener.socket, addresses.listening)) return true;
    platform::closeSocket(listener.socket);
    listener.socket = platform::NoSocket;
    return false;
}

static void renewListeningSocket() {
    if (strcmp(settings.localif, "0.0.0.0") != 0) return;
    platform::closeSocket(slotTable.slot[0].socket);
    if (reopenListeningSocket()) return;
    listeningPort.down = true;
    consolePrintf("Unable to bind to 0.0.0.0:%d again, retrying.\n", settings.port);
}

static void admitHost() {
    if (!acceptIntoSlot(HostSlot)) return;
    char from[16], to[16];
    const Slot& listener = slotTable.slot[0];
    formatDottedQuad(listener.peerAddress.ip, from);
    formatDottedQuad(addresses.listening.ip, to);
    consolePrintf("Client connected.\n%s:%d", from, listener.peerAddress.port);
    consolePrintf("<->%s:%d\n", to, addresses.listening.port);
    renewListeningSocket();

    Slot& host = hostSlot();
    slotTable.hostConnected = true;
    host.state = SlotWaiting;
    memset(host.viewOffset, 0, sizeof host.viewOffset);
    host.recvSeq = 0xFFFFFFFF;
    setPlayerName(host, "unnamed");
    host.lastHeardTime = loop.nowSeconds;
    storeStreamForHostOnly();
    observing.observingMode = false;
    hostConnection = HostConnection();

    char greeting[512];
    int n = formatText(greeting, sizeof greeting,
                       SKOPOS_BAR "\n" SKOPOS_VISIT "say %s help for list of commands\n" SKOPOS_BAR "\n",
                       settings.name ? settings.namePrefix : "proxy:");
    printToHost(greeting, n + 1);
}

static int lowestFreeObserverSlot() {
    for (int k = FirstObserverSlot; k <= settings.slotLimit; ++k)
        if (!slotInUse(k)) return k;
    return 0;
}

static void refuseObserver() {
    char reason[64];
    formatText(reason, sizeof reason, "Skopos-Proxy:Max observers (%d) reached.", settings.observers);
    refuse(reason);
}

static void admitObserver() {
    int k = lowestFreeObserverSlot();
    if (slotTable.observerCount >= settings.observers || k == 0) {
        refuseObserver();
        return;
    }
    if (!acceptIntoSlot(k)) return;
    ++slotTable.observerCount;
    Slot& slot = slotTable.slot[k];
    memset(slot.viewOffset, 0, sizeof slot.viewOffset);
    slot.state = SlotWaiting;
    renewListeningSocket();
    consolePrintf("Observer joined.\n");
    setPlayerName(slot, "unnamed");
    slot.welcomeCount = 0;
    slot.unreliableSeq = 0;
    slot.targetSeq = 0;
    slot.recvSeq = 0;
    slot.reliableSeq = 0;
    slot.catchUpMessage = NoCatchUpMessage;
    slot.catchUpTaken = NoCatchUpMessage;
    slot.moveButtons = 0;
    slot.lastHeardTime = loop.nowSeconds;
    appendObserverPrint("Observer unnamed joined\n");
    if (observersCanJoinMidLevel()) {
        restartCatchUp(k);
    } else {
        uint8_t banner[1024];
        int n = formatObserverBanner(banner, sizeof banner);
        sendRawToSlot(banner, n, k);
        flushObserverPrints();
    }
}

// The client slot already admitted from the request's address and port, or 0.
static int slotOfSender() {
    const platform::NetAddress& sender = slotTable.slot[0].peerAddress;
    for (int k = HostSlot; k <= settings.slotLimit; ++k)
        if (slotInUse(k) && slotTable.slot[k].peerAddress == sender) return k;
    return 0;
}

// The player's game started again: a request from the host's machine on another port (or on any
// port once its slot is gone) while the host has been silent.
static bool hostRestarted() {
    const Slot& host = hostSlot();
    const platform::NetAddress& sender = slotTable.slot[0].peerAddress;
    return slotTable.hostConnected && sender.ip == host.peerAddress.ip &&
           (sender.port != host.peerAddress.port || !slotInUse(HostSlot)) &&
           loop.nowSeconds - host.lastHeardTime > HostRestartSilenceSeconds;
}

static void admitClient() {
    if (int k = slotOfSender()) {
        sendAccept(addresses.slotPort[k]);  // its accept was lost
        return;
    }
    if (hostRestarted()) {
        // The old game left its server without a word: leave it for the player.
        if (slotTable.serverSocket != platform::NoSocket) sendLeaveDatagram();
        closeClientConnection();
    }
    if (!slotTable.hostConnected)
        admitHost();
    else
        admitObserver();
}

void handleListeningPort(int length) {
    if (length < 5 || !isControlPacket(PacketBuffer)) return;
    switch (PacketBuffer[4]) {
    case CCREQ_SERVER_INFO: answerServerInfo(); break;
    case CCREQ_CONNECT: admitClient(); break;
    default: break;
    }
}

void runAdmissionTimers() {
    if (listeningPort.down && reopenListeningSocket()) {
        listeningPort.down = false;
        consolePrintf("Listening on 0.0.0.0:%d again.\n", settings.port);
    }
}

int admissionWaitMs() { return listeningPort.down ? ListenerRetryMs : -1; }
