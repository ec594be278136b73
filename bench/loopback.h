// Loopback plumbing shared by the benchmark programs: sockets, clocks, CPU readings, the proxy as a
// child process, and the fake game client and server that connect through it.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <sys/types.h>

// Datagram framing as both ends of the proxy see it (big-endian header, 8 bytes).
constexpr int HeaderSize = 8;
constexpr uint8_t FlagReliable = 0x01;
constexpr uint8_t FlagAck = 0x02;
constexpr uint8_t FlagLastFragment = 0x09;
constexpr uint8_t FlagUnreliable = 0x10;
constexpr int MaxBenchDatagram = 65535;

void putHeader(uint8_t* datagram, uint8_t flags, int length, uint32_t sequence);
uint32_t readSequence(const uint8_t* datagram);
int readLength(const uint8_t* datagram);

int64_t monotonicNs();
// The one-minute load average: figures taken on a busy machine say so.
void printLoad();
void sleepUntilNs(int64_t deadlineNs);

// A UDP socket bound to 127.0.0.1 on a port the system picks; -1 on failure.
int openLoopbackSocket();
// The same on another loopback address (host order, e.g. 127.0.3.7): the proxies count clients by
// address, so a crowd of fake clients comes from many.
int openSocketAt(uint32_t address);
int boundPort(int sock);
sockaddr_in loopbackAddress(int port);
bool sameAddress(const sockaddr_in& a, const sockaddr_in& b);
int freeLoopbackPort();
void sendDatagram(int sock, const sockaddr_in& to, const uint8_t* bytes, int length);
// Acks a reliable fragment to its sender, as both ends of a connection do for every one; true when
// it is the fragment `expected` names, which then moves on; false for a repeat or one out of turn.
bool ackReliable(int sock, const sockaddr_in& to, const uint8_t* datagram, uint32_t* expected);
// One datagram within timeoutMs: its length, or -1 when nothing came.
int receiveDatagram(int sock, uint8_t* buffer, int capacity, int timeoutMs, sockaddr_in* from);
// The same with a deadline on the monotonic clock, to the nanosecond.
int receiveBefore(int sock, uint8_t* buffer, int capacity, int64_t deadlineNs, sockaddr_in* from);

// CPU time the process has used so far, in nanoseconds (scheduler accounting where the kernel has
// it, clock ticks otherwise); -1 when the process is gone.
int64_t processCpuNs(pid_t pid);
// Time the process was ready to run but waited for a CPU, in nanoseconds (-1 where the kernel does
// not tell): on a shared machine, what the other work cost it.
int64_t processWaitNs(pid_t pid);
// Resident memory of the process in KiB; -1 when the process is gone.
long residentKiB(pid_t pid);

// A bare forwarder in a child process: one socket, blocking recvfrom and sendto, what comes from
// `client` goes to `server` and everything else to `client`. At the proxy's scheduling priority,
// so neither is favoured. The child dies with the bench.
pid_t startForwarder(int sock, const sockaddr_in& client, const sockaddr_in& server);
void stopForwarder(pid_t pid);

struct ProxyProcess {
    pid_t pid;
    char logPath[64];
};

// Starts the proxy binary on `port`, facing loopback on both sides, with extra options (may be null,
// ends with a null). Waits until it answers a server-information request.
bool startProxy(ProxyProcess* proxy, const char* binary, int port, const char* const* extraOptions);
// Console break, then reaped; the log is removed unless asked to keep it. Returns the CPU time of
// the whole run from the kernel's accounting, in nanoseconds.
int64_t stopProxy(ProxyProcess* proxy, bool keepLog);

// The fake game client (host of the proxy) and the fake game server behind it.
struct Session {
    int clientSocket;
    sockaddr_in clientPeer;  // the proxy's socket for this client
    uint32_t clientReliableSeq;
    int serverControlSocket;
    int serverDataSocket;
    sockaddr_in serverPeer;  // the proxy's server socket
    char lastPrint[512];     // text of the prints that came with the last command
};

// Connect request to the proxy's listening port; the proxy's accept names the client's port.
bool admitClient(Session* session, int proxyPort);
// A reliable "say" string command; waits for the proxy's ack and keeps the prints on the way.
bool sayToProxy(Session* session, const char* text);
// "connect" to the fake server, the server's accept, then the proxy's "Connection accepted".
bool connectThroughProxy(Session* session);
void closeSession(Session* session);
// Takes everything that arrives on `sock` for `ms` milliseconds and forgets it.
void drainSocket(int sock, int ms);

// Appends the text of the svc_print messages in a datagram from the proxy to `text`.
void collectPrints(const uint8_t* datagram, int length, char* text, int capacity);
