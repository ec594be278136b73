// Whole-proxy scenarios on the in-memory platform: start the proxy, play clients and servers
// datagram by datagram, step the loop, and read what the proxy sent and printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/loop.h"
#include "core/settings.h"
#include "core/startup.h"
#include "net/framing.h"
#include "net/slots.h"
#include "platform/memory.h"
#include "session/server_link.h"
#include "unit/bytes.h"

using Bytes = std::vector<uint8_t>;
using fakeplatform::Datagram;
using platform::NetAddress;

using unit::operator+;

namespace wire {

inline Bytes header(uint8_t flags, uint32_t sequence, const Bytes& payload) {
    return unit::datagram(flags, sequence, payload);
}
inline Bytes reliable(uint32_t sequence, const Bytes& payload, bool last = true) {
    return header(last ? 0x09 : 0x01, sequence, payload);
}
inline Bytes unreliable(uint32_t sequence, const Bytes& payload) { return header(0x10, sequence, payload); }
inline Bytes ack(uint32_t sequence) { return header(0x02, sequence, {}); }
// Game message with a zero-terminated string: code, text, 0.
inline Bytes stringMessage(uint8_t code, const std::string& text) { return Bytes{code} + unit::str(text); }
inline Bytes stringCommand(const std::string& text) { return stringMessage(4, text); }
// clc_move of protocol 15: time, angles, speeds, buttons, impulse.
inline Bytes move(uint8_t pitch, uint8_t yaw, uint8_t roll, uint8_t buttons = 0, uint8_t impulse = 0) {
    return {3, 0, 0, 0, 0, pitch, yaw, roll, 0, 0, 0, 0, 0, 0, buttons, impulse};
}
// A client's connect request (game "QUAKE", net protocol 3) and a server's accept naming `port`.
inline Bytes connectRequest() { return {0x80, 0x00, 0x00, 0x0C, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3}; }
inline Bytes accept(uint16_t port) { return {0x80, 0x00, 0x00, 0x09, 0x81, uint8_t(port), uint8_t(port >> 8), 0, 0}; }
inline uint8_t flags(const Datagram& d) { return d.bytes.size() > 1 ? d.bytes[1] : 0; }
inline uint32_t sequence(const Datagram& d) { return d.bytes.size() >= 8 ? sequenceField(d.bytes.data()) : 0; }
inline Bytes payload(const Datagram& d) {
    return d.bytes.size() > 8 ? Bytes(d.bytes.begin() + 8, d.bytes.end()) : Bytes();
}
// The text of every svc_print in an unreliable datagram's payload (highlight byte 2 dropped).
inline std::vector<std::string> prints(const Datagram& d) {
    std::vector<std::string> texts;
    if (d.bytes.size() < 9 || d.bytes[1] != 0x10) return texts;
    for (size_t p = 8; p < d.bytes.size() && d.bytes[p] == 8;) {
        size_t end = p + 1;
        while (end < d.bytes.size() && d.bytes[end] != 0) ++end;
        std::string text(d.bytes.begin() + long(p + 1), d.bytes.begin() + long(end));
        texts.push_back(!text.empty() && text[0] == 2 ? text.substr(1) : text);
        p = end + 1;
    }
    return texts;
}
// The reliable messages a client makes of what it got: fragments taken in order from the first
// one's number (repeats dropped), each message ended by its last fragment.
inline std::vector<Bytes> messages(const std::vector<Datagram>& got) {
    std::vector<Bytes> out(1);
    bool started = false;
    uint32_t next = 0;
    for (const Datagram& d : got) {
        if ((flags(d) & 0xF7) != 0x01 || (started && sequence(d) != next)) continue;
        started = true;
        next = sequence(d) + 1;
        out.back() = out.back() + payload(d);
        if (flags(d) == 0x09) out.emplace_back();
    }
    out.pop_back();
    return out;
}
inline std::string allPrints(const std::vector<Datagram>& sent) {
    std::string all;
    for (const Datagram& d : sent)
        for (const std::string& t : prints(d)) all += t;
    return all;
}

}  // namespace wire

class ProxyScenario : public unit::ProxyStateTest {
protected:
    // Starts the proxy with these options (the program name is added); expects the event loop.
    void start(const std::vector<std::string>& options = {}) { ASSERT_EQ(startExitCode(options), -1) << console(); }
    // Start-up's exit code when it ends the program instead (-1 when it would run).
    int startExitCode(const std::vector<std::string>& options) {
        argStore = options;
        argStore.insert(argStore.begin(), "skoposproxy");
        std::vector<const char*> argv;
        for (const std::string& a : argStore) argv.push_back(a.c_str());
        return startUp(int(argv.size()), argv.data());
    }
    void step() { runLoopPass(); }

    // The proxy's listening address as a client reaches it.
    NetAddress listenAddress() const { return fakeplatform::loopback(uint16_t(settings.port)); }
    // A connect request from `who`; the first answer (all else sent is dropped).
    Bytes request(const NetAddress& who) {
        EXPECT_TRUE(fakeplatform::inject(listenAddress(), who, wire::connectRequest()));
        step();
        auto answers = to(sent(), who);
        return answers.empty() ? Bytes() : answers[0].bytes;
    }
    // The port the accept to `client` names (0: refused).
    uint16_t connectClient(const NetAddress& client) {
        Bytes answer = request(client);
        return answer.size() == 9 && answer[4] == 0x81 ? uint16_t(answer[5] | answer[6] << 8) : 0;
    }
    // The host client at 127.0.0.2:27001, admitted, answering as a game client does; its proxy socket's address.
    void admitHost() {
        hostSocket = fakeplatform::loopback(connectClient(host));
        fromHost(wire::unreliable(0, {1}));
    }
    void fromClient(const NetAddress& client, const NetAddress& proxySocket, const Bytes& bytes) {
        EXPECT_TRUE(fakeplatform::inject(proxySocket, client, bytes));
        step();
    }
    void fromHost(const Bytes& bytes) { fromClient(host, hostSocket, bytes); }

    // Starts the proxy with a host admitted and connected to the fake server; nothing sent or printed yet.
    void playWithServer(const std::vector<std::string>& options = {}) {
        start(options);
        admitHost();
        connectServer();
        sent();
        console();
    }
    // Starts a server connection to the fake server and lets it accept (naming `dataPort`).
    void connectServer(uint16_t dataPort = 26501) {
        settings.serverAddress = server.ip;
        settings.serverPort = server.port;
        startServerConnection();
        serverData = NetAddress{server.ip, dataPort};
        fromClient(server, proxyServerSide(), wire::accept(dataPort));
    }
    void fromServer(const Bytes& bytes) { fromClient(serverData, proxyServerSide(), bytes); }
    NetAddress proxyServerSide() const {
        NetAddress bound = fakeplatform::boundAddress(slotTable.serverSocket);
        if (bound.ip == 0) bound.ip = fakeplatform::loopback(0).ip;
        return bound;
    }

    // Sent datagrams since the last take, all or only those to one address.
    std::vector<Datagram> sent() { return fakeplatform::takeSent(); }
    static std::vector<Datagram> to(const std::vector<Datagram>& all, const NetAddress& address) {
        std::vector<Datagram> out;
        for (const Datagram& d : all)
            if (d.to == address) out.push_back(d);
        return out;
    }
    std::string console() { return fakeplatform::takeConsole(); }

    NetAddress host = fakeplatform::loopback(27001, 2);
    NetAddress hostSocket;
    NetAddress server = fakeplatform::loopback(26500, 3);
    NetAddress serverData;
    std::vector<std::string> argStore;
};
