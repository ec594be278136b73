// The in-memory platform's behaviour that scenario tests build on: ports, delivery, bind rules and file faults.
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

TEST(MemoryPlatform, PortsDeliveryAndBindRules) {
    fakeplatform::reset();
    NetAddress ephemeral{0, 0};
    boundSocket(NetAddress{0, 26000});  // wildcard: every address on its port
    boundSocket(loopback(26001, 1));
    ASSERT_TRUE(platform::bindSocket(platform::openUdpSocket(), ephemeral));
    EXPECT_EQ(ephemeral, (NetAddress{0, 50000}));
    EXPECT_TRUE(fakeplatform::inject(loopback(26000, 7), loopback(1234), {1}));
    EXPECT_TRUE(fakeplatform::inject(loopback(26001, 1), loopback(1234), {2}));
    EXPECT_FALSE(fakeplatform::inject(loopback(26001, 2), loopback(1234), {3}));

    NetAddress sameLoopback = loopback(26000);
    EXPECT_FALSE(platform::bindSocket(platform::openUdpSocket(), sameLoopback));
    fakeplatform::failBindOnPort(50001);
    ephemeral = NetAddress{0, 0};
    EXPECT_FALSE(platform::bindSocket(platform::openUdpSocket(), ephemeral));
    EXPECT_TRUE(platform::bindSocket(platform::openUdpSocket(), ephemeral));
    EXPECT_EQ(ephemeral.port, 50002);

    fakeplatform::reset();  // numbering starts over
    ephemeral = NetAddress{0, 0};
    ASSERT_TRUE(platform::bindSocket(platform::openUdpSocket(), ephemeral));
    EXPECT_EQ(ephemeral.port, 50000);
}

TEST(MemoryPlatform, FullDiskKeepsWhatFitsAndFailsTheWrite) {
    fakeplatform::reset();
    platform::File file = platform::openFileForWrite("demo01.dem");
    fakeplatform::failFileWritesAfter(5);
    EXPECT_TRUE(platform::writeFile(file, "abc", 3));
    EXPECT_FALSE(platform::writeFile(file, "defg", 4));
    EXPECT_EQ(fakeplatform::fileContents("demo01.dem"), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
    fakeplatform::failFileOpen(true);
    EXPECT_EQ(platform::openFileForWrite("demo02.dem"), platform::NoFile);
    fakeplatform::reset();
}

}  // namespace
