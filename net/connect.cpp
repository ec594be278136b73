// Control packets: server information, admission of the host client and observers, and the
// wire side of connecting to a server.
#include "net/connect.h"

#include <cstring>

#include "console/intercept.h"
#include "console/observer_chat.h"
#include "core/loop.h"
#include "core/print.h"
#include "core/settings.h"
#include "demo/recorder.h"
#include "net/framing.h"
#include "net/relay.h"
#include "net/senders.h"
#include "observers/catchup.h"
#include "observers/prints.h"
#include "observers/stream.h"
#include "observers/scanner.h"
#include "observers/slots.h"

ConnectionAddresses addresses;

void resetConnections() { addresses = ConnectionAddresses(); }

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

static void answerServerInfo() {
    char address[TextStoreSize + 8];
    uint32_t ip = parseDottedQuad(settings.localif);
    char dotted[16];
    if (ip != 0) {
        formatText(address, sizeof address, "%s:%d", settings.localif, settings.port);
    } else {
        // Without an address for our own host name, 0.0.0.0 still tells the port.
        uint32_t own = 0;
        platform::thisMachineAddress(own);
        formatDottedQuad(own, dotted);
        formatText(address, sizeof address, "%s:%d", dotted, settings.port);
    }
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

// Gives slot k a socket of its own, tells the sender its port, and renews the listening socket.
static void acceptIntoSlot(int k) {
    Slot& slot = slotTable.slot[k];
    Slot& listener = slotTable.slot[0];
    slot.socket = platform::openUdpSocket();
    platform::NetAddress bound{addresses.listening.ip, 0};
    platform::bindSocket(slot.socket, bound);
    addresses.listening = bound;
    slot.peerAddress = listener.peerAddress;
    // A whole, correct 9-byte accept: length 9 and the port's high half zero, so a reader of the
    // 32-bit port field gets the port too.
    PacketBuffer[2] = 0;
    PacketBuffer[3] = 9;
    PacketBuffer[4] = CCREP_ACCEPT;
    PacketBuffer[5] = uint8_t(bound.port);
    PacketBuffer[6] = uint8_t(bound.port >> 8);
    PacketBuffer[7] = 0;
    PacketBuffer[8] = 0;
    platform::sendTo(listener.socket, PacketBuffer, 9, listener.peerAddress);
}

static void renewListeningSocket() {
    if (strcmp(settings.localif, "0.0.0.0") != 0) return;
    Slot& listener = slotTable.slot[0];
    platform::closeSocket(listener.socket);
    addresses.listening = listeningAddress();
    listener.socket = platform::openUdpSocket();
    platform::bindSocket(listener.socket, addresses.listening);
}

static void admitHost() {
    acceptIntoSlot(HostSlot);
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
    consoleState.transparentMode = false;

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
    int n = formatText(reason, sizeof reason, "Skopos-Proxy:Max observers (%d) reached.", settings.observers);
    PacketBuffer[4] = CCREP_REJECT;
    PacketBuffer[5] = 2;
    memcpy(PacketBuffer + 6, reason, size_t(n) + 1);
    int length = 6 + n + 1;
    setLengthField(PacketBuffer, length);
    const Slot& listener = slotTable.slot[0];
    platform::sendTo(listener.socket, PacketBuffer, length, listener.peerAddress);
}

static void admitObserver() {
    int k = lowestFreeObserverSlot();
    if (slotTable.observerCount >= settings.observers || k == 0) {
        refuseObserver();
        return;
    }
    ++slotTable.observerCount;
    Slot& slot = slotTable.slot[k];
    memset(slot.viewOffset, 0, sizeof slot.viewOffset);
    slot.state = SlotWaiting;
    acceptIntoSlot(k);
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

void handleListeningPort(int length) {
    if (length < 5 || !isControlPacket(PacketBuffer)) return;
    switch (PacketBuffer[4]) {
    case CCREQ_SERVER_INFO: answerServerInfo(); break;
    case CCREQ_CONNECT:
        if (!slotTable.hostConnected)
            admitHost();
        else
            admitObserver();
        break;
    default: break;
    }
}

void startServerConnection() {
    addresses.serverLocal = platform::NetAddress{parseDottedQuad(settings.remoteif), 0};
    hostSlot().state = SlotWaiting;
    addresses.server = platform::NetAddress{settings.serverAddress, uint16_t(settings.serverPort)};
    addresses.connectTarget = addresses.server;
    slotTable.serverSocket = platform::openUdpSocket();
    platform::bindSocket(slotTable.serverSocket, addresses.serverLocal);
    loop.unboundedWait = true;
    slotTable.serverConnected = false;
    static const uint8_t request[12] = {0x80, 0x00, 0x00, 0x0C, CCREQ_CONNECT, 'Q', 'U', 'A', 'K', 'E', 0x00, 0x03};
    platform::sendTo(slotTable.serverSocket, request, sizeof request, addresses.server);
}

static void serverAccepted(int length) {
    if (length < 7) return;
    addresses.server.port = uint16_t(PacketBuffer[5] + 256 * PacketBuffer[6]);
    slotTable.serverConnected = true;
    loop.unboundedWait = false;
    static const char accepted[] = "Connection accepted\n";
    printToHost(accepted, sizeof accepted);
    char local[16], remote[16];
    formatDottedQuad(addresses.serverLocal.ip, local);
    formatDottedQuad(addresses.server.ip, remote);
    consolePrintf("Server connection established.\n%s:%d", local, addresses.serverLocal.port);
    consolePrintf("<->%s:%d\n", remote, addresses.server.port);
    if (settings.demoNumber != 0) startRecording();
    emptyCaptureBuffer();
}

static void serverRejected(int length) {
    uint8_t message[MaxSendPayload];
    int n = length - 5;
    if (n > MaxSendPayload - 2) n = MaxSendPayload - 2;
    message[0] = 8;
    memcpy(message + 1, PacketBuffer + 5, size_t(n));
    message[1 + n] = 0;
    sendRawToHost(message, int(strnlen(reinterpret_cast<char*>(message + 1), size_t(n))) + 2);
}

void handleServerControl(int length) {
    switch (PacketBuffer[4]) {
    case CCREP_ACCEPT: serverAccepted(length); break;
    case CCREP_REJECT: serverRejected(length); break;
    default: break;
    }
}

void sendLeaveDatagram() {
    static const uint8_t leave[9] = {0x00, FlagUnreliable, 0x00, 0x09, 0x7F, 0xFF, 0xFF, 0xFF, 0x02};
    platform::sendTo(slotTable.serverSocket, leave, sizeof leave, addresses.server);
}
