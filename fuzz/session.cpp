// The fuzz session: the same start-up every input, then the input's datagrams.
#include "fuzz/session.h"

#include <vector>

#include "core/clock.h"
#include "core/loop.h"
#include "core/settings.h"
#include "core/startup.h"
#include "net/slots.h"
#include "platform/memory.h"
#include "session/server_link.h"

namespace {

using platform::NetAddress;
using fakeplatform::loopback;

const NetAddress Host = loopback(27001, 2);
const NetAddress Watcher = loopback(27002, 4);
const NetAddress Server = loopback(26500, 3);

NetAddress socketAddress(platform::Socket socket) {
    NetAddress a = fakeplatform::boundAddress(socket);
    if (a.ip == 0) a.ip = loopback(0).ip;
    return a;
}

void deliver(const NetAddress& to, const NetAddress& from, const uint8_t* bytes, size_t length) {
    fakeplatform::inject(to, from, std::vector<uint8_t>(bytes, bytes + length));
    runLoopPass();
}

// `delayed`: observers and the recorder watch a second late, through the delay line, and the host
// must log in.
void startSession(bool delayed) {
    fakeplatform::reset();
    // Delayed sessions also guard the host's commands with a password (the dictionary has it).
    const char* argv[] = {"skoposproxy", "-o", "3", "-d", "fuzz", "-n", "fz", "-s", "4000", "-c", "2000",
                          "-H", "127.0.0.0/8", "-a", "2", "-D", "1", "-P", "fzpw"};
    int argc = int(sizeof argv / sizeof argv[0]) - (delayed ? 0 : 4);
    if (startUp(argc, argv) != -1) return;
    const uint8_t connect[12] = {0x80, 0x00, 0x00, 0x0C, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3};
    deliver(loopback(26000), Host, connect, sizeof connect);
    deliver(loopback(26000), Watcher, connect, sizeof connect);
    settings.serverAddress = Server.ip;
    settings.serverPort = Server.port;
    startServerConnection();
    const uint8_t accept[9] = {0x80, 0x00, 0x00, 0x09, 0x81, 0x95, 0x67, 0, 0};
    deliver(socketAddress(slotTable.serverSocket), Server, accept, sizeof accept);
    fakeplatform::takeSent();
    fakeplatform::takeConsole();
}

void deliverFrom(int origin, const uint8_t* bytes, size_t length) {
    switch (origin) {
    case 0: deliver(loopback(26000), loopback(5000, 9), bytes, length); break;
    case 1: deliver(socketAddress(slotTable.slot[1].socket), Host, bytes, length); break;
    case 2: deliver(socketAddress(slotTable.slot[2].socket), Watcher, bytes, length); break;
    // The observers' shared port from the watcher's address on another port: no observer's.
    case 5: deliver(socketAddress(slotTable.slot[2].socket), NetAddress{Watcher.ip, 27003}, bytes, length); break;
    default: deliver(socketAddress(slotTable.serverSocket), NetAddress{Server.ip, 26517}, bytes, length); break;
    }
}

}  // namespace

void playFuzzInput(FuzzOrigin origin, const uint8_t* data, size_t size) {
    // Mixed inputs move the clocks, so half of them also run the delay line.
    startSession(origin == FuzzOrigin::Mixed && size > 0 && (data[0] & 1) != 0);
    size_t p = 0;
    while (p + 2 <= size) {
        int pick = int(origin);
        if (origin == FuzzOrigin::Mixed) {
            pick = data[p] & 3;
            if (pick == 0 && (data[p] & 4) != 0) pick = 5;  // a stranger on the observers' port
            fakeplatform::advanceSeconds(data[p] >> 5);
            fakeplatform::advanceMilliseconds(data[p] >> 2);
            if (++p + 2 > size) break;
        }
        size_t length = size_t(data[p] | data[p + 1] << 8);
        p += 2;
        if (length > size - p) length = size - p;
        deliverFrom(pick, data + p, length);
        p += length;
        fakeplatform::takeSent();
    }
    fakeplatform::takeConsole();
}
