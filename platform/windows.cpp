// The platform verbs on Windows: Winsock 2, the performance counter, the console control handler and
// Win32 files.
#define FD_SETSIZE 128  // room for every wait socket plus the break wake-up (the default is 64)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>

#include "platform/platform.h"
#include "platform/sockaddr.h"

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

// Off, a UDP socket that sent to a closed port would fail its next receive with WSAECONNRESET.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace platform {

namespace {

constexpr int SocketBufferBytes = 1 << 20;  // room for a burst of server datagrams while a handler runs

// Socket is a small index into this table, as file descriptors are on POSIX: a Winsock SOCKET is a
// pointer-sized handle that the shared code need not know about.
constexpr int MaxSockets = 256;
SOCKET Sockets[MaxSockets];
bool SocketsReady = false;

// The break handler runs on a thread Windows starts for it: it only sets the flag and sends one byte to
// the wake-up socket, which every wait watches, so a break is never slept through.
std::atomic<bool> BreakFlag{false};
SOCKET WakeSocket = INVALID_SOCKET;
sockaddr_in WakeAddress{};

DWORD LastFileErrorCode = 0;
char FileErrorText[256];

SOCKET handleOf(Socket socket) {
    if (socket < 0 || socket >= MaxSockets) return INVALID_SOCKET;
    return Sockets[socket];
}

void clearSocketTable() {
    for (SOCKET& entry : Sockets) entry = INVALID_SOCKET;
    SocketsReady = true;
}

SOCKET openRawUdpSocket() {
    SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) return handle;
    SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;  // a spurious wake-up must not block the loop
    ioctlsocket(handle, FIONBIO, &nonBlocking);
    BOOL off = FALSE;
    DWORD ignored = 0;
    WSAIoctl(handle, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &ignored, nullptr, nullptr);
    return handle;
}

void openWakeSocket() {
    WakeSocket = openRawUdpSocket();
    if (WakeSocket == INVALID_SOCKET) return;
    sockaddr_in local = toSockaddr(NetAddress{0x7F000001, 0});
    int length = sizeof local;
    if (bind(WakeSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(WakeSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        closesocket(WakeSocket);
        WakeSocket = INVALID_SOCKET;  // the flag alone still ends the loop at its next wake-up
        return;
    }
    WakeAddress = local;
}

void drainWakeSocket() {
    char bytes[64];
    while (recv(WakeSocket, bytes, sizeof bytes, 0) > 0) {
    }
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    bool closing = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!closing && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    // As on POSIX a second Ctrl-C, when the loop is stuck, ends the process the default way.
    if (BreakFlag.exchange(true) && !closing) return FALSE;
    if (WakeSocket != INVALID_SOCKET) {
        char byte = 1;
        sendto(WakeSocket, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&WakeAddress), sizeof WakeAddress);
    }
    // Returning from a close event lets Windows end the process at once, before the loop's thread has
    // completed the demo file: wait instead. The process ends when the shutdown returns from main (or at
    // Windows' own time-out for closing consoles).
    if (closing) Sleep(INFINITE);
    return TRUE;
}

void rememberFileError() { LastFileErrorCode = GetLastError(); }

}  // namespace

bool resolveName(const char* name, uint32_t& ip) { return firstIpv4Address(name, ip); }

bool startNetwork() {
    if (!SocketsReady) clearSocketTable();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (WakeSocket == INVALID_SOCKET) openWakeSocket();
    return true;
}

void stopNetwork() {
    WSACleanup();
    WakeSocket = INVALID_SOCKET;
}

Socket openUdpSocket() {
    if (!SocketsReady) clearSocketTable();
    for (int i = 0; i < MaxSockets; ++i) {
        if (Sockets[i] != INVALID_SOCKET) continue;
        SOCKET handle = openRawUdpSocket();
        if (handle == INVALID_SOCKET) return NoSocket;
        // Deliberately no SO_REUSEADDR, and no other program may take the port over either.
        BOOL on = TRUE;
        setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
        setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&SocketBufferBytes),
                   sizeof SocketBufferBytes);
        setsockopt(handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&SocketBufferBytes),
                   sizeof SocketBufferBytes);
        Sockets[i] = handle;
        return i;
    }
    return NoSocket;
}

