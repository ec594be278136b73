// The in-memory platform's behaviour that scenario tests build on: ports, delivery, capture and faults.
#include <gtest/gtest.h>

#include "platform/memory.h"
#include "platform/platform.h"

namespace {

using fakeplatform::loopback;
using platform::NetAddress;
using platform::Socket;

Socket boundSocket(NetAddress address) {
    Socket socket = platform::openUdpSocket();
    EXPECT_TRUE(platform::bindSocket(socket, address));
    return socket;
}

TEST(MemoryPlatform, EphemeralPortsCountFromFiftyThousandAndRestartAfterReset) {
    fakeplatform::reset();
    NetAddress first{0, 0}, second{loopback(0).ip, 0};
    Socket a = platform::openUdpSocket();
    Socket b = platform::openUdpSocket();
    EXPECT_EQ(a, 3);
    ASSERT_TRUE(platform::bindSocket(a, first));
    ASSERT_TRUE(platform::bindSocket(b, second));
    EXPECT_EQ(first, (NetAddress{0, 50000}));
    EXPECT_EQ(second, loopback(50001));
    EXPECT_EQ(fakeplatform::boundAddress(b), loopback(50001));

    fakeplatform::reset();
    EXPECT_EQ(fakeplatform::openSocketCount(), 0);
    NetAddress again{0, 0};
    ASSERT_TRUE(platform::bindSocket(platform::openUdpSocket(), again));
    EXPECT_EQ(again.port, 50000);
}

TEST(MemoryPlatform, WildcardBindReceivesOnEveryAddressAndSpecificBindOnlyItsOwn) {
    fakeplatform::reset();
    Socket wildcard = boundSocket(NetAddress{0, 26000});
    Socket specific = boundSocket(loopback(26001, 1));
    EXPECT_TRUE(fakeplatform::inject(loopback(26000, 7), loopback(1234), {1, 2, 3}));
    EXPECT_TRUE(fakeplatform::inject(loopback(26001, 1), loopback(1234), {4}));
    EXPECT_FALSE(fakeplatform::inject(loopback(26001, 2), loopback(1234), {5}));
    EXPECT_FALSE(fakeplatform::inject(loopback(26002), loopback(1234), {6}));

    Socket sockets[] = {wildcard, specific, platform::NoSocket};
    bool ready[3] = {false, false, true};
    EXPECT_EQ(platform::waitReadable(sockets, 3, ready, 10000), 2);
    EXPECT_TRUE(ready[0] && ready[1] && !ready[2]);

    uint8_t buffer[2];
    NetAddress from;
    EXPECT_EQ(platform::receiveFrom(wildcard, buffer, sizeof buffer, from), 2);  // cut to capacity
    EXPECT_EQ(from, loopback(1234));
    EXPECT_EQ(buffer[1], 2);
    EXPECT_EQ(platform::receiveFrom(wildcard, buffer, sizeof buffer, from), 0);

    // Sends carry the bound source; none leave a closed socket, whose queue went with it.
    const uint8_t bytes[] = {9, 8, 7};
    platform::sendTo(specific, bytes, 3, loopback(27000));
    platform::sendTo(platform::NoSocket, bytes, 3, loopback(27000));
    platform::closeSocket(specific);
    platform::sendTo(specific, bytes, 3, loopback(27000));
    std::vector<fakeplatform::Datagram> sent = fakeplatform::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].from, loopback(26001, 1));
    EXPECT_EQ(sent[0].to, loopback(27000));
    EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_EQ(platform::receiveFrom(specific, buffer, sizeof buffer, from), 0);
    EXPECT_EQ(platform::waitReadable(sockets, 3, ready, 7), 0);
    EXPECT_EQ(fakeplatform::lastWaitTimeoutMs(), 7);
}

TEST(MemoryPlatform, BindConflictsFollowTheRealRules) {
    fakeplatform::reset();
    Socket wildcard = boundSocket(NetAddress{0, 26000});
    NetAddress sameLoopback = loopback(26000);
    EXPECT_FALSE(platform::bindSocket(platform::openUdpSocket(), sameLoopback));
    NetAddress elsewhere{0x0A000001, 26005};  // an address this machine does not have
    EXPECT_FALSE(platform::bindSocket(platform::openUdpSocket(), elsewhere));

    platform::closeSocket(wildcard);
    EXPECT_FALSE(fakeplatform::portOpen(26000));
    EXPECT_TRUE(platform::bindSocket(platform::openUdpSocket(), sameLoopback));

    fakeplatform::failBindOnPort(50000);
    NetAddress ephemeral{0, 0};
    EXPECT_FALSE(platform::bindSocket(platform::openUdpSocket(), ephemeral));
    EXPECT_TRUE(platform::bindSocket(platform::openUdpSocket(), ephemeral));
    EXPECT_EQ(ephemeral.port, 50001);
}

TEST(MemoryPlatform, FullDiskKeepsWhatFitsAndFailsTheWrite) {
    fakeplatform::reset();
    platform::File file = platform::openFileForWrite("demo01.dem");
    ASSERT_NE(file, platform::NoFile);
    fakeplatform::failFileWritesAfter(5);
    EXPECT_TRUE(platform::writeFile(file, "abc", 3));
    EXPECT_FALSE(platform::writeFile(file, "defg", 4));
    EXPECT_FALSE(platform::writeFile(file, "h", 1));
    EXPECT_EQ(fakeplatform::fileContents("demo01.dem"), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_TRUE(fakeplatform::fileOpen("demo01.dem"));
    platform::closeFile(file);
    EXPECT_FALSE(fakeplatform::fileOpen("demo01.dem"));
    EXPECT_FALSE(platform::writeFile(file, "i", 1));

    fakeplatform::failFileOpen(true);
    EXPECT_EQ(platform::openFileForWrite("demo02.dem"), platform::NoFile);
    EXPECT_FALSE(fakeplatform::fileExists("demo02.dem"));
}

TEST(MemoryPlatform, BreakEndsEveryWait) {
    fakeplatform::reset();
    Socket socket = boundSocket(loopback(26000));
    fakeplatform::inject(loopback(26000), loopback(1234), {1});
    fakeplatform::requestBreak();
    bool ready = true;
    EXPECT_EQ(platform::waitReadable(&socket, 1, &ready, -1), -1);
    EXPECT_FALSE(ready);
    EXPECT_TRUE(platform::breakRequested());
    fakeplatform::reset();
}


}  // namespace
