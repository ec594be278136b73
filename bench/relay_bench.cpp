// Latency and CPU cost of relaying server datagrams to the client through the proxy, side by side
// with a bare recvfrom/sendto forwarder measured in the same run.
//
// Usage: relay_bench PROXY_BINARY [unreliable_count] [pace_us]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "bench/loopback.h"

namespace {

// One way from the fake server to the fake client: through the proxy or through the forwarder.
struct RelayPath {
    const char* name;
    pid_t pid;                    // the process that relays
    int serverSocket;             // the fake server sends from here
    sockaddr_in serverTo;         // where the relay takes the server's datagrams
    int clientSocket;             // the fake client receives here
    uint32_t serverUnreliableSeq;
    uint32_t serverReliableSeq;
    uint32_t clientReliableSeq;   // the number the client expects next
};

struct RunFigures {
    std::vector<int64_t> latencyNs;    // server send to client receive
    std::vector<int64_t> roundTripNs;  // reliable: server send to the ack back at the server
    int sent = 0;
    int lost = 0;       // timed out at the client (unreliable) or resent (reliable)
    int damaged = 0;    // arrived with other bytes or another length
    int numberGaps = 0; // the client's numbering skipped or repeated
    int64_t cpuNs = -1;
};

constexpr int WarmUpCount = 200;
constexpr int WaitMs = 200;
constexpr int MaxResends = 5;
constexpr int MaxLostInARow = 50;  // the relay is gone: stop rather than wait out the whole run

// Unreliable payload: svc_time carrying the datagram's index, then svc_nop up to the size.
void buildUnreliable(uint8_t* datagram, int size) {
    putHeader(datagram, FlagUnreliable, size, 0);
    datagram[HeaderSize] = 7;
    memset(datagram + HeaderSize + 1, 0, 4);
    memset(datagram + HeaderSize + 5, 1, static_cast<size_t>(size - HeaderSize - 5));
}

void stampIndex(uint8_t* datagram, int index) {
    float time = static_cast<float>(index);
    memcpy(datagram + HeaderSize + 1, &time, 4);
}

int readIndex(const uint8_t* datagram) {
    float time;
    memcpy(&time, datagram + HeaderSize + 1, 4);
    return static_cast<int>(time);
}

void checkNumbering(uint32_t sequence, bool* first, uint32_t* last, RunFigures* figures) {
    if (!*first && sequence != *last + 1) ++figures->numberGaps;
    *first = false;
    *last = sequence;
}

// Waits at the client for the unreliable datagram `index`; false when it never came.
bool awaitUnreliable(const RelayPath& path, const uint8_t* sent, int size, int index, int64_t* arrivalNs,
                     bool* damaged, uint32_t* sequence) {
    static uint8_t Received[MaxBenchDatagram];
    int64_t endNs = monotonicNs() + int64_t{WaitMs} * 1000000;
    while (monotonicNs() < endNs) {
        int length = receiveDatagram(path.clientSocket, Received, sizeof Received, WaitMs, nullptr);
        *arrivalNs = monotonicNs();
        if (length < HeaderSize + 5 || Received[1] != FlagUnreliable || Received[HeaderSize] != 7) continue;
        int got = readIndex(Received);
        if (got < index) continue;  // a late one from before
        if (got > index) return false;
        *damaged = length != size || readLength(Received) != size ||
                   memcmp(Received + HeaderSize, sent + HeaderSize, static_cast<size_t>(size - HeaderSize)) != 0;
        *sequence = readSequence(Received);
        return true;
    }
    return false;
}

void runUnreliable(RelayPath* path, int size, int count, int paceUs, RunFigures* figures) {
    static uint8_t Datagram[MaxBenchDatagram];
    buildUnreliable(Datagram, size);
    figures->latencyNs.reserve(static_cast<size_t>(count));
    bool first = true;
    uint32_t lastSequence = 0;
    int64_t cpuBefore = 0;
    int64_t nextNs = monotonicNs();
    int lostInARow = 0;
    for (int i = 0; i < WarmUpCount + count && lostInARow < MaxLostInARow; ++i) {
        if (i == WarmUpCount) cpuBefore = processCpuNs(path->pid);
        sleepUntilNs(nextNs);
        stampIndex(Datagram, i);
        putHeader(Datagram, FlagUnreliable, size, path->serverUnreliableSeq++);
        int64_t sentNs = monotonicNs();
        sendDatagram(path->serverSocket, path->serverTo, Datagram, size);
        int64_t arrivalNs = 0;
        bool damaged = false;
        uint32_t sequence = 0;
        bool arrived = awaitUnreliable(*path, Datagram, size, i, &arrivalNs, &damaged, &sequence);
        nextNs = std::max(nextNs + int64_t{paceUs} * 1000, monotonicNs());  // never a burst to catch up
        lostInARow = arrived ? 0 : lostInARow + 1;
        if (i < WarmUpCount) continue;
        ++figures->sent;
        if (!arrived) {
            ++figures->lost;
            continue;
        }
        if (damaged) ++figures->damaged;
        checkNumbering(sequence, &first, &lastSequence, figures);
        figures->latencyNs.push_back(arrivalNs - sentNs);
    }
    if (lostInARow >= MaxLostInARow) {
        fprintf(stderr, "%s: %d datagrams lost in a row; run stopped\n", path->name, lostInARow);
    }
    int64_t cpuAfter = processCpuNs(path->pid);
    if (cpuBefore >= 0 && cpuAfter >= 0) figures->cpuNs = cpuAfter - cpuBefore;
}

// Reliable message: one svc_print filling the payload, its text opening with the message index.
void buildReliable(uint8_t* datagram, int payloadSize, int index) {
    putHeader(datagram, FlagLastFragment, HeaderSize + payloadSize, 0);
    uint8_t* payload = datagram + HeaderSize;
    payload[0] = 8;
    for (int i = 1; i < payloadSize - 1; ++i) payload[i] = static_cast<uint8_t>('a' + i % 26);
    char label[16];
    snprintf(label, sizeof label, "%09d ", index);
    memcpy(payload + 1, label, 10);
    payload[payloadSize - 1] = 0;
}

// The client takes the message, checks it and acks it to whoever sent it.
bool clientTakesReliable(RelayPath* path, const uint8_t* sent, int length, int64_t* arrivalNs,
                         RunFigures* figures) {
    static uint8_t Received[MaxBenchDatagram];
    int64_t endNs = monotonicNs() + int64_t{WaitMs} * 1000000;
    while (monotonicNs() < endNs) {
        sockaddr_in from{};
        int got = receiveDatagram(path->clientSocket, Received, sizeof Received, WaitMs, &from);
        *arrivalNs = monotonicNs();
        if (got < HeaderSize + 11 || Received[1] != FlagLastFragment) continue;
        if (memcmp(Received + HeaderSize + 1, sent + HeaderSize + 1, 10) != 0) continue;  // an older one
        uint8_t ack[HeaderSize];
        putHeader(ack, FlagAck, HeaderSize, readSequence(Received));
        sendDatagram(path->clientSocket, from, ack, HeaderSize);
        size_t payloadBytes = static_cast<size_t>(length - HeaderSize);
        if (got != length || memcmp(Received + HeaderSize, sent + HeaderSize, payloadBytes) != 0) ++figures->damaged;
        if (readSequence(Received) != path->clientReliableSeq) ++figures->numberGaps;
        path->clientReliableSeq = readSequence(Received) + 1;
        return true;
    }
    return false;
}

bool serverTakesAck(const RelayPath& path, uint32_t sequence, int64_t* arrivalNs) {
    uint8_t ack[2048];
    int64_t endNs = monotonicNs() + int64_t{WaitMs} * 1000000;
    while (monotonicNs() < endNs) {
        int got = receiveDatagram(path.serverSocket, ack, sizeof ack, WaitMs, nullptr);
        *arrivalNs = monotonicNs();
        if (got == HeaderSize && ack[1] == FlagAck && readSequence(ack) == sequence) return true;
    }
    return false;
}

// Stop and wait, as a NetQuake server sends its reliable stream: the next message after the ack.
void runReliable(RelayPath* path, int payloadSize, int count, RunFigures* figures) {
    static uint8_t Datagram[MaxBenchDatagram];
    int length = HeaderSize + payloadSize;
    int64_t cpuBefore = processCpuNs(path->pid);
    for (int i = 0; i < count; ++i) {
        buildReliable(Datagram, payloadSize, i);
        uint32_t sequence = path->serverReliableSeq++;
        putHeader(Datagram, FlagLastFragment, length, sequence);
        ++figures->sent;
        bool acked = false;
        for (int attempt = 0; attempt <= MaxResends && !acked; ++attempt) {
            if (attempt > 0) ++figures->lost;
            int64_t sentNs = monotonicNs();
            sendDatagram(path->serverSocket, path->serverTo, Datagram, length);
            int64_t arrivalNs = 0, ackNs = 0;
            if (!clientTakesReliable(path, Datagram, length, &arrivalNs, figures)) continue;
            acked = serverTakesAck(*path, sequence, &ackNs);
            if (acked && attempt == 0) {
                figures->latencyNs.push_back(arrivalNs - sentNs);
                figures->roundTripNs.push_back(ackNs - sentNs);
            }
        }
        if (!acked) {
            fprintf(stderr, "%s: reliable message %d of %d bytes never acked; run stopped\n", path->name, i,
                    payloadSize);
            break;
        }
    }
    int64_t cpuAfter = processCpuNs(path->pid);
    if (cpuBefore >= 0 && cpuAfter >= 0) figures->cpuNs = cpuAfter - cpuBefore;
}

bool openForwarderPath(RelayPath* path) {
    path->name = "forwarder";
    path->serverSocket = openLoopbackSocket();
    path->clientSocket = openLoopbackSocket();
    int forwarder = openLoopbackSocket();
    if (path->serverSocket < 0 || path->clientSocket < 0 || forwarder < 0) return false;
    path->serverTo = loopbackAddress(boundPort(forwarder));
    path->pid = startForwarder(forwarder, loopbackAddress(boundPort(path->clientSocket)),
                               loopbackAddress(boundPort(path->serverSocket)));
    close(forwarder);
    return path->pid > 0;
}

double percentileUs(std::vector<int64_t>& values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return static_cast<double>(values[rank]) / 1000.0;
}

void printLatencies(std::vector<int64_t>& values) {
    printf(" %7.1f %7.1f %7.1f %8.1f", percentileUs(values, 0.50), percentileUs(values, 0.90),
           percentileUs(values, 0.99), percentileUs(values, 1.0));
}

void printRow(const char* kind, const RelayPath& path, int size, RunFigures& figures) {
    printf("%-10s %-9s %6d %6d %5d %5d %5d", kind, path.name, size, figures.sent, figures.lost, figures.damaged,
           figures.numberGaps);
    printLatencies(figures.latencyNs);
    int delivered = figures.sent > 0 ? figures.sent : 1;
    if (figures.cpuNs >= 0) {
        printf(" %9.2f", static_cast<double>(figures.cpuNs) / 1000.0 / delivered);
    } else {
        printf(" %9s", "n/a");
    }
    if (!figures.roundTripNs.empty()) {
        printf("   rtt p50 %.1f p99 %.1f max %.1f", percentileUs(figures.roundTripNs, 0.5),
               percentileUs(figures.roundTripNs, 0.99), percentileUs(figures.roundTripNs, 1.0));
    }
    printf("\n");
    fflush(stdout);
}

void printHeading() {
    printf("%-10s %-9s %6s %6s %5s %5s %5s %7s %7s %7s %8s %9s\n", "kind", "path", "bytes", "sent", "lost", "bad",
           "gaps", "p50us", "p90us", "p99us", "maxus", "cpu/dg us");
}

bool connectProxyPath(RelayPath* path, Session* session, const ProxyProcess& proxy, int proxyPort) {
    if (!admitClient(session, proxyPort) || !connectThroughProxy(session)) return false;
    drainSocket(session->clientSocket, 50);
    path->name = "proxy";
    path->pid = proxy.pid;
    path->serverSocket = session->serverDataSocket;
    path->serverTo = session->serverPeer;
    path->clientSocket = session->clientSocket;
    return true;
}

void runAll(RelayPath* paths, int count, int paceUs) {
    const int unreliableSizes[] = {60, 1400};
    const int reliableSizes[] = {1024, 8000, 32000, 64000};
    int reliableCount = std::max(count / 10, 50);
    printf("unreliable: %d datagrams per row, one at a time, one every %d us (after %d warm-up)\n", count, paceUs,
           WarmUpCount);
    printf("reliable: %d messages per row, stop and wait, latency = server send to client receive,\n"
           "  rtt = server send to the client's ack back at the server, lost = resends\n",
           reliableCount);
    printLoad();
    printHeading();
    for (int size : unreliableSizes) {
        for (int p = 0; p < 2; ++p) {
            RunFigures figures;
            runUnreliable(&paths[p], size, count, paceUs, &figures);
            printRow("unreliable", paths[p], size, figures);
        }
    }
    for (int payload : reliableSizes) {
        for (int p = 0; p < 2; ++p) {
            RunFigures figures;
            runReliable(&paths[p], payload, reliableCount, &figures);
            printRow("reliable", paths[p], HeaderSize + payload, figures);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROXY_BINARY [unreliable_count] [pace_us]\n", argv[0]);
        return 2;
    }
    int count = argc > 2 ? atoi(argv[2]) : 20000;
    int paceUs = argc > 3 ? atoi(argv[3]) : 100;
    count = std::min(std::max(count, 100), 100000);
    paceUs = std::min(std::max(paceUs, 0), 10000);
    alarm(120);  // a hung run ends; the children die with the bench
    int proxyPort = freeLoopbackPort();
    ProxyProcess proxy{};
    if (proxyPort < 0 || !startProxy(&proxy, argv[1], proxyPort, nullptr)) return 1;
    Session session;
    RelayPath paths[2] = {};
    if (!connectProxyPath(&paths[0], &session, proxy, proxyPort) || !openForwarderPath(&paths[1])) {
        stopProxy(&proxy, true);
        return 1;
    }
    runAll(paths, count, paceUs);
    stopForwarder(paths[1].pid);
    int64_t proxyCpuNs = stopProxy(&proxy, false);
    printf("proxy CPU for the whole run (kernel accounting at exit): %.1f ms\n",
           static_cast<double>(proxyCpuNs) / 1e6);
    closeSession(&session);
    return 0;
}