bool bindSocket(Socket socket, NetAddress& address) {
    SOCKET handle = handleOf(socket);
    if (handle == INVALID_SOCKET) return false;
    sockaddr_in local = toSockaddr(address);
    if (bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
    int length = sizeof local;
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    address = fromSockaddr(local);
    return true;
}

void closeSocket(Socket socket) {
    SOCKET handle = handleOf(socket);
    if (handle == INVALID_SOCKET) return;
    closesocket(handle);
    Sockets[socket] = INVALID_SOCKET;
}

int receiveFrom(Socket socket, uint8_t* buffer, int capacity, NetAddress& from) {
    SOCKET handle = handleOf(socket);
    if (handle == INVALID_SOCKET || buffer == nullptr || capacity <= 0) return 0;
    sockaddr_in source{};
    int sourceLength = sizeof source;
    int length = recvfrom(handle, reinterpret_cast<char*>(buffer), capacity, 0,
                          reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (length == SOCKET_ERROR) {
        // WSAEMSGSIZE: the datagram filled the buffer and the rest was cut off, as on POSIX. Every
        // other error (WSAECONNRESET after an ICMP port-unreachable, WSAEWOULDBLOCK) is no datagram.
        if (WSAGetLastError() != WSAEMSGSIZE) return 0;
        length = capacity;
    }
    if (length <= 0 || source.sin_family != AF_INET) return 0;
    from = fromSockaddr(source);
    return length;
}

void sendTo(Socket socket, const uint8_t* data, int length, const NetAddress& to) {
    SOCKET handle = handleOf(socket);
    if (handle == INVALID_SOCKET || data == nullptr || length < 0) return;
    sockaddr_in destination = toSockaddr(to);
    sendto(handle, reinterpret_cast<const char*>(data), length, 0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}

// Winsock has no call for many datagrams: one WSASendTo each, the head and the shared body as two
// buffers, so the body is still not copied.
void sendBatch(Socket socket, const BatchHead* heads, int count, const uint8_t* body, int bodyLength) {
    SOCKET handle = handleOf(socket);
    if (handle == INVALID_SOCKET || heads == nullptr || bodyLength < 0) return;
    for (int i = 0; i < count && i < MaxBatch; ++i) {
        WSABUF pieces[2] = {{static_cast<ULONG>(heads[i].length), reinterpret_cast<char*>(const_cast<uint8_t*>(heads[i].bytes))},
                            {static_cast<ULONG>(bodyLength), reinterpret_cast<char*>(const_cast<uint8_t*>(body))}};
        sockaddr_in destination = toSockaddr(heads[i].to);
        DWORD sent = 0;
        WSASendTo(handle, pieces, bodyLength > 0 ? 2 : 1, &sent, 0, reinterpret_cast<const sockaddr*>(&destination),
                  sizeof destination, nullptr, nullptr);
    }
}

int receiveBatch(Socket socket, Received* batch, int count) {
    return receiveEach(socket, batch, count);
}

int waitReadable(const Socket* sockets, int count, bool* ready, int timeoutMs) {
    for (int i = 0; i < count; ++i) ready[i] = false;
    if (BreakFlag) return -1;
    fd_set readSet;
    FD_ZERO(&readSet);
    for (int i = 0; i < count && i < MaxWaitSockets; ++i) {
        SOCKET handle = handleOf(sockets[i]);
        if (handle != INVALID_SOCKET) FD_SET(handle, &readSet);
    }
    if (WakeSocket != INVALID_SOCKET) FD_SET(WakeSocket, &readSet);
    if (readSet.fd_count == 0) {
        // Winsock refuses to wait on an empty set.
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return BreakFlag ? -1 : 0;
    }
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int result = select(0, &readSet, nullptr, nullptr, timeoutMs < 0 ? nullptr : &timeout);
    if (result == SOCKET_ERROR) return -1;
    if (WakeSocket != INVALID_SOCKET && FD_ISSET(WakeSocket, &readSet)) {
        drainWakeSocket();
        if (BreakFlag) return -1;
    }
    int readyCount = 0;
    for (int i = 0; i < count && i < MaxWaitSockets; ++i) {
        SOCKET handle = handleOf(sockets[i]);
        if (handle == INVALID_SOCKET || !FD_ISSET(handle, &readSet)) continue;
        ready[i] = true;
        ++readyCount;
    }
    return readyCount;
}

uint32_t monotonicSeconds() { return static_cast<uint32_t>(GetTickCount64() / 1000); }

uint64_t performanceFrequency() {
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return 0;
    return static_cast<uint64_t>(frequency.QuadPart);
}

uint64_t performanceCounter() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<uint64_t>(counter.QuadPart);
}

void writeConsole(const char* text, size_t length) {
    static bool binary = false;
    if (!binary) {
        // The same bytes as on POSIX: a console shows a lone "\n" as a new line, and a pipe or a log
        // file gets no "\r" added.
        _setmode(_fileno(stdout), _O_BINARY);
        binary = true;
    }
    if (text == nullptr || length == 0) return;
    fwrite(text, 1, length, stdout);
    fflush(stdout);
}

void installBreakHandler() {
    SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl-C back on, if the parent started us with it off
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool breakRequested() { return BreakFlag; }

void raiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST); }

File createNewFile(const char* name, bool& exists) {
    exists = false;
    if (name == nullptr) return NoFile;
    HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return reinterpret_cast<File>(file);
    rememberFileError();
    exists = LastFileErrorCode == ERROR_FILE_EXISTS || LastFileErrorCode == ERROR_ALREADY_EXISTS;
    return NoFile;
}

bool writeFile(File file, const void* data, size_t length) {
    if (file == NoFile) return false;
    const char* cursor = static_cast<const char*>(data);
    while (length > 0) {
        DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(file), cursor, chunk, &written, nullptr) || written == 0) {
            rememberFileError();
            return false;
        }
        cursor += written;
        length -= written;
    }
    return true;
}

bool closeFile(File file) {
    if (file == NoFile) return false;
    if (CloseHandle(reinterpret_cast<HANDLE>(file))) return true;
    rememberFileError();
    return false;
}

const char* lastFileError() {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  LastFileErrorCode, 0, FileErrorText, sizeof FileErrorText, nullptr);
    if (length == 0) {
        snprintf(FileErrorText, sizeof FileErrorText, "Windows error %lu",
                 static_cast<unsigned long>(LastFileErrorCode));
        return FileErrorText;
    }
    // Like strerror's texts: no line break, no full stop.
    while (length > 0 && strchr("\r\n .", FileErrorText[length - 1]) != nullptr) --length;
    FileErrorText[length] = '\0';
    return FileErrorText;
}

}  // namespace platform
