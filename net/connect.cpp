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
#include "observers/teardown.h"

ConnectionAddresses addresses;
ServerLink serverLink;

void resetConnections() {
    addresses = ConnectionAddresses();
    serverLink = ServerLink();
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
    serverLink.listenerDown = true;
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

static const uint8_t ConnectRequest[12] = {0x80, 0x00, 0x00, 0x0C, CCREQ_CONNECT, 'Q', 'U', 'A', 'K', 'E', 0x00, 0x03};

void startServerConnection(const char* typed) {
    addresses.serverLocal = platform::NetAddress{parseDottedQuad(settings.remoteif), 0};
    hostSlot().state = SlotWaiting;
    addresses.server = platform::NetAddress{settings.serverAddress, uint16_t(settings.serverPort)};
    addresses.connectTarget = addresses.server;
    slotTable.serverSocket = platform::openUdpSocket();
    platform::bindSocket(slotTable.serverSocket, addresses.serverLocal);
    slotTable.serverConnected = false;
    if (typed != nullptr) {
        formatText(serverLink.typed, sizeof serverLink.typed, "%s", typed);
    } else {
        char dotted[16];
        formatDottedQuad(addresses.server.ip, dotted);
        formatText(serverLink.typed, sizeof serverLink.typed, "%s:%d", dotted, addresses.server.port);
    }
    serverLink.sends = 1;
    serverLink.nextMs = loop.nowMs + ConnectResendMs;
    platform::sendTo(slotTable.serverSocket, ConnectRequest, sizeof ConnectRequest, addresses.server);
}

void connectToServer(uint32_t ip, int port, const char* typed) {
    observing.observingMode = false;
    if (slotTable.serverSocket != platform::NoSocket) {
        sendLeaveDatagram();
        disconnectServer();
    }
    // Set only now: the leave datagram above still went to the old server.
    settings.serverAddress = ip;
    settings.serverPort = port;
    startServerConnection(typed);
    // The host's next reliable datagram is the new server's first; the server's first continues
    // the host's numbering from what the host took.
    numbering.c2sSeqOffset = numbering.lastReliableFromHost + 1;
    hostSlot().seqOffset = numbering.lastHostReliableSeq + 1;
    numbering.resyncHost = true;
}

void cancelLookup() {
    if (serverLink.lookup < 0) return;
    platform::abandonLookup(serverLink.lookup);
    serverLink.lookup = -1;
}

enum class LookupOutcome { Pending, Connected, Failed };

// A finished or overdue lookup connects or has failed.
static LookupOutcome takeLookup() {
    uint32_t ip = 0;
    platform::LookupStatus status = platform::pollLookup(serverLink.lookup, ip);
    if (status == platform::LookupStatus::Pending && loop.nowMs - serverLink.lookupStartMs < LookupLimitMs)
        return LookupOutcome::Pending;
    if (status == platform::LookupStatus::Pending) platform::abandonLookup(serverLink.lookup);
    serverLink.lookup = -1;
    if (status != platform::LookupStatus::Found) return LookupOutcome::Failed;
    connectToServer(ip, serverLink.lookupPort, serverLink.lookupName);
    return LookupOutcome::Connected;
}

bool lookUpServer(const char* name, int port) {
    cancelLookup();
    serverLink.lookup = platform::startLookup(name);
    if (serverLink.lookup < 0) return false;
    serverLink.lookupStartMs = loop.nowMs;
    serverLink.lookupPort = port;
    formatText(serverLink.lookupName, sizeof serverLink.lookupName, "%s", name);
    // A resolver that knows the answer at once (a hosts file) connects within the command.
    return takeLookup() != LookupOutcome::Failed;
}

static void giveUpConnecting() {
    printfToSlot(HostSlot, "No response from %s.\n", serverLink.typed);
    consolePrintf("No response from %s.\n", serverLink.typed);
    disconnectServer();
}

static void resendConnectRequest() {
    ++serverLink.sends;
    serverLink.nextMs = loop.nowMs + ConnectResendMs;
    platform::sendTo(slotTable.serverSocket, ConnectRequest, sizeof ConnectRequest, addresses.connectTarget);
    static const char again[] = "trying again...\n";
    printToHost(again, sizeof again);
}

static bool connecting() {
    return serverLink.sends > 0 && !slotTable.serverConnected && slotTable.serverSocket != platform::NoSocket;
}

void runServerLinkTimers() {
    if (serverLink.lookup >= 0 && takeLookup() == LookupOutcome::Failed)
        printfToSlot(HostSlot, "Could not resolve %s.\n", serverLink.lookupName);
    if (connecting() && int32_t(loop.nowMs - serverLink.nextMs) >= 0) {
        if (serverLink.sends < ConnectSends)
            resendConnectRequest();
        else
            giveUpConnecting();
    }
    if (slotTable.serverConnected && loop.nowSeconds - serverLink.lastHeardSeconds > ServerSilenceSeconds) {
        static const char gone[] = "Server timed out.\n";
        printToHost(gone, sizeof gone);
        consolePrintf("%s", gone);
        sendLeaveDatagram();  // a server that only lost its way back still frees the player's place
        disconnectServer();
    }
    if (serverLink.listenerDown && reopenListeningSocket()) {
        serverLink.listenerDown = false;
        consolePrintf("Listening on 0.0.0.0:%d again.\n", settings.port);
    }
}

static int soonest(int a, int b) { return a < 0 || (b >= 0 && b < a) ? b : a; }

int serverLinkWaitMs() {
    int wait = -1;
    if (serverLink.lookup >= 0) wait = LookupPollMs;
    if (connecting()) {
        int32_t due = int32_t(serverLink.nextMs - loop.nowMs);
        wait = soonest(wait, due > 0 ? due : 0);
    }
    if (slotTable.serverConnected) {
        int32_t due = int32_t(serverLink.lastHeardSeconds + ServerSilenceSeconds + 1 - loop.nowSeconds);
        wait = soonest(wait, (due > 1 ? due : 1) * 1000);
    }
    if (serverLink.listenerDown) wait = soonest(wait, ListenerRetryMs);
    return wait;
}

static void serverAccepted(int length) {
    if (length < 7) return;
    addresses.server.port = uint16_t(PacketBuffer[5] + 256 * PacketBuffer[6]);
    slotTable.serverConnected = true;
    serverLink.sends = 0;
    serverLink.lastHeardSeconds = loop.nowSeconds;
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
    disconnectServer();  // the attempt is over: the proxy waits for the next command
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
