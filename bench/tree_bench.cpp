// A relay tree on one machine: a fake server streams a game to the main proxy, R relay proxies
// watch it as its observers (their hosts connect through them to the main proxy) and M observers
// watch each relay. The fake peers, one process on one epoll loop, check what reaches every
// observer; the figures compare the proxies' CPU per copy with a bare forwarder's per datagram.
//
// Usage: tree_bench PROXY_BINARY [-R relays] [-M observers_per_relay] [-r datagrams_per_second]
//                   [-s measured_seconds] [-m host_moves_per_second]
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "bench/tree.h"

TreeRun run;

namespace {

constexpr int64_t SetupLimitNs = 60 * NsPerSecond;
constexpr int64_t AdmitStepNs = 100 * NsPerMs;  // 10 connect requests a second at each proxy
constexpr int64_t RejoinGraceNs = 5 * NsPerSecond;
constexpr int64_t DrainNs = 2 * NsPerSecond;  // and up to ten while prints are on their way
constexpr int64_t LongestDrainNs = 10 * NsPerSecond;
constexpr int64_t ObserverMoveStepNs = 100 * NsPerMs;
constexpr int64_t EqualLoadNs = 5 * NsPerSecond;
constexpr uint32_t SinkTag = 0xFFFFFFF0, ControlTag = 0xFFFFFFF1, DataTag = 0xFFFFFFF2;

struct ProxyFigures {
    ProxyProcess process{};
    int port = 0;
    int64_t cpuNs[2] = {}, waitNs[2] = {};
    long residentKiB[2] = {};
};

// Datagrams the kernel dropped for a full receive buffer, by the sockets that were to take them.
struct Drops {
    uint64_t clients = 0;  // the fake hosts and observers
    uint64_t uplinks = 0;  // the relays' sockets facing the main proxy
    uint64_t others = 0;   // on 127.0.0.1: the proxies' client ports, the fake server, the forwarder
};

struct Bench {
    const char* binary = nullptr;
    std::vector<ProxyFigures> proxies;  // the main proxy, then the relays
    pid_t forwarder = 0;
    int sink = -1, epoll = -1;
    int64_t forwarded = 0, forwarderCpuNs[2] = {}, peersCpuNs[2] = {}, peersWaitNs[2] = {};
    Drops drops[2];
    int64_t startNs = 0, measureStartNs = 0, stopNs = 0;
    int observersInGame = 0, startLevel = 1;
    bool relaysCalled = false, levelChanged = false;
} bench;

int observerCount() { return run.relays * run.observersPerRelay; }
Client& relayHost(int relay) { return run.clients[static_cast<size_t>(1 + relay)]; }
Client& observer(int relay, int m) {
    return run.clients[static_cast<size_t>(1 + run.relays + relay * run.observersPerRelay + m)];
}
uint32_t address(int a, int b, int c, int d) {
    return static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(c) << 8 |
           static_cast<uint32_t>(d);
}

[[noreturn]] void onAlarm(int) {
    static const char Text[] = "tree: the run hung and was stopped\n";
    ssize_t ignored = write(STDERR_FILENO, Text, sizeof Text - 1);
    (void)ignored;
    _exit(2);  // the proxies and the forwarder die with the bench
}

bool watch(int sock, uint32_t tag) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = tag;
    return sock >= 0 && epoll_ctl(bench.epoll, EPOLL_CTL_ADD, sock, &event) == 0;
}

bool addClient(Role role, int relay, uint32_t from, int proxyPort, int64_t moveStepNs, const char* say) {
    Client c;
    c.sock = openSocketAt(from);
    c.role = role;
    c.relay = relay;
    c.listening = loopbackAddress(proxyPort);
    c.moveStepNs = moveStepNs;
    c.sayOnAccept = say;
    run.clients.push_back(c);
    return watch(c.sock, static_cast<uint32_t>(run.clients.size() - 1));
}

