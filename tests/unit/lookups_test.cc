// The name lookups of the program's platform layer (lookups.cpp) against a resolver that can hang, as
// one does when its DNS server never answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace {
std::atomic<bool> released{false};
}

namespace platform {
bool resolveName(const char* name, uint32_t& ip) {
    while (strncmp(name, "hang", 4) == 0 && !released) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ip = 0x7F000001;
    return strcmp(name, "localhost") == 0;
}
}  // namespace platform

TEST(Lookups, HungLookupsGivenUpLeaveEveryHandleToTheNext) {
    for (int i = 0; i < 2 * platform::MaxLookups; ++i) {
        int handle = platform::startLookup("hang.test");
        ASSERT_GE(handle, 0) << i;
        platform::abandonLookup(handle);
    }
    int handle = platform::startLookup("localhost");
    ASSERT_GE(handle, 0);
    uint32_t ip = 0;
    platform::LookupStatus status = platform::LookupStatus::Pending;
    for (int wait = 0; wait < 400 && status == platform::LookupStatus::Pending; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        status = platform::pollLookup(handle, ip);
    }
    EXPECT_EQ(status, platform::LookupStatus::Found);
    EXPECT_EQ(ip, 0x7F000001u);
    released = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}
