// A standalone check of the POSIX platform on loopback sockets; it cannot share a binary with the
// in-memory platform, hence not a .cpp of the test glob. Build and run:
//   g++ -std=c++17 -I. tests/unit/posix_smoke.cc platform/posix.cpp -o posix_smoke && ./posix_smoke
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "platform/platform.h"

namespace {

int failures = 0;

void check(bool condition, const char* what) {
    if (!condition) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

constexpr uint32_t Loopback = 0x7F000001;

void checkDatagrams() {
    platform::NetAddress first{Loopback, 0}, second{Loopback, 0};
    platform::Socket a = platform::openUdpSocket();
    platform::Socket b = platform::openUdpSocket();
    check(platform::bindSocket(a, first) && first.port != 0 && first.ip == Loopback, "ephemeral bind");
    check(platform::bindSocket(b, second), "second bind");
    platform::NetAddress taken{0, first.port};
    platform::Socket c = platform::openUdpSocket();
    check(!platform::bindSocket(c, taken), "a held port cannot be bound again");

    bool ready[2] = {true, true};
    platform::Socket both[2] = {a, b};
    check(platform::waitReadable(both, 2, ready, 0) == 0 && !ready[0] && !ready[1], "nothing ready");
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    platform::sendTo(a, bytes, 5, second);
    check(platform::waitReadable(both, 2, ready, 1000) == 1 && !ready[0] && ready[1], "b readable");
    uint8_t buffer[3];
    platform::NetAddress from;
    check(platform::receiveFrom(b, buffer, sizeof buffer, from) == 3 && buffer[2] == 3, "datagram cut");
    check(from == first, "source address");
    check(platform::receiveFrom(b, buffer, sizeof buffer, from) == 0, "no datagram does not block");

    // An ICMP port unreachable surfaces as an error on the next receive: still "no datagram".
    platform::closeSocket(c);
    platform::NetAddress gone = second;
    platform::closeSocket(b);
    platform::sendTo(a, bytes, 5, gone);
    platform::waitReadable(&a, 1, ready, 100);
    check(platform::receiveFrom(a, buffer, sizeof buffer, from) == 0, "refused send reads as nothing");
    platform::closeSocket(a);
}

void checkBreak() {
    platform::installBreakHandler();
    platform::NetAddress any{Loopback, 0};
    platform::Socket socket = platform::openUdpSocket();
    platform::bindSocket(socket, any);
    check(!platform::breakRequested(), "no break yet");
    std::raise(SIGINT);  // before the wait: the pipe must still end it at once
    bool ready = true;
    check(platform::waitReadable(&socket, 1, &ready, -1) == -1, "break ends an unbounded wait");
    check(platform::breakRequested(), "break recorded");
    platform::closeSocket(socket);
}

void checkClocksAndNames() {
    uint64_t before = platform::performanceCounter();
    usleep(20000);
    uint64_t elapsed = platform::performanceCounter() - before;
    check(elapsed >= 20000000u && elapsed < 2000000000u, "nanosecond counter");
    uint32_t ip = 0;
    check(platform::resolveHostName("localhost", ip) && (ip >> 24) == 127, "localhost resolves");
    check(platform::resolveHostName("127.0.0.9", ip) && ip == 0x7F000009, "dotted quad resolves");
    check(!platform::resolveHostName("", ip), "empty name fails");
}

}  // namespace

int main() {
    platform::startNetwork();
    checkDatagrams();
    checkClocksAndNames();
    checkBreak();
    std::printf(failures == 0 ? "posix platform: ok\n" : "posix platform: %d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