bool startProxies() {
    char observers[16], relayObservers[16], remote[32];
    snprintf(observers, sizeof observers, "%d", run.relays);
    snprintf(relayObservers, sizeof relayObservers, "%d", run.observersPerRelay);
    bench.proxies.resize(static_cast<size_t>(1 + run.relays));
    for (int p = 0; p <= run.relays; p++) {
        // Each relay faces the main proxy from an address of its own, as relays on other machines do.
        snprintf(remote, sizeof remote, "127.1.%d.1", p);
        const char* mainOptions[] = {"-o", observers, nullptr};
        const char* relayOptions[] = {"-o", relayObservers, "-r", remote, nullptr};
        ProxyFigures& proxy = bench.proxies[static_cast<size_t>(p)];
        proxy.port = freeLoopbackPort();
        if (!startProxy(&proxy.process, bench.binary, proxy.port, p == 0 ? mainOptions : relayOptions)) return false;
    }
    return true;
}

bool startPeers() {
    Server& s = run.server;
    s.controlSock = openLoopbackSocket();
    s.dataSock = openLoopbackSocket();
    s.forwarderSock = openLoopbackSocket();
    bench.sink = openLoopbackSocket();
    int forwarder = openLoopbackSocket();
    if (forwarder < 0 || bench.sink < 0 || s.forwarderSock < 0) return false;
    s.forwarder = loopbackAddress(boundPort(forwarder));
    bench.forwarder = startForwarder(forwarder, loopbackAddress(boundPort(bench.sink)),
                                     loopbackAddress(boundPort(s.forwarderSock)));
    close(forwarder);
    if (!watch(s.controlSock, ControlTag) || !watch(s.dataSock, DataTag) || !watch(bench.sink, SinkTag)) return false;

    char say[64];
    int64_t hostStepNs = NsPerSecond / run.hostMoves;
    run.clients.reserve(static_cast<size_t>(1 + run.relays + observerCount()));
    snprintf(say, sizeof say, "proxy:connect 127.0.0.1:%d", boundPort(s.controlSock));
    bool opened = addClient(Role::MainHost, -1, address(127, 0, 0, 2), bench.proxies[0].port, hostStepNs, say);
    snprintf(say, sizeof say, "proxy:connect 127.0.0.1:%d", bench.proxies[0].port);
    for (int r = 0; r < run.relays; r++)
        opened &= addClient(Role::RelayHost, r, address(127, 2, r, 1), bench.proxies[size_t(1 + r)].port, hostStepNs,
                            say);
    for (int r = 0; r < run.relays; r++)
        for (int m = 0; m < run.observersPerRelay; m++)
            opened &= addClient(Role::Observer, r, address(127, 3, r, m + 1), bench.proxies[size_t(1 + r)].port,
                                ObserverMoveStepNs, "");
    return opened;
}

Drops readDrops() {
    Drops drops;
    FILE* file = fopen("/proc/net/udp", "r");
    char line[512];
    while (file != nullptr && fgets(line, sizeof line, file) != nullptr) {
        unsigned stored, port;
        unsigned long long dropped;
        if (sscanf(line, "%*d: %x:%x %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu", &stored, &port, &dropped) != 3)
            continue;
        uint32_t ip = ntohl(stored);  // the file shows the address as stored, in network order
        uint32_t network = ip >> 16;
        if (network == 0x7F02 || network == 0x7F03 || ip == address(127, 0, 0, 2))
            drops.clients += dropped;
        else if (network == 0x7F01)
            drops.uplinks += dropped;
        else
            drops.others += dropped;
    }
    if (file != nullptr) fclose(file);
    return drops;
}

void readProxies(int at) {
    for (ProxyFigures& proxy : bench.proxies) {
        proxy.cpuNs[at] = processCpuNs(proxy.process.pid);
        proxy.waitNs[at] = processWaitNs(proxy.process.pid);
        proxy.residentKiB[at] = residentKiB(proxy.process.pid);
    }
    bench.forwarderCpuNs[at] = processCpuNs(bench.forwarder);
    bench.peersCpuNs[at] = processCpuNs(getpid());
    bench.peersWaitNs[at] = processWaitNs(getpid());
    bench.drops[at] = readDrops();
}

