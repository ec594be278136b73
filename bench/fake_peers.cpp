// The fake game client and game server of the benchmarks: admission, proxy commands and the server
// connection, played over loopback the way a NetQuake client and server play them.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "bench/loopback.h"

void collectPrints(const uint8_t* datagram, int length, char* text, int capacity) {
    if (length <= HeaderSize || datagram[1] != FlagUnreliable) return;
    size_t used = strlen(text);
    int cursor = HeaderSize;
    while (cursor < length && datagram[cursor] == 8) {  // svc_print
        ++cursor;
        if (cursor < length && datagram[cursor] == 2) ++cursor;  // the proxy's colour byte
        while (cursor < length && datagram[cursor] != 0) {
            if (used + 1 < static_cast<size_t>(capacity)) text[used++] = static_cast<char>(datagram[cursor]);
            ++cursor;
        }
        ++cursor;
    }
    text[used] = '\0';
}

static bool openSessionSockets(Session* session) {
    memset(session, 0, sizeof *session);
    session->clientSocket = openLoopbackSocket();
    session->serverControlSocket = openLoopbackSocket();
    session->serverDataSocket = openLoopbackSocket();
    return session->clientSocket >= 0 && session->serverControlSocket >= 0 && session->serverDataSocket >= 0;
}

bool admitClient(Session* session, int proxyPort) {
    static const uint8_t ConnectRequest[] = {0x80, 0, 0, 12, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3};
    if (!openSessionSockets(session)) return false;
    sockaddr_in listening = loopbackAddress(proxyPort);
    uint8_t reply[2048];
    for (int attempt = 0; attempt < 3; ++attempt) {
        sendDatagram(session->clientSocket, listening, ConnectRequest, sizeof ConnectRequest);
        int64_t endNs = monotonicNs() + 1000000000;
        while (monotonicNs() < endNs) {
            int length = receiveDatagram(session->clientSocket, reply, sizeof reply, 100, nullptr);
            if (length >= 7 && reply[0] == 0x80 && reply[4] == 0x81) {
                session->clientPeer = loopbackAddress(reply[5] | (reply[6] << 8));
                return true;
            }
        }
    }
    fprintf(stderr, "the proxy did not accept the client\n");
    return false;
}

bool sayToProxy(Session* session, const char* text) {
    uint8_t datagram[512];
    int length = snprintf(reinterpret_cast<char*>(datagram) + HeaderSize + 1, sizeof datagram - HeaderSize - 1,
                          "say %s", text);
    datagram[HeaderSize] = 4;  // clc_stringcmd
    length += HeaderSize + 2;  // code byte and terminating zero
    uint32_t sequence = session->clientReliableSeq++;
    putHeader(datagram, FlagLastFragment, length, sequence);
    sendDatagram(session->clientSocket, session->clientPeer, datagram, length);
    session->lastPrint[0] = '\0';
    uint8_t reply[MaxBenchDatagram];
    int64_t endNs = monotonicNs() + 1000000000;
    while (monotonicNs() < endNs) {
        int got = receiveDatagram(session->clientSocket, reply, sizeof reply, 100, nullptr);
        if (got < HeaderSize) continue;
        collectPrints(reply, got, session->lastPrint, sizeof session->lastPrint);
        if (reply[1] == FlagAck && readSequence(reply) == sequence) return true;
    }
    fprintf(stderr, "no ack for \"say %s\"\n", text);
    return false;
}

// The proxy's connect request at the server's control port; the accept names the data port.
static bool acceptProxyAtServer(Session* session) {
    uint8_t request[2048];
    int length = receiveDatagram(session->serverControlSocket, request, sizeof request, 2000, &session->serverPeer);
    if (length != 12 || request[0] != 0x80 || request[4] != 0x01 || memcmp(request + 5, "QUAKE", 6) != 0) {
        fprintf(stderr, "the fake server got no connect request from the proxy\n");
        return false;
    }
    int dataPort = boundPort(session->serverDataSocket);
    uint8_t accept[] = {0x80, 0, 0, 9, 0x81, static_cast<uint8_t>(dataPort), static_cast<uint8_t>(dataPort >> 8), 0, 0};
    sendDatagram(session->serverControlSocket, session->serverPeer, accept, sizeof accept);
    return true;
}

bool connectThroughProxy(Session* session) {
    char command[64];
    snprintf(command, sizeof command, "proxy:connect 127.0.0.1:%d", boundPort(session->serverControlSocket));
    if (!sayToProxy(session, command) || !acceptProxyAtServer(session)) return false;
    char prints[512] = "";
    uint8_t reply[MaxBenchDatagram];
    int64_t endNs = monotonicNs() + 2000000000;
    while (monotonicNs() < endNs && strstr(prints, "Connection accepted") == nullptr) {
        int got = receiveDatagram(session->clientSocket, reply, sizeof reply, 100, nullptr);
        if (got >= HeaderSize) collectPrints(reply, got, prints, sizeof prints);
    }
    if (strstr(prints, "Connection accepted") != nullptr) return true;
    fprintf(stderr, "the proxy did not report the server connection (prints: \"%s\")\n", prints);
    return false;
}

void closeSession(Session* session) {
    int* sockets[] = {&session->clientSocket, &session->serverControlSocket, &session->serverDataSocket};
    for (int* sock : sockets) {
        if (*sock >= 0) close(*sock);
        *sock = -1;
    }
}
