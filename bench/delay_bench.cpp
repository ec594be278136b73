// CPU and memory of the tournament delay: 30 observers in the game watch a busy server live, then
// the same game through a 30-second delay line.
//
// Usage: delay_bench PROXY_BINARY [delay_seconds] [measured_seconds]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "bench/loopback.h"

namespace {

constexpr int Observers = 30;
constexpr int DatagramsPerSecond = 100;
constexpr int UnreliableSize = 400;
constexpr uint8_t ConnectRequest[] = {0x80, 0x00, 0x00, 0x0C, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3};

struct Watcher {
    int sock;
    sockaddr_in proxy;
    int messages;  // catch-up messages completed: record 1, stage 2, record 3
    uint32_t nextReliable;
};

struct Figures {
    int inGame = 0;
    int sent = 0;
    int64_t cpuNs = 0;
    long rssKiB = 0;
};

uint8_t Buffer[MaxBenchDatagram];
uint32_t ServerReliable = 0;

void sendReliable(int sock, const sockaddr_in& to, uint32_t sequence, const uint8_t* payload, int size) {
    putHeader(Buffer, FlagLastFragment, HeaderSize + size, sequence);
    memcpy(Buffer + HeaderSize, payload, static_cast<size_t>(size));
    sendDatagram(sock, to, Buffer, HeaderSize + size);
}

void sendServerReliable(const Session& s, const uint8_t* payload, int size) {
    sendReliable(s.serverDataSocket, s.serverPeer, ServerReliable++, payload, size);
}

// A NetQuake client's side of the catch-up: every reliable fragment acknowledged, "prespawn" after
// the server information and "spawn" after signon stage 2.
void serveWatcher(Watcher* w) {
    static uint8_t In[MaxBenchDatagram];
    int n;
    while ((n = receiveDatagram(w->sock, In, sizeof In, 0, nullptr)) > 0) {
        if (In[0] == 0x80 && n >= 7 && In[4] == 0x81) {
            w->proxy = loopbackAddress(In[5] | In[6] << 8);
            continue;
        }
        if (n < HeaderSize || (In[1] != FlagReliable && In[1] != FlagLastFragment)) continue;
        uint8_t ack[HeaderSize];
        putHeader(ack, FlagAck, HeaderSize, readSequence(In));
        sendDatagram(w->sock, w->proxy, ack, HeaderSize);
        if (In[1] != FlagLastFragment || w->messages >= 3) continue;
        const char* command = ++w->messages == 1 ? "prespawn" : w->messages == 2 ? "spawn" : nullptr;
        if (command == nullptr) continue;
        uint8_t payload[16] = {4};
        memcpy(payload + 1, command, strlen(command) + 1);
        sendReliable(w->sock, w->proxy, w->nextReliable++, payload, static_cast<int>(strlen(command)) + 2);
    }
}

// Streams the game for warm-up then measured seconds; the figures cover the measured part only.
bool run(const char* binary, int delay, int measuredSeconds, Figures* figures) {
    char delayText[16];
    snprintf(delayText, sizeof delayText, "%d", delay);
    // All 30 observers come from 127.0.0.1: the cap per address is lifted, this is no test of it.
    const char* options[] = {"-o", "30", "-a", "0", "-D", delayText, nullptr};
    int port = freeLoopbackPort();
    ProxyProcess proxy{};
    Session s{};
    if (port < 0 || !startProxy(&proxy, binary, port, options)) return false;
    if (!admitClient(&s, port) || !connectThroughProxy(&s)) return stopProxy(&proxy, true), false;
    ServerReliable = 0;
    const uint8_t info[] = {11, 15, 0, 0, 0, 16, 0, 'T', 0, 'm', 'a', 'p', 's', '/', 'e', '1', 'm', '1',
                            '.', 'b', 's', 'p', 0, 0, 0, 25, 1};
    const uint8_t stage2[] = {25, 2}, stage3[] = {25, 3}, print[] = {8, 'h', 'i', '\n', 0};
    sendServerReliable(s, info, sizeof info);
    sendServerReliable(s, stage2, sizeof stage2);
    sendServerReliable(s, stage3, sizeof stage3);
    std::vector<Watcher> watchers(Observers);
    for (Watcher& w : watchers) {
        w = Watcher{openLoopbackSocket(), loopbackAddress(port), 0, 0};
        sendDatagram(w.sock, w.proxy, ConnectRequest, sizeof ConnectRequest);
    }
    uint8_t unreliable[UnreliableSize];
    putHeader(unreliable, FlagUnreliable, UnreliableSize, 0);
    unreliable[HeaderSize] = 7;
    memset(unreliable + HeaderSize + 1, 0, 4);
    memset(unreliable + HeaderSize + 5, 1, UnreliableSize - HeaderSize - 5);
    int64_t stepNs = 1000000000 / DatagramsPerSecond, startNs = monotonicNs();
    // The observers are in the game a delay after the level starts; the line is full a delay later.
    int64_t measureFromNs = startNs + (2LL * delay + 5) * 1000000000;
    int64_t endNs = measureFromNs + measuredSeconds * 1000000000LL;
    int64_t cpuBefore = -1;
    for (int i = 0; monotonicNs() < endNs; i++) {
        if (cpuBefore < 0 && monotonicNs() >= measureFromNs) {
            cpuBefore = processCpuNs(proxy.pid);
            figures->sent = 0;
        }
        putHeader(unreliable, FlagUnreliable, UnreliableSize, static_cast<uint32_t>(i));
        sendDatagram(s.serverDataSocket, s.serverPeer, unreliable, UnreliableSize);
        // A reliable print each half second: the observers answer it, so the proxy hears them.
        if (i % (DatagramsPerSecond / 2) == 0) sendServerReliable(s, print, sizeof print);
        figures->sent++;
        int64_t nextNs = startNs + (i + 1) * stepNs;
        while (monotonicNs() < nextNs) {
            for (Watcher& w : watchers) serveWatcher(&w);
            while (receiveDatagram(s.clientSocket, Buffer, sizeof Buffer, 0, nullptr) > 0) {
            }
            int64_t leftNs = nextNs - monotonicNs();
            if (leftNs > 200000) usleep(100);
        }
    }
    figures->cpuNs = processCpuNs(proxy.pid) - cpuBefore;
    figures->rssKiB = residentKiB(proxy.pid);
    for (Watcher& w : watchers) {
        figures->inGame += w.messages >= 3 ? 1 : 0;
        close(w.sock);
    }
    stopProxy(&proxy, false);
    closeSession(&s);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROXY_BINARY [delay_seconds] [measured_seconds]\n", argv[0]);
        return 2;
    }
    int delay = argc > 2 ? atoi(argv[2]) : 30;
    int measured = argc > 3 ? atoi(argv[3]) : 20;
    delay = delay < 1 ? 1 : delay > 300 ? 300 : delay;
    measured = measured < 1 ? 1 : measured > 120 ? 120 : measured;
    // A hung run ends; the proxies die with the bench. Each run fills the line twice over first.
    alarm(static_cast<unsigned>(4 * (2 * delay + 5 + measured) + 60));
    printf("%d observers, %d unreliable datagrams of %d bytes a second and 2 reliable prints\n", Observers,
           DatagramsPerSecond, UnreliableSize);
    printLoad();
    printf("%8s %8s %10s %14s %10s\n", "delay s", "watching", "datagrams", "cpu/dg us", "rss KiB");
    for (int d : {0, delay}) {
        Figures figures;
        if (!run(argv[1], d, measured, &figures)) return 1;
        printf("%8d %8d %10d %14.2f %10ld\n", d, figures.inGame, figures.sent,
               static_cast<double>(figures.cpuNs) / 1000.0 / figures.sent, figures.rssKiB);
        fflush(stdout);
    }
    return 0;
}
