// The server connection: the name lookup beside the game, the connect request with its resends,
// the server's accept or reject, and the server's silence.
#include "session/server_link.h"

#include <cstring>

#include "core/clock.h"
#include "core/print.h"
#include "core/settings.h"
#include "demo/recorder.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/stream.h"
#include "observers/view.h"
#include "relay/relay.h"
#include "session/admission.h"
#include "session/teardown.h"

ServerLink serverLink;

void resetConnections() { serverLink = ServerLink(); }

static const uint8_t ConnectRequest[12] = {0x80, 0x00, 0x00, 0x0C, CCREQ_CONNECT, 'Q', 'U', 'A', 'K', 'E', 0x00, 0x03};

bool startServerConnection(const char* typed) {
    addresses.serverLocal = platform::NetAddress{parseDottedQuad(settings.remoteif), 0};
    hostSlot().state = SlotWaiting;
    addresses.server = platform::NetAddress{settings.serverAddress, uint16_t(settings.serverPort)};
    addresses.connectTarget = addresses.server;
    slotTable.serverConnected = false;
    slotTable.serverSocket = platform::openUdpSocket();
    if (!platform::bindSocket(slotTable.serverSocket, addresses.serverLocal)) {
        // Out of descriptors, say: a request never sent would leave the host waiting for nothing.
        platform::closeSocket(slotTable.serverSocket);
        slotTable.serverSocket = platform::NoSocket;
        static const char failed[] = "Unable to open a socket for the server.\n";
        printToHost(failed, sizeof failed);
        consolePrintf("%s", failed);
        return false;
    }
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
    return true;
}

bool connectToServer(uint32_t ip, int port, const char* typed) {
    observing.observingMode = false;
    if (slotTable.serverSocket != platform::NoSocket) {
        sendLeaveDatagram();
        disconnectServer();
    }
    // Set only now: the leave datagram above still went to the old server.
    settings.serverAddress = ip;
    settings.serverPort = port;
    if (!startServerConnection(typed)) return false;
    // The host's next reliable datagram is the new server's first; the server's first continues
    // the host's numbering from what the host took.
    numbering.c2sSeqOffset = numbering.lastReliableFromHost + 1;
    hostSlot().seqOffset = numbering.lastHostReliableSeq + 1;
    numbering.resyncHost = true;
    holdNewServerForHostAck();
    return true;
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
    runHostTailTimer();
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
}

static int soonest(int a, int b) { return a < 0 || (b >= 0 && b < a) ? b : a; }

int serverLinkWaitMs() {
    int wait = -1;
    if (serverLink.lookup >= 0) wait = LookupPollMs;
    wait = soonest(wait, hostTailWaitMs());
    if (connecting()) {
        int32_t due = int32_t(serverLink.nextMs - loop.nowMs);
        wait = soonest(wait, due > 0 ? due : 0);
    }
    if (slotTable.serverConnected) {
        int32_t due = int32_t(serverLink.lastHeardSeconds + ServerSilenceSeconds + 1 - loop.nowSeconds);
        wait = soonest(wait, (due > 1 ? due : 1) * 1000);
    }
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
