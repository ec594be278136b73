// A standalone check of the Windows platform, run under Wine by scripts/windows.sh: what the shared
// verbs promise and Winsock or Win32 do differently (cut datagrams, reset errors, lookup threads, files).
// The console break is left to the end-to-end tests: Wine turns a real SIGINT into it.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

static int failures = 0;

static void check(bool condition, const char* what) {
    if (!condition) std::printf("FAILED: %s\n", what), ++failures;
}

int main() {
    check(platform::startNetwork(), "Winsock starts");
    platform::NetAddress first{0x7F000001, 0}, second{0x7F000001, 0};
    platform::Socket a = platform::openUdpSocket(), b = platform::openUdpSocket();
    check(platform::bindSocket(a, first) && platform::bindSocket(b, second) && first.port != 0, "binds");
    platform::NetAddress taken{0, first.port};
    check(!platform::bindSocket(platform::openUdpSocket(), taken), "a held port cannot be bound again");
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    platform::sendTo(a, bytes, 5, second);
    bool ready[2] = {};
    platform::Socket both[2] = {a, b};
    check(platform::waitReadable(both, 2, ready, 1000) == 1 && ready[1], "b readable");
    uint8_t buffer[3];
    platform::NetAddress from;
    check(platform::receiveFrom(b, buffer, 3, from) == 3 && buffer[2] == 3 && from == first, "datagram cut");
    check(platform::receiveFrom(b, buffer, 3, from) == 0, "no datagram does not block");
    platform::closeSocket(b);
    platform::sendTo(a, bytes, 5, second);  // port unreachable: the reset must read as nothing
    platform::waitReadable(&a, 1, ready, 100);
    check(platform::receiveFrom(a, buffer, 3, from) == 0, "refused send reads as nothing");

    int lookup = platform::startLookup("localhost");
    uint32_t ip = 0;
    platform::LookupStatus status = platform::LookupStatus::Pending;
    for (int i = 0; i < 500 && status == platform::LookupStatus::Pending; ++i, Sleep(10))
        status = platform::pollLookup(lookup, ip);
    check(status == platform::LookupStatus::Found && (ip >> 24) == 127, "lookup off the loop's thread");
    platform::abandonLookup(platform::startLookup("127.0.0.2"));

    bool exists = false;
    DeleteFileA("smoke01.dem");
    platform::File file = platform::createNewFile("smoke01.dem", exists);
    check(file != platform::NoFile && platform::writeFile(file, bytes, 5) && platform::closeFile(file), "new file");
    check(platform::createNewFile("smoke01.dem", exists) == platform::NoFile && exists, "never overwritten");
    check(std::strlen(platform::lastFileError()) > 0, "reason for the operator");
    DeleteFileA("smoke01.dem");
    std::printf(failures == 0 ? "windows platform: ok\n" : "windows platform: %d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
