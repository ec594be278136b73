// Loopback plumbing shared by the benchmark programs: sockets, clocks, CPU readings, the proxy as a
// child process, and the fake game client and server that connect through it.
#include "bench/loopback.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

void putHeader(uint8_t* datagram, uint8_t flags, int length, uint32_t sequence) {
    datagram[0] = 0;
    datagram[1] = flags;
    datagram[2] = static_cast<uint8_t>(length >> 8);
    datagram[3] = static_cast<uint8_t>(length);
    datagram[4] = static_cast<uint8_t>(sequence >> 24);
    datagram[5] = static_cast<uint8_t>(sequence >> 16);
    datagram[6] = static_cast<uint8_t>(sequence >> 8);
    datagram[7] = static_cast<uint8_t>(sequence);
}

uint32_t readSequence(const uint8_t* datagram) {
    return (uint32_t{datagram[4]} << 24) | (uint32_t{datagram[5]} << 16) | (uint32_t{datagram[6]} << 8) |
           uint32_t{datagram[7]};
}

int readLength(const uint8_t* datagram) { return (datagram[2] << 8) | datagram[3]; }

int64_t monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void printLoad() {
    FILE* file = fopen("/proc/loadavg", "r");
    double load = -1;
    if (file != nullptr) {
        if (fscanf(file, "%lf", &load) != 1) load = -1;
        fclose(file);
    }
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    bool busy = load > 0.5 * static_cast<double>(cores);
    printf("load average %.2f on %ld cores%s\n", load, cores,
           busy ? " (busy: the tails say more about the machine than the relay)" : "");
}

void sleepUntilNs(int64_t deadlineNs) {
    timespec until{static_cast<time_t>(deadlineNs / 1000000000), static_cast<long>(deadlineNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int openLoopbackSocket() { return openSocketAt(INADDR_LOOPBACK); }

int openSocketAt(uint32_t address) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    sockaddr_in local = loopbackAddress(0);
    local.sin_addr.s_addr = htonl(address);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(sock);
        return -1;
    }
    int bufferBytes = 1 << 20;  // room for a burst of the largest datagrams
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    return sock;
}

int boundPort(int sock) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
    return ntohs(local.sin_port);
}

bool sameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// The port is free when this returns; the proxy binds it a moment later.
int freeLoopbackPort() {
    int sock = openLoopbackSocket();
    if (sock < 0) return -1;
    int port = boundPort(sock);
    close(sock);
    return port;
}

void sendDatagram(int sock, const sockaddr_in& to, const uint8_t* bytes, int length) {
    ssize_t sent = sendto(sock, bytes, static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(&to),
                          sizeof to);
    (void)sent;  // a lost send shows as a lost datagram at the other end
}

bool ackReliable(int sock, const sockaddr_in& to, const uint8_t* datagram, uint32_t* expected) {
    uint8_t ack[HeaderSize];
    uint32_t sequence = readSequence(datagram);
    putHeader(ack, FlagAck, HeaderSize, sequence);
    sendDatagram(sock, to, ack, HeaderSize);
    if (sequence != *expected) return false;
    ++*expected;
    return true;
}

static int receiveReady(int sock, uint8_t* buffer, int capacity, sockaddr_in* from) {
    sockaddr_in source{};
    socklen_t sourceLength = sizeof source;
    ssize_t length = recvfrom(sock, buffer, static_cast<size_t>(capacity), MSG_DONTWAIT,
                              reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (length < 0) return -1;
    if (from != nullptr) *from = source;
    return static_cast<int>(length);
}

int receiveDatagram(int sock, uint8_t* buffer, int capacity, int timeoutMs, sockaddr_in* from) {
    pollfd waiting{sock, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMs) <= 0) return -1;
    return receiveReady(sock, buffer, capacity, from);
}

int receiveBefore(int sock, uint8_t* buffer, int capacity, int64_t deadlineNs, sockaddr_in* from) {
    int64_t leftNs = std::max<int64_t>(deadlineNs - monotonicNs(), 0);
    timespec timeout{static_cast<time_t>(leftNs / 1000000000), static_cast<long>(leftNs % 1000000000)};
    pollfd waiting{sock, POLLIN, 0};
    if (ppoll(&waiting, 1, &timeout, nullptr) <= 0) return -1;
    return receiveReady(sock, buffer, capacity, from);
}

void drainSocket(int sock, int ms) {
    static uint8_t Scratch[MaxBenchDatagram];
    int64_t endNs = monotonicNs() + int64_t{ms} * 1000000;
    for (int64_t now = monotonicNs(); now < endNs; now = monotonicNs()) {
        receiveDatagram(sock, Scratch, sizeof Scratch, static_cast<int>((endNs - now) / 1000000) + 1, nullptr);
    }
}

// schedstat holds the time on a CPU and the time waiting for one, in ns; -1 where it is missing.
static int64_t schedstatNs(pid_t pid, bool waiting) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    long long ns = -1;
    if (file != nullptr) {
        if (fscanf(file, waiting ? "%*s %lld" : "%lld", &ns) != 1) ns = -1;
        fclose(file);
    }
    return ns;
}

