// The in-memory platform: a deterministic machine for tests and fuzzers, with its controls.
#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "platform/platform.h"

namespace fakeplatform {

namespace {

using platform::File;
using platform::NoFile;
using platform::NoSocket;
using platform::Socket;

constexpr int MaxSockets = 256;
constexpr Socket FirstSocket = 3;  // after stdin, stdout and stderr, as on a real machine
constexpr uint16_t FirstEphemeralPort = 50000;
constexpr File FirstFile = 3;
constexpr uint32_t LoopbackIp = 0x7F000001;

struct FakeSocket {
    bool open = false;
    bool bound = false;
    NetAddress address;
    std::deque<Datagram> received;
};

struct FakeLookup {
    bool taken = false;
    std::string name;
    uint64_t answersAtMs = 0;  // NeverAnswers: pending for ever
};

struct FakeFile {
    std::string name;
    bool open = false;
};

// The whole machine; reset() replaces it with a fresh one.
struct Machine {
    std::array<FakeSocket, MaxSockets> sockets;
    uint16_t nextEphemeralPort = FirstEphemeralPort;
    std::set<uint16_t> failingBindPorts;
    std::vector<Datagram> sent;
    int lastWaitTimeoutMs = -1;

    uint32_t seconds = 1000;
    uint64_t milliseconds = 0;
    uint64_t ticksPerSecond = 1000000;

    bool thisMachineAvailable = true;
    uint32_t thisMachineIp = LoopbackIp;
    std::map<std::string, uint32_t> hostNames;
    std::map<std::string, uint64_t> lookupDelays;
    std::array<FakeLookup, platform::MaxLookups> lookups;
    bool failSocketOpen = false;

    std::string console;
    std::map<std::string, std::vector<uint8_t>> files;
    std::vector<FakeFile> fileHandles;  // handle FirstFile + i; never reused, so a stale handle fails
    bool failFileOpen = false;
    bool diskLimited = false;
    size_t diskBytesLeft = 0;
    bool fileRemoved = false;  // the next write finds its file gone
    bool closeFails = false;
    const char* lastFileError = "";

    bool breakRequested = false;
};

Machine machine;

FakeSocket* findSocket(Socket socket) {
    int index = socket - FirstSocket;
    if (index < 0 || index >= MaxSockets || !machine.sockets[index].open) return nullptr;
    return &machine.sockets[index];
}

FakeFile* findFile(File file) {
    File index = file - FirstFile;
    if (index < 0 || index >= static_cast<File>(machine.fileHandles.size())) return nullptr;
    FakeFile& entry = machine.fileHandles[static_cast<size_t>(index)];
    return entry.open ? &entry : nullptr;
}

bool addressInUse(const NetAddress& address) {
    for (const FakeSocket& socket : machine.sockets) {
        if (!socket.open || !socket.bound || socket.address.port != address.port) continue;
        if (socket.address.ip == 0 || address.ip == 0 || socket.address.ip == address.ip) return true;
    }
    return false;
}

uint16_t takeEphemeralPort() {
    while (machine.nextEphemeralPort != 0 && portOpen(machine.nextEphemeralPort)) ++machine.nextEphemeralPort;
    return machine.nextEphemeralPort == 0 ? 0 : machine.nextEphemeralPort++;
}

// The machine has the loopback network and its own address; binds elsewhere fail as on a real one.
bool localIp(uint32_t ip) {
    return ip == 0 || (ip >> 24) == 127 || (machine.thisMachineAvailable && ip == machine.thisMachineIp);
}

// Dotted quads resolve to themselves, as with the real resolver.
bool parseDottedQuad(const std::string& text, uint32_t& ip) {
    uint32_t result = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
        uint32_t value = 0;
        size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4; ++at, ++digits) {
            value = value * 10 + static_cast<uint32_t>(text[at] - '0');
        }
        if (digits == 0 || value > 255) return false;
        result = (result << 8) | value;
    }
    if (at != text.size()) return false;
    ip = result;
    return true;
}

}  // namespace