void startMeasuring(int64_t nowNs) {
    uint64_t requests = 0, rejects = 0;
    for (const Client& c : run.clients) {
        requests += c.connectRequests;
        rejects += c.rejects;
    }
    printf("joining: %d/%d observers in the game after %.1f s (%llu connect requests, %llu rejected); "
           "measuring %d s\n",
           bench.observersInGame, observerCount(), static_cast<double>(nowNs - bench.startNs) / 1e9,
           (unsigned long long)requests, (unsigned long long)rejects, run.seconds);
    fflush(stdout);
    run.phase = Phase::Measuring;
    run.measureFirstIndex = run.server.nextIndex;
    bench.startLevel = run.server.level;
    bench.measureStartNs = nowNs;
    readProxies(0);
}

void stopMeasuring(int64_t nowNs) {
    readProxies(1);
    stopStreaming();
    run.phase = Phase::Draining;
    bench.stopNs = nowNs;
}

// The run's steps: relays join once the main host plays, measuring once the observers are in.
void direct(int64_t nowNs) {
    if (!bench.relaysCalled && run.clients[0].inGame) {
        bench.relaysCalled = true;
        for (int r = 0; r < run.relays; r++) relayHost(r).connectDueNs = nowNs + (r + 1) * AdmitStepNs;
    }
    int64_t measuredNs = nowNs - bench.measureStartNs;
    if (run.phase == Phase::Joining &&
        (bench.observersInGame == observerCount() || nowNs - bench.startNs > SetupLimitNs))
        startMeasuring(nowNs);
    else if (run.phase == Phase::Measuring && !bench.levelChanged && measuredNs >= run.seconds * NsPerSecond / 2) {
        bench.levelChanged = true;
        startIntermission(nowNs);
    } else if (run.phase == Phase::Measuring && measuredNs >= run.seconds * NsPerSecond) {
        stopMeasuring(nowNs);
    }
}

void receiveAll(int sock, uint32_t tag) {
    static uint8_t Buffer[MaxBenchDatagram];
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t got = recvfrom(sock, Buffer, sizeof Buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        if (got < 0) return;
        run.nowNs = monotonicNs();  // the lag counts to this datagram, not to the start of the pass
        int length = static_cast<int>(got);
        if (run.phase == Phase::Measuring) run.datagramsIn++;
        if (tag < run.clients.size())
            clientTakesDatagram(run.clients[tag], Buffer, length, from);
        else if (tag == ControlTag)
            serverTakesControl(Buffer, length, from);
        else if (tag == DataTag)
            serverTakesDatagram(Buffer, length, from);
        else if (run.phase == Phase::Measuring)
            bench.forwarded++;
    }
}

// Every observer in the game has the last print: what is missing now is lost.
bool printsArrived() {
    for (const Client& c : run.clients)
        if (c.role == Role::Observer && c.inGame && c.nextPrint != run.server.nextPrint) return false;
    return true;
}

bool drained() {
    int64_t sinceStopNs = run.nowNs - bench.stopNs;
    return run.phase == Phase::Draining && sinceStopNs > DrainNs && (sinceStopNs > LongestDrainNs || printsArrived());
}

void serveUntilDrained() {
    epoll_event events[256];
    int64_t nextTickNs = 0;
    run.clients[0].connectDueNs = monotonicNs();
    for (;;) {
        run.nowNs = monotonicNs();
        if (drained()) return;
        serverTick(run.nowNs);
        if (run.nowNs >= nextTickNs) {  // the clients' timers, once a millisecond
            nextTickNs = run.nowNs + NsPerMs;
            int inGame = 0;
            for (Client& c : run.clients) {
                clientTick(c, run.nowNs);
                inGame += c.role == Role::Observer && c.inGame;
            }
            bench.observersInGame = inGame;
        }
        direct(run.nowNs);
        int ready = epoll_wait(bench.epoll, events, 256, 1);
        for (int i = 0; i < ready; i++) {
            uint32_t tag = events[i].data.u32;
            int sock = tag < run.clients.size() ? run.clients[tag].sock
                       : tag == ControlTag      ? run.server.controlSock
                       : tag == DataTag         ? run.server.dataSock
                                                : bench.sink;
            receiveAll(sock, tag);
        }
    }
}

}  // namespace

void relayHostInGame(int relay, int64_t nowNs) {
    for (int m = 0; m < run.observersPerRelay; m++) observer(relay, m).connectDueNs = nowNs + (m + 1) * AdmitStepNs;
}

