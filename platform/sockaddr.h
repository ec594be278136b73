// What BSD sockets and Winsock share: IPv4 address conversions and getaddrinfo lookups. For the
// platform files only (posix.cpp or windows.cpp, and lookups.cpp).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "platform/platform.h"

namespace platform {


inline sockaddr_in toSockaddr(const NetAddress& address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address.ip);
    result.sin_port = htons(address.port);
    return result;
}

inline NetAddress fromSockaddr(const sockaddr_in& address) {
    return NetAddress{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

// The resolver lookups.cpp runs: firstIpv4Address in the program (posix.cpp, windows.cpp).
bool resolveName(const char* name, uint32_t& ip);

inline bool firstIpv4Address(const char* name, uint32_t& ip) {
    if (name == nullptr || name[0] == '\0') return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    bool found = false;
    for (addrinfo* entry = list; entry != nullptr && !found; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
        ip = fromSockaddr(*reinterpret_cast<const sockaddr_in*>(entry->ai_addr)).ip;
        found = true;
    }
    freeaddrinfo(list);
    return found;
}

}  // namespace platform
