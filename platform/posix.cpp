// The platform verbs on Linux and other POSIX systems: BSD sockets, select, signals and file descriptors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/sockaddr.h"

namespace platform {

namespace {

constexpr int SocketBufferBytes = 1 << 20;  // room for a burst of server datagrams while a handler runs

// The break handler's only state. The pipe wakes a select that is already waiting, so a break that
// lands between the flag check and the select is not slept through.
volatile sig_atomic_t BreakFlag = 0;
int BreakPipe[2] = {-1, -1};

int LastFileErrno = 0;  // of the last file verb that failed

void onBreak(int) {
    int savedErrno = errno;
    BreakFlag = 1;
    if (BreakPipe[1] >= 0) {
        char byte = 1;
        ssize_t ignored = write(BreakPipe[1], &byte, 1);  // a full pipe already wakes the wait
        (void)ignored;
    }
    errno = savedErrno;
}

void drainBreakPipe() {
    char bytes[64];
    while (read(BreakPipe[0], bytes, sizeof bytes) > 0) {
    }
}

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

bool resolveName(const char* name, uint32_t& ip) { return firstIpv4Address(name, ip); }

bool startNetwork() {
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void stopNetwork() {}

Socket openUdpSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return NoSocket;
    // Deliberately no SO_REUSEADDR: a second proxy on the same port must fail to bind.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &SocketBufferBytes, sizeof SocketBufferBytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SocketBufferBytes, sizeof SocketBufferBytes);
    return fd;
}

bool bindSocket(Socket socket, NetAddress& address) {
    if (socket == NoSocket) return false;
    sockaddr_in local = toSockaddr(address);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
    socklen_t length = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    address = fromSockaddr(local);
    return true;
}

void closeSocket(Socket socket) {
    if (socket != NoSocket) close(socket);
}

int receiveFrom(Socket socket, uint8_t* buffer, int capacity, NetAddress& from) {
    if (socket == NoSocket || buffer == nullptr || capacity <= 0) return 0;
    sockaddr_in source{};
    socklen_t sourceLength = sizeof source;
    // MSG_TRUNC makes Linux report the datagram's full length; MSG_DONTWAIT keeps a spurious
    // wake-up from blocking the loop.
    ssize_t length = recvfrom(socket, buffer, static_cast<size_t>(capacity), MSG_DONTWAIT | MSG_TRUNC,
                              reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (length <= 0 || source.sin_family != AF_INET) return 0;
    from = fromSockaddr(source);
    return length > capacity ? capacity : static_cast<int>(length);
}

void sendTo(Socket socket, const uint8_t* data, int length, const NetAddress& to) {
    if (socket == NoSocket || data == nullptr || length < 0) return;
    sockaddr_in destination = toSockaddr(to);
    ssize_t ignored = sendto(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    (void)ignored;
}

#if defined(__linux__)
// One sendmmsg for the batch, two iovecs a datagram: the shared body is never copied. Static, as
// nothing on the relay path allocates.
void sendBatch(Socket socket, const BatchHead* heads, int count, const uint8_t* body, int bodyLength) {
    static sockaddr_in destinations[MaxBatch];
    static iovec pieces[MaxBatch][2];
    static mmsghdr messages[MaxBatch];
    if (socket == NoSocket || heads == nullptr || count <= 0 || bodyLength < 0) return;
    if (count > MaxBatch) count = MaxBatch;
    for (int i = 0; i < count; ++i) {
        destinations[i] = toSockaddr(heads[i].to);
        pieces[i][0] = iovec{const_cast<uint8_t*>(heads[i].bytes), static_cast<size_t>(heads[i].length)};
        pieces[i][1] = iovec{const_cast<uint8_t*>(body), static_cast<size_t>(bodyLength)};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_name = &destinations[i];
        messages[i].msg_hdr.msg_namelen = sizeof destinations[i];
        messages[i].msg_hdr.msg_iov = pieces[i];
        messages[i].msg_hdr.msg_iovlen = bodyLength > 0 ? 2 : 1;
    }
    // sendmmsg stops at the first datagram the system refuses: that one is skipped, the rest go on.
    for (int sent = 0; sent < count;) {
        int n = sendmmsg(socket, messages + sent, static_cast<unsigned>(count - sent), MSG_NOSIGNAL);
        sent += n > 0 ? n : 1;
    }
}

int receiveBatch(Socket socket, Received* batch, int count) {
    static sockaddr_in sources[MaxBatch];
    static iovec pieces[MaxBatch];
    static mmsghdr messages[MaxBatch];
    if (socket == NoSocket || batch == nullptr || count <= 0) return 0;
    if (count > MaxBatch) count = MaxBatch;
    for (int i = 0; i < count; ++i) {
        pieces[i] = iovec{batch[i].buffer, static_cast<size_t>(batch[i].capacity > 0 ? batch[i].capacity : 0)};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_name = &sources[i];
        messages[i].msg_hdr.msg_namelen = sizeof sources[i];
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(socket, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    if (n <= 0) return 0;
    // A datagram that is no IPv4 one, or empty, is no datagram: the rest close up behind it.
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        if (messages[i].msg_len == 0 || sources[i].sin_family != AF_INET) continue;
        if (kept != i) memmove(batch[kept].buffer, batch[i].buffer, messages[i].msg_len);
        batch[kept].length = static_cast<int>(messages[i].msg_len);
        batch[kept].from = fromSockaddr(sources[i]);
        ++kept;
    }
    return kept;
}
#else
void sendBatch(Socket socket, const BatchHead* heads, int count, const uint8_t* body, int bodyLength) {
    if (heads == nullptr || bodyLength < 0) return;
    for (int i = 0; i < count && i < MaxBatch; ++i) {
        iovec pieces[2] = {{const_cast<uint8_t*>(heads[i].bytes), static_cast<size_t>(heads[i].length)},
                           {const_cast<uint8_t*>(body), static_cast<size_t>(bodyLength)}};
        sockaddr_in destination = toSockaddr(heads[i].to);
        msghdr message{};
        message.msg_name = &destination;
        message.msg_namelen = sizeof destination;
        message.msg_iov = pieces;
        message.msg_iovlen = bodyLength > 0 ? 2 : 1;
        ssize_t ignored = sendmsg(socket, &message, MSG_NOSIGNAL);
        (void)ignored;
    }
}

int receiveBatch(Socket socket, Received* batch, int count) {
    return receiveEach(socket, batch, count);
}
#endif

int waitReadable(const Socket* sockets, int count, bool* ready, int timeoutMs) {
    for (int i = 0; i < count; ++i) ready[i] = false;
    if (BreakFlag) return -1;
    fd_set readSet;
    FD_ZERO(&readSet);
    int highest = -1;
    for (int i = 0; i < count; ++i) {
        if (sockets[i] < 0 || sockets[i] >= FD_SETSIZE) continue;  // never ready rather than overrun the set
        FD_SET(sockets[i], &readSet);
        if (sockets[i] > highest) highest = sockets[i];
    }
    if (BreakPipe[0] >= 0) {
        FD_SET(BreakPipe[0], &readSet);
        if (BreakPipe[0] > highest) highest = BreakPipe[0];
    }
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int result = select(highest + 1, &readSet, nullptr, nullptr, timeoutMs < 0 ? nullptr : &timeout);
    if (result < 0) return -1;
    if (BreakPipe[0] >= 0 && FD_ISSET(BreakPipe[0], &readSet)) {
        drainBreakPipe();
        if (BreakFlag) return -1;
    }
    int readyCount = 0;
    for (int i = 0; i < count; ++i) {
        if (sockets[i] < 0 || sockets[i] >= FD_SETSIZE || !FD_ISSET(sockets[i], &readSet)) continue;
        ready[i] = true;
        ++readyCount;
    }
    return readyCount;
}

uint32_t monotonicSeconds() { return static_cast<uint32_t>(monotonicNow().tv_sec); }

uint64_t performanceFrequency() { return 1000000000u; }

uint64_t performanceCounter() {
    timespec now = monotonicNow();
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void writeConsole(const char* text, size_t length) {
    if (text == nullptr || length == 0) return;
    fwrite(text, 1, length, stdout);
    fflush(stdout);  // lines appear at once even when the output is a pipe
}

void installBreakHandler() {
    if (BreakPipe[0] < 0 && pipe2(BreakPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        BreakPipe[0] = BreakPipe[1] = -1;  // the flag alone still ends the loop at its next wake-up
    }
    struct sigaction action {};
    action.sa_handler = onBreak;
    sigemptyset(&action.sa_mask);
    // One-shot: the loop handles the first break; a second one, if the loop is stuck (say in a
    // slow name lookup), ends the process the default way.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal ends the proxy like a break, so the demo being recorded is completed; under
    // nohup (SIGHUP ignored) it keeps running.
    struct sigaction hangup {};
    if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN)
        sigaction(SIGHUP, &action, nullptr);
}

bool breakRequested() { return BreakFlag != 0; }

void raiseThreadPriority() {
    int ignored = setpriority(PRIO_PROCESS, 0, -10);  // needs privileges; without them nothing changes
    (void)ignored;
}

// Demo files only ever need a name that is free: O_EXCL makes two proxies writing into one folder
// take different names instead of emptying each other's files.
File createNewFile(const char* name, bool& exists) {
    exists = false;
    if (name == nullptr) return NoFile;
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        LastFileErrno = errno;
        exists = errno == EEXIST;
        return NoFile;
    }
    return static_cast<File>(fd);
}

const char* lastFileError() { return strerror(LastFileErrno); }

bool writeFile(File file, const void* data, size_t length) {
    if (file == NoFile) return false;
    const char* cursor = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t written = write(static_cast<int>(file), cursor, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            LastFileErrno = written < 0 ? errno : ENOSPC;
            return false;
        }
        cursor += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool closeFile(File file) {
    if (file == NoFile) return false;
    if (close(static_cast<int>(file)) == 0) return true;
    LastFileErrno = errno;
    return false;
}

}  // namespace platform