namespace {

// The game datagrams due to an observer: the measured part of every level, less, after a level
// change, the time it took to come back (at most the grace).
uint64_t dueTo(const Client& c) {
    const Server& s = run.server;
    uint64_t due = 0;
    for (int level = bench.startLevel; level <= s.level && level <= MaxLevels; level++) {
        uint32_t first = run.measureFirstIndex;
        if (level > bench.startLevel) {
            uint32_t graceEnd = s.levelFirst[level] + static_cast<uint32_t>(RejoinGraceNs / NsPerMs * run.rate / 1000);
            uint32_t joined = c.windowOpen[level] ? c.windowFirst[level] : UINT32_MAX;
            first = std::max(s.levelFirst[level], std::min(joined, graceEnd));
        }
        if (s.levelEnd[level] > first) due += s.levelEnd[level] - first;
    }
    return due;
}

double lagPercentileMs(double fraction) {
    uint64_t total = 0, seen = 0;
    for (uint32_t count : run.lagHistogram) total += count;
    for (size_t bucket = 0; bucket < run.lagHistogram.size(); bucket++) {
        seen += run.lagHistogram[bucket];
        if (total > 0 && static_cast<double>(seen) >= fraction * static_cast<double>(total))
            return static_cast<double>(bucket + 1) * LagBucketNs / 1e6;
    }
    return 0;
}

struct Totals {
    uint64_t due = 0, received = 0, stale = 0, damaged = 0, views = 0, bad = 0;
    uint64_t printsLost = 0, printsTorn = 0, printsRepeated = 0;
    int inGame = 0, hostsInGame = 0, rejoined = 0;
    double rejoinMaxS = 0;
};

Totals addUp() {
    Totals t;
    int nextLevel = bench.startLevel + 1;
    for (const Client& c : run.clients) {
        bool playing = c.inGame && c.level == run.server.level && c.lastGameNs >= bench.stopNs - NsPerSecond;
        t.bad += c.badMessages;
        t.printsTorn += c.printsTorn;
        if (c.role == Role::RelayHost) t.hostsInGame += playing;
        if (c.role != Role::Observer) continue;
        t.inGame += playing;
        // Prints after the last one it took are lost too; one never in the game lost them all.
        t.printsLost += c.nextPrint >= 0 ? c.printsLost + run.server.nextPrint - static_cast<uint64_t>(c.nextPrint)
                                         : run.server.nextPrint;
        t.printsRepeated += c.printsRepeated;
        t.due += dueTo(c);
        t.received += c.received;
        t.stale += c.stale;
        t.damaged += c.damaged;
        t.views += c.views;
        if (nextLevel <= MaxLevels && c.windowOpen[nextLevel]) {
            t.rejoined++;
            double s = static_cast<double>(c.windowFirst[nextLevel] - run.server.levelFirst[nextLevel]) / run.rate;
            t.rejoinMaxS = std::max(t.rejoinMaxS, s);
        }
    }
    return t;
}

// The forwarder again, once the game has stopped, at the proxies' load: as many datagrams a second
// as the observers received copies, in bursts of one relay's observers, so that a wake-up serves a
// burst as a relay's does. CPU per datagram forwarded.
double forwarderAtEqualLoad(double copiesPerSecond) {
    const Server& s = run.server;
    static uint8_t Datagram[GameDatagramSize];
    int burst = run.observersPerRelay;
    if (copiesPerSecond < burst) return 0;
    int64_t stepNs = static_cast<int64_t>(static_cast<double>(NsPerSecond) * burst / copiesPerSecond);
    int64_t cpuNs = processCpuNs(bench.forwarder), startNs = monotonicNs(), nextNs = startNs;
    uint64_t forwarded = 0;
    for (int64_t nowNs = startNs; nowNs - startNs < EqualLoadNs + NsPerSecond / 10; nowNs = monotonicNs()) {
        if (nowNs >= nextNs && nowNs - startNs < EqualLoadNs) {
            for (int b = 0; b < burst; b++) sendDatagram(s.forwarderSock, s.forwarder, Datagram, GameDatagramSize);
            nextNs += stepNs;
        }
        while (recv(bench.sink, Datagram, sizeof Datagram, MSG_DONTWAIT) >= 0) forwarded++;
        pollfd sink{bench.sink, POLLIN, 0};
        timespec wait{0, std::max<int64_t>(0, std::min<int64_t>(nextNs - nowNs, NsPerMs))};
        ppoll(&sink, 1, &wait, nullptr);
    }
    cpuNs = processCpuNs(bench.forwarder) - cpuNs;
    double perDatagramUs = forwarded > 0 ? static_cast<double>(cpuNs) / 1000.0 / static_cast<double>(forwarded) : 0;
    printf("forwarder at the proxies' load: %.0f datagrams a second in bursts of %d, %.2f us per datagram\n",
           copiesPerSecond, burst, perDatagramUs);
    return perDatagramUs;
}

void printMemory() {
    printf("resident memory, KiB at the start -> end of the measured part:\n");
    for (size_t p = 0; p < bench.proxies.size(); p++) {
        const ProxyFigures& proxy = bench.proxies[p];
        char name[32];
        snprintf(name, sizeof name, p == 0 ? "main" : "relay %zu", p);
        printf("  %-8s %5ld -> %5ld%s", name, proxy.residentKiB[0], proxy.residentKiB[1], p % 4 == 0 ? "\n" : "");
    }
    printf("%s", bench.proxies.size() % 4 == 1 ? "" : "\n");
}

void report() {
    Totals t = addUp();
    double measuredS = static_cast<double>(bench.stopNs - bench.measureStartNs) / 1e9;
    int64_t proxiesCpuNs = 0, mainCpuNs = bench.proxies[0].cpuNs[1] - bench.proxies[0].cpuNs[0];
    for (const ProxyFigures& proxy : bench.proxies) proxiesCpuNs += proxy.cpuNs[1] - proxy.cpuNs[0];
    int64_t peersCpuNs = bench.peersCpuNs[1] - bench.peersCpuNs[0];
    uint64_t copies = t.received + t.views;
    double perCopyUs = copies > 0 ? static_cast<double>(proxiesCpuNs) / 1000.0 / static_cast<double>(copies) : 0;
    double forwarderUs = bench.forwarded > 0 ? static_cast<double>(bench.forwarderCpuNs[1] - bench.forwarderCpuNs[0]) /
                                                   1000.0 / static_cast<double>(bench.forwarded)
                                             : 0;
    printf("level change: %d/%d observers back in the game, the last %.2f s after the host\n", t.rejoined,
           observerCount(), t.rejoinMaxS);
    printf("relay hosts in the game at the end: %d/%d\n", t.hostsInGame, run.relays);
    printf("game datagrams to observers: due %llu, received %llu, stale %llu, damaged %llu; view datagrams %llu "
           "(the main host moved %llu times)\n",
           (unsigned long long)t.due, (unsigned long long)t.received, (unsigned long long)t.stale,
           (unsigned long long)t.damaged, (unsigned long long)t.views, (unsigned long long)run.clients[0].moves);
    printf("reliable prints: %u sent, lost %llu, torn %llu, repeated %llu; messages no client could walk: %llu\n",
           run.server.nextPrint, (unsigned long long)t.printsLost, (unsigned long long)t.printsTorn,
           (unsigned long long)t.printsRepeated, (unsigned long long)t.bad);
    printf("CPU over %.1f s: proxies %.1f %% of a core (main %.1f %%), %llu copies; forwarder %lld datagrams; "
           "fake peers %.1f %% of a core, %.2f us per datagram in\n",
           measuredS, static_cast<double>(proxiesCpuNs) / measuredS / 1e7,
           static_cast<double>(mainCpuNs) / measuredS / 1e7, (unsigned long long)copies, (long long)bench.forwarded,
           static_cast<double>(peersCpuNs) / measuredS / 1e7,
           run.datagramsIn > 0 ? static_cast<double>(peersCpuNs) / 1000.0 / static_cast<double>(run.datagramsIn) : 0);
    int64_t proxiesWaitNs = 0;
    for (const ProxyFigures& proxy : bench.proxies) proxiesWaitNs += proxy.waitNs[1] - proxy.waitNs[0];
    printf("ready but waiting for a CPU: the proxies %.1f %% of the time each, the fake peers %.1f %%\n",
           static_cast<double>(proxiesWaitNs) / static_cast<double>(bench.proxies.size()) / measuredS / 1e7,
           static_cast<double>(bench.peersWaitNs[1] - bench.peersWaitNs[0]) / measuredS / 1e7);
    const Drops* d = bench.drops;
    printf("receive buffers full in the measured part: fake clients %llu, relays facing the main proxy %llu, "
           "other sockets %llu datagrams dropped\n",
           (unsigned long long)(d[1].clients - d[0].clients), (unsigned long long)(d[1].uplinks - d[0].uplinks),
           (unsigned long long)(d[1].others - d[0].others));
    printMemory();
    forwarderAtEqualLoad(static_cast<double>(copies) / measuredS);
    printLoad();
    double delivered = t.due > 0 ? 100.0 * static_cast<double>(std::min(t.received, t.due)) / t.due : 0;
    printf("tree: observers %d/%d in game, delivered %.3f %%, reliable lost %llu, lag p50 %.1f ms p99 %.1f ms, "
           "CPU per copy %.2f us, forwarder %.2f us\n",
           t.inGame, observerCount(), delivered, (unsigned long long)(t.printsLost + t.printsTorn),
           lagPercentileMs(0.5), lagPercentileMs(0.99), perCopyUs, forwarderUs);
}

bool readOptions(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return false;
    bench.binary = argv[1];
    int option;
    optind = 2;
    while ((option = getopt(argc, argv, "R:M:r:s:m:")) != -1) {
        int value = atoi(optarg ? optarg : "0");
        switch (option) {
        case 'R': run.relays = value; break;
        case 'M': run.observersPerRelay = value; break;
        case 'r': run.rate = value; break;
        case 's': run.seconds = value; break;
        case 'm': run.hostMoves = value; break;
        default: return false;
        }
    }
    // A proxy takes at most 30 observers; the game datagram carries 30 bits of index.
    return run.relays >= 1 && run.relays <= 30 && run.observersPerRelay >= 1 && run.observersPerRelay <= 30 &&
           run.rate >= 1 && run.rate <= 1000 && run.seconds >= 2 && run.seconds <= 3600 && run.hostMoves >= 1 &&
           run.hostMoves <= 1000;
}

void stopAll() {
    bool keepLogs = addUp().inGame < observerCount();
    for (ProxyFigures& proxy : bench.proxies) stopProxy(&proxy.process, keepLogs);
    stopForwarder(bench.forwarder);
    if (keepLogs) printf("proxy logs kept: /tmp/skopos-bench-%d-*.log\n", static_cast<int>(getpid()));
}

}  // namespace

