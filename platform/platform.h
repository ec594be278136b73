// The operating-system verbs the proxy uses. Exactly one implementation is linked into a binary:
// posix.cpp for the program, memory.cpp (an in-memory fake driven by tests) for tests and fuzzers.
// OS quirks end here: a refused send is "nothing happened", a failed receive is "no datagram".
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using Socket = int;
constexpr Socket NoSocket = -1;

// IPv4 address and port, both in host byte order; ip 0 is "any interface".
struct NetAddress {
    uint32_t ip = 0;
    uint16_t port = 0;
};

inline bool operator==(const NetAddress& a, const NetAddress& b) { return a.ip == b.ip && a.port == b.port; }
inline bool operator!=(const NetAddress& a, const NetAddress& b) { return !(a == b); }

// Network library start and clean-up (Winsock needs them; POSIX does nothing).
bool startNetwork();
void stopNetwork();

// UDP sockets. openUdpSocket may return NoSocket; every other verb accepts NoSocket and does nothing.
Socket openUdpSocket();
// Binds to `address` (port 0: any free port) and writes the bound address back into it.
bool bindSocket(Socket socket, NetAddress& address);
void closeSocket(Socket socket);
// One datagram into `buffer`; returns its length, or 0 when there is none (errors included).
// A datagram longer than `capacity` is cut to it.
int receiveFrom(Socket socket, uint8_t* buffer, int capacity, NetAddress& from);
void sendTo(Socket socket, const uint8_t* data, int length, const NetAddress& to);

// Batches of datagrams on one socket: one system call for all of them where the system has one
// (recvmmsg and sendmmsg on Linux), else one call each.
constexpr int MaxBatch = 32;
constexpr int MaxBatchHead = 24;
// One datagram of a batch to send: its own first bytes, then the batch's shared body.
struct BatchHead {
    uint8_t bytes[MaxBatchHead];
    int length;
    NetAddress to;
};
// Sends `count` (at most MaxBatch) datagrams, each its head followed by the `bodyLength` bytes of
// `body` (none: the heads alone), in order; one the system refuses is skipped, as sendTo skips it.
void sendBatch(Socket socket, const BatchHead* heads, int count, const uint8_t* body, int bodyLength);
// One datagram of a received batch, into the caller's buffer.
struct Received {
    uint8_t* buffer;
    int capacity;
    int length;
    NetAddress from;
};
// The datagrams waiting on `socket`, at most `count`, each as receiveFrom takes one (cut to its
// capacity): returns how many came, 0 when none was waiting. Never waits.
int receiveBatch(Socket socket, Received* batch, int count);
// receiveBatch where the system has no call for it: one receiveFrom each.
inline int receiveEach(Socket socket, Received* batch, int count) {
    int n = 0;
    while (batch != nullptr && n < count && n < MaxBatch &&
           (batch[n].length = receiveFrom(socket, batch[n].buffer, batch[n].capacity, batch[n].from)) > 0)
        ++n;
    return n;
}

// Waits until one of `sockets` is readable: ready[i] is set for each readable one.
// timeoutMs < 0 waits without limit. Returns the number of ready sockets, 0 after the time-out,
// -1 on an error or when the console break arrived (breakRequested() tells which).
constexpr int MaxWaitSockets = 64;
int waitReadable(const Socket* sockets, int count, bool* ready, int timeoutMs);

// Host name lookup: the first IPv4 address of `name`. Blocks: for start-up only.
bool resolveHostName(const char* name, uint32_t& ip);

// Host name lookup off the loop's thread, so a slow resolver never stalls the game. At most
// MaxLookups run at once; startLookup returns a handle, or -1 when none can start. A handle stays
// taken until pollLookup has returned Found or Failed, or abandonLookup gives it up (a lookup
// still running then ends unseen).
constexpr int MaxLookups = 4;
enum class LookupStatus { Pending, Found, Failed };
int startLookup(const char* name);
LookupStatus pollLookup(int handle, uint32_t& ip);
void abandonLookup(int handle);
// The first IPv4 address of this machine's own host name.
bool thisMachineAddress(uint32_t& ip);

// Seconds of a monotonic clock, for silence, resend and welcome timings.
uint32_t monotonicSeconds();
// The high-resolution counter for the bandwidth limiter; frequency 0 means there is none.
uint64_t performanceFrequency();
uint64_t performanceCounter();

void writeConsole(const char* text, size_t length);

// Console break (SIGINT, SIGTERM and a hang-up on POSIX). The handler only records the request and
// wakes the wait; the loop's thread runs the shutdown.
void installBreakHandler();
bool breakRequested();

void raiseThreadPriority();

// Demo files: binary, written from the start.
using File = intptr_t;
constexpr File NoFile = -1;
// Creates a file that must not exist yet (never opens or empties an existing one): NoFile when it
// cannot, with `exists` telling whether a file of that name was in the way.
File createNewFile(const char* name, bool& exists);
bool writeFile(File file, const void* data, size_t length);
// False when the last of the data could not be written out.
bool closeFile(File file);
// Why the last file operation that failed did so, for the operator ("No space left on device").
const char* lastFileError();

}  // namespace platform
