// The listening port: server-information replies, and the admission of the host client and of
// observers, each moved to a socket of its own.
#include "session/admission.h"

#include <cstring>

#include "core/clock.h"
#include "core/print.h"
#include "core/settings.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/capture.h"
#include "observers/catchup.h"
#include "observers/prints.h"
#include "observers/scanner.h"
#include "observers/stream.h"
#include "observers/view.h"
#include "session/gate.h"
#include "session/server_link.h"
#include "session/teardown.h"

HostConnection hostConnection;

namespace {

// Requests answered before the listening socket is made again, per pass; the rest wait their turn.
constexpr int MaxDrainedRequests = 64;

struct ListenerState {
    bool down = false;      // the listening socket could not be made again
    bool renewDue = false;  // it is made again once the requests queued on it are answered
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

// Gives slot k its socket (the host one of its own, an observer the observers' shared one) and
// tells the sender its port. False, with the sender refused, when no socket can be had: an accept
// naming port 0 would strand the client.
static bool acceptIntoSlot(int k) {
    Slot& slot = slotTable.slot[k];
    const Slot& listener = slotTable.slot[0];
    bool shared = k >= FirstObserverSlot && slotTable.observerSocket != platform::NoSocket;
    platform::Socket socket = shared ? slotTable.observerSocket : platform::openUdpSocket();
    uint16_t port = shared ? addresses.observerPort : 0;
    if (!shared) {
        platform::NetAddress bound{addresses.listening.ip, 0};
        if (!platform::bindSocket(socket, bound)) {
            platform::closeSocket(socket);
            char from[16];
            formatDottedQuad(listener.peerAddress.ip, from);
            consolePrintf("Unable to open a socket for %s:%d.\n", from, listener.peerAddress.port);
            refuse("Skopos-Proxy:No socket free for you.");
            return false;
        }
        addresses.listening = bound;
        port = bound.port;
        if (k >= FirstObserverSlot) {
            slotTable.observerSocket = socket;
            addresses.observerPort = port;
        }
    }
    slot.socket = socket;
    addresses.slotPort[k] = port;
    slot.peerAddress = listener.peerAddress;
    sendAccept(port);
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
    if (strcmp(settings.localif, "0.0.0.0") == 0) listeningPort.renewDue = true;
}

static void renewListeningSocketNow() {
    listeningPort.renewDue = false;
    platform::closeSocket(slotTable.slot[0].socket);
    if (reopenListeningSocket()) return;
    listeningPort.down = true;
    consolePrintf("Unable to bind to 0.0.0.0:%d again, retrying.\n", settings.port);
}

// A client answers a keep-alive at once: one that does not is released within seconds.
static void startClientLife(int k) {
    Slot& slot = slotTable.slot[k];
    slot.heard = false;
    slot.admittedTime = loop.nowSeconds;
    slot.lastHeardTime = loop.nowSeconds;
    slot.chatTimeMs = loop.nowMs - ObserverChatIntervalMs;
    sendKeepAlive(k);
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
    startClientLife(HostSlot);
}

static int lowestFreeObserverSlot() {
    for (int k = FirstObserverSlot; k <= settings.slotLimit; ++k)
        if (!slotInUse(k)) return k;
    return 0;
}

static void refuseAs(Refusal cause, const char* why, const char* format, int number) {
    char reason[96];
    formatText(reason, sizeof reason, format, number);
    refuse(reason);
    tellRefused(cause, slotTable.slot[0].peerAddress, why);
}

static void admitObserver() {
    int k = lowestFreeObserverSlot();
    uint32_t ip = slotTable.slot[0].peerAddress.ip;
    if (settings.observersPerAddress > 0 && observersFrom(ip) >= settings.observersPerAddress)
        return refuseAs(Refusal::PerAddress, "too many observers from one address",
                        "Skopos-Proxy:Max observers from your address (%d) reached.", settings.observersPerAddress);
    if (slotTable.observerCount >= settings.observers || k == 0) {
        if (!hostAddressAllowed(ip))
            return refuseAs(Refusal::NotHostAddress, "not a host address, no room for an observer",
                            "Skopos-Proxy:Your address may not host; max observers (%d) reached.",
                            settings.observers);
        return refuseAs(Refusal::ObserversFull, "max observers reached", "Skopos-Proxy:Max observers (%d) reached.",
                        settings.observers);
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
    startClientLife(k);
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

bool hostGoneSilent() {
    const Slot& host = hostSlot();
    if (!slotTable.hostConnected) return false;
    bool silent = loop.nowSeconds - host.lastHeardTime > HostRestartSilenceSeconds;
    if (!slotInUse(HostSlot)) return silent;
    return silent && host.keepAliveUnanswered && loop.nowMs - host.keepAliveMs >= KeepAliveAnswerMs;
}

// The player's game started again: a request from the host's machine on another port (or on any
// port once its slot is gone) while its game is gone silent, so a second player behind the same
// address never takes a game that is still running.
static bool hostRestarted() {
    const platform::NetAddress& sender = slotTable.slot[0].peerAddress;
    const Slot& host = hostSlot();
    if (!slotTable.hostConnected || sender.ip != host.peerAddress.ip) return false;
    if (slotInUse(HostSlot) && sender.port == host.peerAddress.port) return false;
    return hostGoneSilent();
}

static void admitClient() {
    if (int k = slotOfSender()) {
        sendAccept(addresses.slotPort[k]);  // its accept was lost
        return;
    }
    const platform::NetAddress& sender = slotTable.slot[0].peerAddress;
    bool hostMachine = slotTable.hostConnected && sender.ip == hostSlot().peerAddress.ip;
    if (uint32_t left = hostMachine ? 0 : banSecondsLeft(sender.ip)) {
        int minutes = int((left + 59) / 60);
        return refuseAs(Refusal::Kicked, "kicked",
                        minutes == 1 ? "Skopos-Proxy:Kicked; try again in %d minute."
                                     : "Skopos-Proxy:Kicked; try again in %d minutes.",
                        minutes);
    }
    if (hostRestarted()) {
        // The old game left its server without a word: leave it for the player.
        if (slotTable.serverSocket != platform::NoSocket) sendLeaveDatagram();
        closeClientConnection();
    }
    if (!slotTable.hostConnected && hostAddressAllowed(sender.ip))
        admitHost();
    else
        admitObserver();
}

static void answerRequest(int length) {
    if (length < 5 || !isControlPacket(PacketBuffer)) return;
    uint8_t code = PacketBuffer[4];
    if (code != CCREQ_SERVER_INFO && code != CCREQ_CONNECT) return;
    // Any source address can be forged: what the proxy sends in answer stays a trickle.
    const platform::NetAddress& sender = slotTable.slot[0].peerAddress;
    if (!mayAnswer(sender.ip)) return tellRefused(Refusal::TooManyRequests, sender, "too many requests");
    if (code == CCREQ_SERVER_INFO)
        answerServerInfo();
    else
        admitClient();
}

void handleListeningPort(int length) {
    answerRequest(length);
    // The requests queued behind this one would go with the old socket: they are answered first.
    Slot& listener = slotTable.slot[0];
    for (int n = 0; listeningPort.renewDue && n < MaxDrainedRequests; ++n) {
        platform::NetAddress from;
        int received = platform::receiveFrom(listener.socket, PacketBuffer, MaxDatagram, from);
        if (received <= 0) return renewListeningSocketNow();
        listener.peerAddress = from;
        answerRequest(received);
    }
}

bool mayHost(int k) { return hostAddressAllowed(slotTable.slot[k].peerAddress.ip); }

void moveObserverToHost(int k) {
    Slot& host = hostSlot();
    host = slotTable.slot[k];
    addresses.slotPort[HostSlot] = addresses.slotPort[k];
    slotTable.slot[k] = Slot();
    --slotTable.observerCount;
    releaseSlotSocket(host.socket);  // still the host's: the socket stays, the observers' may not
    forgetSlotInStore(k);
    endRequests.observers &= ~(1u << k);  // an end reported of the observer is not the host's
    // Nothing of a server reached it: its numbering starts as a new host's, from what it sent.
    numbering = Numbering();
    numbering.lastReliableFromHost = host.recvSeq - 1;
    numbering.c2sSeqOffset = host.recvSeq;
    host.recvSeq = host.recvSeq - 1;  // its last datagram, which carried the command that moved it
    host.state = SlotWaiting;
    host.seqOffset = 0;
    resetStreamNumbering();
    storeStreamForHostOnly();
    slotTable.hostConnected = true;
    observing.observingMode = false;
    hostConnection = HostConnection();
    char from[16];
    formatDottedQuad(host.peerAddress.ip, from);
    consolePrintf("%s:%d is the host now.\n", from, host.peerAddress.port);
}

void runAdmissionTimers() {
    if (listeningPort.down && reopenListeningSocket()) {
        listeningPort.down = false;
        consolePrintf("Listening on 0.0.0.0:%d again.\n", settings.port);
    }
}

int admissionWaitMs() { return listeningPort.down ? ListenerRetryMs : -1; }
