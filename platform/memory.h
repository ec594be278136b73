// Control of the in-memory platform (memory.cpp): tests and fuzzers play the clients and servers
// datagram by datagram, set the clocks and read what the proxy sent, printed and wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fakeplatform {

using platform::NetAddress;

struct Datagram {
    NetAddress from;  // the sending socket's bound address
    NetAddress to;
    std::vector<uint8_t> bytes;
};

// Everything back to a fresh machine: no sockets, no files, no queued or sent datagrams, empty
// console, seconds clock 1000, millisecond counter 0 at 1000 ticks per ms, this machine 127.0.0.1,
// no faults, no break.
void reset();

// Clocks.
void setSeconds(uint32_t seconds);
void advanceSeconds(uint32_t seconds);
void setMilliseconds(uint64_t ms);  // the performance counter, in milliseconds
void advanceMilliseconds(uint64_t ms);
// Both clocks on together, as on a real machine: the seconds follow the counter from 1000 on.
void advanceClocks(uint64_t ms);
void setPerformanceFrequency(uint64_t ticksPerSecond);  // 0: no high-resolution counter

// Network. Binds to port 0 get ports 50000, 50001, ... in order; binds to ip 0 stay ip 0 and
// receive datagrams addressed to any ip with their port.
// Queues a datagram for the socket bound to `to`; false when no socket is bound there.
bool inject(const NetAddress& to, const NetAddress& from, const std::vector<uint8_t>& bytes);
// Datagrams the proxy sent since the last call, oldest first.
std::vector<Datagram> takeSent();
// The bound address of a socket, or {0,0} if it is not open.
NetAddress boundAddress(platform::Socket socket);
// Is a socket bound to this port open?
bool portOpen(uint16_t port);
int openSocketCount();
void setThisMachineAddress(bool available, uint32_t ip);
void addHostName(const std::string& name, uint32_t ip);
// Lookups started from now on for `name` answer this many milliseconds of the fake counter after
// they start (as addHostName or a dotted quad says, else failed); NeverAnswers: they stay pending.
constexpr uint64_t NeverAnswers = UINT64_MAX;
void setLookupDelay(const std::string& name, uint64_t delayMs);
// Lookups started and not yet given back (polled to the end or abandoned).
int lookupsTaken();
// The timeout the last waitReadable asked for (-1: unbounded).
int lastWaitTimeoutMs();

// Faults.
void failBindOnPort(uint16_t port, bool fail = true);  // binds to that port fail (or work again)
void failSocketOpen(bool fail);            // openUdpSocket returns NoSocket
void failFileOpen(bool fail);              // createNewFile fails
void failFileWritesAfter(size_t bytes);    // the disk is full after this many more bytes
void failNextFileWrite();                  // the next write finds its file gone
void failNextFileClose();                  // the next close reports what the disk could not keep
// A file already on the disk (createNewFile refuses its name).
void addFile(const std::string& name, const std::vector<uint8_t>& bytes = {});

// Console and files.
std::string takeConsole();  // console output since the last call
bool fileExists(const std::string& name);
std::vector<uint8_t> fileContents(const std::string& name);
bool fileOpen(const std::string& name);

// Break.
void requestBreak();

// Helpers for addresses in tests.
inline NetAddress loopback(uint16_t port, uint8_t last = 1) {
    return NetAddress{(127u << 24) | last, port};
}

}  // namespace fakeplatform