int main(int argc, char** argv) {
    if (!readOptions(argc, argv)) {
        fprintf(stderr, "usage: %s PROXY_BINARY [-R relays 1-30] [-M observers_per_relay 1-30] "
                        "[-r datagrams_per_second] [-s measured_seconds] [-m host_moves_per_second]\n", argv[0]);
        return 2;
    }
    signal(SIGALRM, onAlarm);
    alarm(static_cast<unsigned>(SetupLimitNs / NsPerSecond + run.seconds + 60));
    // The peers at the proxies' priority, so that other work on the machine delays neither side more.
    int ignored = setpriority(PRIO_PROCESS, 0, -10);
    (void)ignored;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;  // a socket for every fake client
    setrlimit(RLIMIT_NOFILE, &files);
    printf("tree: %d relays x %d observers, %d game datagrams a second (%d bytes), hosts move %d times a second, "
           "observers 10; level change after %d s with stage 2 of %d bytes\n",
           run.relays, run.observersPerRelay, run.rate, GameDatagramSize, run.hostMoves, run.seconds / 2, Stage2Bytes);
    printLoad();
    fflush(stdout);
    run.lagHistogram.assign(200000, 0);  // up to 2 s
    bench.epoll = epoll_create1(EPOLL_CLOEXEC);
    bench.startNs = monotonicNs();
    if (bench.epoll < 0 || !startProxies() || !startPeers()) {
        fprintf(stderr, "tree: could not start the proxies or open the peers' sockets\n");
        stopAll();
        return 1;
    }
    serveUntilDrained();
    report();
    stopAll();
    return 0;
}