void reset() { machine = Machine{}; }

void setSeconds(uint32_t seconds) { machine.seconds = seconds; }
void advanceSeconds(uint32_t seconds) { machine.seconds += seconds; }
void setMilliseconds(uint64_t ms) { machine.milliseconds = ms; }
void advanceMilliseconds(uint64_t ms) { machine.milliseconds += ms; }
void advanceClocks(uint64_t ms) {
    machine.milliseconds += ms;
    machine.seconds = 1000 + uint32_t(machine.milliseconds / 1000);
}
void setPerformanceFrequency(uint64_t ticksPerSecond) { machine.ticksPerSecond = ticksPerSecond; }

bool inject(const NetAddress& to, const NetAddress& from, const std::vector<uint8_t>& bytes) {
    for (FakeSocket& socket : machine.sockets) {
        if (!socket.open || !socket.bound || socket.address.port != to.port) continue;
        if (socket.address.ip != 0 && socket.address.ip != to.ip) continue;
        socket.received.push_back(Datagram{from, to, bytes});
        return true;
    }
    return false;
}

std::vector<Datagram> takeSent() {
    std::vector<Datagram> result;
    result.swap(machine.sent);
    return result;
}

NetAddress boundAddress(Socket socket) {
    const FakeSocket* entry = findSocket(socket);
    return entry == nullptr ? NetAddress{} : entry->address;
}

bool portOpen(uint16_t port) {
    for (const FakeSocket& socket : machine.sockets) {
        if (socket.open && socket.bound && socket.address.port == port) return true;
    }
    return false;
}

int openSocketCount() {
    int count = 0;
    for (const FakeSocket& socket : machine.sockets) count += socket.open ? 1 : 0;
    return count;
}

void setThisMachineAddress(bool available, uint32_t ip) {
    machine.thisMachineAvailable = available;
    machine.thisMachineIp = ip;
}

void addHostName(const std::string& name, uint32_t ip) { machine.hostNames[name] = ip; }
void setLookupDelay(const std::string& name, uint64_t delayMs) { machine.lookupDelays[name] = delayMs; }

int lookupsTaken() {
    int count = 0;
    for (const FakeLookup& lookup : machine.lookups) count += lookup.taken ? 1 : 0;
    return count;
}

int lastWaitTimeoutMs() { return machine.lastWaitTimeoutMs; }

void failBindOnPort(uint16_t port, bool fail) {
    if (fail)
        machine.failingBindPorts.insert(port);
    else
        machine.failingBindPorts.erase(port);
}
void failSocketOpen(bool fail) { machine.failSocketOpen = fail; }
void failFileOpen(bool fail) { machine.failFileOpen = fail; }

void failNextFileWrite() { machine.fileRemoved = true; }
void failNextFileClose() { machine.closeFails = true; }

void addFile(const std::string& name, const std::vector<uint8_t>& bytes) { machine.files[name] = bytes; }

void failFileWritesAfter(size_t bytes) {
    machine.diskLimited = true;
    machine.diskBytesLeft = bytes;
}

std::string takeConsole() {
    std::string result;
    result.swap(machine.console);
    return result;
}

bool fileExists(const std::string& name) { return machine.files.count(name) != 0; }

std::vector<uint8_t> fileContents(const std::string& name) {
    auto found = machine.files.find(name);
    return found == machine.files.end() ? std::vector<uint8_t>{} : found->second;
}

bool fileOpen(const std::string& name) {
    for (const FakeFile& file : machine.fileHandles) {
        if (file.open && file.name == name) return true;
    }
    return false;
}

void requestBreak() { machine.breakRequested = true; }

}  // namespace fakeplatform

