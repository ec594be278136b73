// Byte builders and slot plumbing shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/settings.h"
#include "core/startup.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/prints.h"
#include "platform/memory.h"

namespace unit {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// A zero-terminated string.
inline Bytes str(const std::string& s) { return Bytes(s.c_str(), s.c_str() + s.size() + 1); }
inline Bytes longBytes(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Bytes print(const std::string& s) { return Bytes{8} + str(s); }
inline Bytes stringCommand(const std::string& s) { return Bytes{4} + str(s); }
inline Bytes datagram(uint8_t flags, uint32_t sequence, const Bytes& payload) {
    Bytes d = Bytes{0, flags, 0, 0, 0, 0, 0, 0} + payload;
    setSequenceField(d.data(), sequence);
    setLengthField(d.data(), int(d.size()));
    return d;
}

// Opens slot `i` bound to an ephemeral port; its client is at 127.0.0.(i+1):(40000+i).
inline void openSlot(int i, int state, const char* name = "unnamed") {
    Slot& s = slotTable.slot[i];
    s.socket = platform::openUdpSocket();
    platform::NetAddress bound = fakeplatform::loopback(0);
    platform::bindSocket(s.socket, bound);
    s.peerAddress = fakeplatform::loopback(uint16_t(40000 + i), uint8_t(i + 1));
    s.state = state;
    s.heard = true;
    s.chatTimeMs = loop.nowMs - 2000;  // as admitted: its first chat line goes through
    setPlayerName(s, name);
    if (i >= FirstObserverSlot) slotTable.observerCount++;
}
inline std::vector<Bytes> sentTo(int slot, const std::vector<fakeplatform::Datagram>& all) {
    std::vector<Bytes> to;
    for (const auto& d : all)
        if (d.to == slotTable.slot[slot].peerAddress) to.push_back(d.bytes);
    return to;
}
inline std::vector<Bytes> sentTo(int slot) { return sentTo(slot, fakeplatform::takeSent()); }
// Texts of the svc_print datagrams a slot was sent, oldest first.
inline std::vector<std::string> printsTo(int slot) {
    std::vector<std::string> texts;
    for (const Bytes& d : sentTo(slot)) {
        if (d.size() < 11 || d[8] != 8 || d[9] != 2) continue;
        EXPECT_EQ(0, d.back());
        texts.emplace_back(reinterpret_cast<const char*>(d.data() + 10));
    }
    return texts;
}
// The texts collected for observers and not yet sent.
inline std::string observerTexts() {
    return std::string(reinterpret_cast<const char*>(observerPrints.bytes + 2), size_t(observerPrintTextLength()));
}

// A fresh proxy state on the in-memory platform, cleared again afterwards.
struct ProxyStateTest : ::testing::Test {
    void SetUp() override {
        fakeplatform::reset();
        resetProxyState();
    }
    void TearDown() override {
        resetProxyState();
        fakeplatform::reset();
    }
};

}  // namespace unit