int64_t processWaitNs(pid_t pid) { return schedstatNs(pid, true); }

// Without schedstat: stat's utime and stime, fields 14 and 15, in clock ticks.
int64_t processCpuNs(pid_t pid) {
    int64_t onCpuNs = schedstatNs(pid, false);
    if (onCpuNs >= 0) return onCpuNs;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    if (file == nullptr) return -1;
    char line[1024];
    size_t length = fread(line, 1, sizeof line - 1, file);
    fclose(file);
    line[length] = '\0';
    const char* afterName = strrchr(line, ')');  // the command name may hold spaces
    unsigned long long userTicks = 0, systemTicks = 0;
    if (afterName == nullptr ||
        sscanf(afterName + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &userTicks,
               &systemTicks) != 2) {
        return -1;
    }
    return static_cast<int64_t>((userTicks + systemTicks) * (1000000000ull / sysconf(_SC_CLK_TCK)));
}

long residentKiB(pid_t pid) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    long kib = -1;
    while (file != nullptr && fgets(line, sizeof line, file) != nullptr)
        if (strncmp(line, "VmRSS:", 6) == 0) kib = atol(line + 6);
    if (file != nullptr) fclose(file);
    return kib;
}

[[noreturn]] static void forwardForever(int sock, const sockaddr_in& client, const sockaddr_in& server) {
    static uint8_t Buffer[MaxBenchDatagram];
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t length = recvfrom(sock, Buffer, sizeof Buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (length < 0 && errno == EINTR) continue;
        if (length < 0) _exit(1);
        const sockaddr_in& to = sameAddress(from, client) ? server : client;
        ssize_t sent = sendto(sock, Buffer, static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(&to),
                              sizeof to);
        (void)sent;
    }
}

pid_t startForwarder(int sock, const sockaddr_in& client, const sockaddr_in& server) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int ignored = setpriority(PRIO_PROCESS, 0, -10);
    (void)ignored;
    forwardForever(sock, client, server);
}

void stopForwarder(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

static void execProxy(const char* binary, int port, const char* const* extraOptions, const char* logPath) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the bench
    int log = open(logPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
    }
    char portText[16];
    snprintf(portText, sizeof portText, "%d", port);
    const char* argv[32] = {binary, "-p", portText, "-l", "127.0.0.1", "-r", "127.0.0.1"};
    int count = 7;
    for (int i = 0; extraOptions != nullptr && extraOptions[i] != nullptr && count < 31; ++i) {
        argv[count++] = extraOptions[i];
    }
    argv[count] = nullptr;
    execv(binary, const_cast<char* const*>(argv));
    _exit(127);
}

// A server-information request answered means the listening socket is bound.
static bool waitUntilListening(int port, pid_t pid) {
    static const uint8_t InfoRequest[] = {0x80, 0, 0, 12, 0x02, 'Q', 'U', 'A', 'K', 'E', 0, 3};
    int sock = openLoopbackSocket();
    if (sock < 0) return false;
    sockaddr_in proxy = loopbackAddress(port);
    uint8_t reply[2048];
    bool listening = false;
    for (int attempt = 0; attempt < 150 && !listening; ++attempt) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) break;
        sendDatagram(sock, proxy, InfoRequest, sizeof InfoRequest);
        int length = receiveDatagram(sock, reply, sizeof reply, 20, nullptr);
        listening = length > 5 && reply[0] == 0x80 && reply[4] == 0x83;
    }
    close(sock);
    return listening;
}

bool startProxy(ProxyProcess* proxy, const char* binary, int port, const char* const* extraOptions) {
    snprintf(proxy->logPath, sizeof proxy->logPath, "/tmp/skopos-bench-%d-%d.log", static_cast<int>(getpid()),
             port);
    proxy->pid = fork();
    if (proxy->pid < 0) return false;
    if (proxy->pid == 0) execProxy(binary, port, extraOptions, proxy->logPath);
    if (waitUntilListening(port, proxy->pid)) return true;
    fprintf(stderr, "the proxy did not answer on port %d (log: %s)\n", port, proxy->logPath);
    stopProxy(proxy, true);
    return false;
}

int64_t stopProxy(ProxyProcess* proxy, bool keepLog) {
    if (proxy->pid <= 0) return -1;
    kill(proxy->pid, SIGINT);
    rusage usage{};
    int status = 0;
    pid_t reaped = 0;
    for (int i = 0; i < 200 && reaped == 0; ++i) {
        reaped = wait4(proxy->pid, &status, WNOHANG, &usage);
        if (reaped == 0) usleep(10000);
    }
    if (reaped == 0) {
        fprintf(stderr, "the proxy ignored the break; killed (log: %s)\n", proxy->logPath);
        kill(proxy->pid, SIGKILL);
        wait4(proxy->pid, &status, 0, &usage);
        keepLog = true;
    }
    proxy->pid = 0;
    if (!keepLog) unlink(proxy->logPath);
    return (int64_t{usage.ru_utime.tv_sec} + usage.ru_stime.tv_sec) * 1000000000 +
           (int64_t{usage.ru_utime.tv_usec} + usage.ru_stime.tv_usec) * 1000;
}