namespace platform {

using fakeplatform::machine;

bool startNetwork() { return true; }
void stopNetwork() {}

Socket openUdpSocket() {
    if (machine.failSocketOpen) return NoSocket;
    for (int i = 0; i < fakeplatform::MaxSockets; ++i) {
        // The lowest free handle, as file descriptors are handed out, so handle reuse is exercised.
        if (machine.sockets[i].open) continue;
        machine.sockets[i] = fakeplatform::FakeSocket{};
        machine.sockets[i].open = true;
        return fakeplatform::FirstSocket + i;
    }
    return NoSocket;
}

bool bindSocket(Socket socket, NetAddress& address) {
    fakeplatform::FakeSocket* entry = fakeplatform::findSocket(socket);
    if (entry == nullptr || entry->bound || !fakeplatform::localIp(address.ip)) return false;
    NetAddress wanted = address;
    if (wanted.port == 0) wanted.port = fakeplatform::takeEphemeralPort();
    if (wanted.port == 0 || machine.failingBindPorts.count(wanted.port) != 0) return false;
    if (fakeplatform::addressInUse(wanted)) return false;
    entry->bound = true;
    entry->address = wanted;
    address = wanted;
    return true;
}

void closeSocket(Socket socket) {
    fakeplatform::FakeSocket* entry = fakeplatform::findSocket(socket);
    if (entry != nullptr) *entry = fakeplatform::FakeSocket{};
}

int receiveFrom(Socket socket, uint8_t* buffer, int capacity, NetAddress& from) {
    fakeplatform::FakeSocket* entry = fakeplatform::findSocket(socket);
    if (entry == nullptr || entry->received.empty() || buffer == nullptr || capacity <= 0) return 0;
    const fakeplatform::Datagram& datagram = entry->received.front();
    int length = static_cast<int>(datagram.bytes.size());
    if (length > capacity) length = capacity;
    std::copy(datagram.bytes.begin(), datagram.bytes.begin() + length, buffer);
    from = datagram.from;
    entry->received.pop_front();
    return length;
}

void sendTo(Socket socket, const uint8_t* data, int length, const NetAddress& to) {
    fakeplatform::FakeSocket* entry = fakeplatform::findSocket(socket);
    if (entry == nullptr || length < 0 || (data == nullptr && length > 0)) return;
    if (!entry->bound) {
        // A real socket sending unbound gets an ephemeral port on every interface.
        NetAddress any{};
        if (!bindSocket(socket, any)) return;
    }
    machine.sent.push_back(fakeplatform::Datagram{entry->address, to, std::vector<uint8_t>(data, data + length)});
}

// Each datagram of a batch is recorded as the one datagram its receiver gets.
void sendBatch(Socket socket, const BatchHead* heads, int count, const uint8_t* body, int bodyLength) {
    if (heads == nullptr || bodyLength < 0 || (body == nullptr && bodyLength > 0)) return;
    for (int i = 0; i < count && i < MaxBatch; ++i) {
        std::vector<uint8_t> bytes(heads[i].bytes, heads[i].bytes + heads[i].length);
        bytes.insert(bytes.end(), body, body + bodyLength);
        sendTo(socket, bytes.data(), int(bytes.size()), heads[i].to);
    }
}

int receiveBatch(Socket socket, Received* batch, int count) {
    return receiveEach(socket, batch, count);
}

int waitReadable(const Socket* sockets, int count, bool* ready, int timeoutMs) {
    machine.lastWaitTimeoutMs = timeoutMs;
    for (int i = 0; i < count; ++i) ready[i] = false;
    if (machine.breakRequested) return -1;
    int readyCount = 0;
    for (int i = 0; i < count; ++i) {
        const fakeplatform::FakeSocket* entry = fakeplatform::findSocket(sockets[i]);
        if (entry == nullptr || entry->received.empty()) continue;
        ready[i] = true;
        ++readyCount;
    }
    return readyCount;  // with nothing queued the time-out passes at once: the test drives time
}

bool resolveHostName(const char* name, uint32_t& ip) {
    if (name == nullptr) return false;
    auto found = machine.hostNames.find(name);
    if (found != machine.hostNames.end()) {
        ip = found->second;
        return true;
    }
    if (std::string(name) == "localhost") {
        ip = fakeplatform::LoopbackIp;
        return true;
    }
    return fakeplatform::parseDottedQuad(name, ip);
}

int startLookup(const char* name) {
    if (name == nullptr) return -1;
    for (int handle = 0; handle < MaxLookups; ++handle) {
        fakeplatform::FakeLookup& lookup = machine.lookups[handle];
        if (lookup.taken) continue;
        auto delay = machine.lookupDelays.find(name);
        uint64_t wait = delay == machine.lookupDelays.end() ? 0 : delay->second;
        lookup = fakeplatform::FakeLookup{true, name,
                                          wait == fakeplatform::NeverAnswers ? wait : machine.milliseconds + wait};
        return handle;
    }
    return -1;
}

LookupStatus pollLookup(int handle, uint32_t& ip) {
    if (handle < 0 || handle >= MaxLookups || !machine.lookups[handle].taken) return LookupStatus::Failed;
    fakeplatform::FakeLookup& lookup = machine.lookups[handle];
    if (lookup.answersAtMs == fakeplatform::NeverAnswers || machine.milliseconds < lookup.answersAtMs)
        return LookupStatus::Pending;
    lookup.taken = false;
    return resolveHostName(lookup.name.c_str(), ip) ? LookupStatus::Found : LookupStatus::Failed;
}

void abandonLookup(int handle) {
    if (handle >= 0 && handle < MaxLookups) machine.lookups[handle].taken = false;
}

bool thisMachineAddress(uint32_t& ip) {
    if (!machine.thisMachineAvailable) return false;
    ip = machine.thisMachineIp;
    return true;
}

uint32_t monotonicSeconds() { return machine.seconds; }
uint64_t performanceFrequency() { return machine.ticksPerSecond; }
uint64_t performanceCounter() { return machine.milliseconds * (machine.ticksPerSecond / 1000); }

void writeConsole(const char* text, size_t length) {
    if (text != nullptr) machine.console.append(text, length);
}

void installBreakHandler() {}
bool breakRequested() { return machine.breakRequested; }
void raiseThreadPriority() {}

File createNewFile(const char* name, bool& exists) {
    exists = name != nullptr && machine.files.count(name) != 0;
    if (exists) {
        machine.lastFileError = "File exists";
        return NoFile;
    }
    if (name == nullptr || name[0] == '\0' || machine.failFileOpen) {
        machine.lastFileError = "Permission denied";
        return NoFile;
    }
    machine.files[name].clear();
    machine.fileHandles.push_back(fakeplatform::FakeFile{name, true});
    return fakeplatform::FirstFile + static_cast<File>(machine.fileHandles.size()) - 1;
}

const char* lastFileError() { return machine.lastFileError; }

bool writeFile(File file, const void* data, size_t length) {
    fakeplatform::FakeFile* entry = fakeplatform::findFile(file);
    if (entry == nullptr || (data == nullptr && length > 0)) return false;
    if (machine.fileRemoved) {
        machine.fileRemoved = false;
        machine.lastFileError = "Stale file handle";
        return false;
    }
    size_t fits = length;
    if (machine.diskLimited && fits > machine.diskBytesLeft) fits = machine.diskBytesLeft;
    if (machine.diskLimited) machine.diskBytesLeft -= fits;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    machine.files[entry->name].insert(machine.files[entry->name].end(), bytes, bytes + fits);
    if (fits != length) machine.lastFileError = "No space left on device";
    return fits == length;
}

bool closeFile(File file) {
    fakeplatform::FakeFile* entry = fakeplatform::findFile(file);
    if (entry == nullptr) return false;
    entry->open = false;
    if (!machine.closeFails) return true;
    machine.closeFails = false;
    machine.lastFileError = "Input/output error";
    return false;
}

}  // namespace platform
