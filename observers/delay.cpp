// The delay line: the relays' hand-offs to the observer side, kept in one ring of whole entries
// and played back when their time has come. Without a delay the hand-offs go straight through.
#include "observers/delay.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/print.h"
#include "net/framing.h"
#include "net/limiter.h"
#include "net/slots.h"
#include "observers/capture.h"
#include "observers/feed.h"
#include "observers/stream.h"
#include "observers/view.h"

namespace {

enum EntryKind : uint32_t { ServerEntry, MoveEntry, RecordStopEntry, RecordStartEntry };

struct EntryHeader {
    uint32_t arrivalMs;
    uint32_t streamNumber;
    uint32_t length;
    uint32_t kind;
};
constexpr uint32_t EntryHeaderBytes = sizeof(EntryHeader);

// Entries are never split: one that does not fit before the end starts again at 0 (wrapped),
// and the data of the upper part then ends at wrapEnd.
struct DelayLine {
    int seconds = 0;
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t capacity = 0;
    uint32_t head = 0;
    uint32_t tail = 0;
    uint32_t wrapEnd = 0;
    bool wrapped = false;
    uint32_t count = 0;
    uint32_t usedBytes = 0;
    bool forcing = false;  // observers are held while entries are played ahead of their time
    int recordCommands = 0;  // record commands on the line: a later one must wait behind them
    bool toldFull = false;
    uint32_t toldFullMs = 0;  // the console hears of a full line once a minute at most
};
constexpr uint32_t FullNoticeMs = 60000;
DelayLine line;

// Under a delay the relays still read by the live game's protocol: its reliable messages are
// gathered here and walked for the protocol they set, the observer side's walk coming later.
struct LiveFollower {
    ProtocolInForce protocol;
    int length = 0;
    bool skipping = false;  // inside a message not gathered from its start (or too long): not read
    uint8_t message[CaptureMessageCapacity];
};
LiveFollower live;

void followLiveStream(int length) {
    if (!isReliableFragment(PacketBuffer)) return;
    int payload = length - HeaderSize;
    if (payload > int(sizeof live.message) - live.length) live.skipping = true;
    if (!live.skipping) std::memcpy(live.message + live.length, PacketBuffer + HeaderSize, size_t(payload));
    live.length += live.skipping ? 0 : payload;
    if (!isLastFragment(PacketBuffer)) return;
    if (!live.skipping) followProtocol(live.message, live.length, live.protocol);
    live.length = 0;
    live.skipping = false;
}

// The relay's datagram is kept here while entries played ahead of time pass through the PacketBuffer.
uint8_t SavedPacket[PacketBufferSize];

EntryHeader headEntry() {
    EntryHeader h;
    std::memcpy(&h, line.bytes.get() + line.head, EntryHeaderBytes);
    return h;
}

bool isDue(const EntryHeader& h, uint32_t nowMs) {
    return int32_t(h.arrivalMs + uint32_t(line.seconds) * 1000u - nowMs) <= 0;
}

void emptyLine() {
    line.head = line.tail = line.wrapEnd = 0;
    line.wrapped = false;
    line.count = 0;
    line.usedBytes = 0;
    line.recordCommands = 0;
}

bool isRecordCommand(const EntryHeader& h) { return h.kind == RecordStopEntry || h.kind == RecordStartEntry; }

// Where an entry of `size` bytes goes, or -1 when the line has no room for it.
int64_t placeFor(uint32_t size) {
    if (line.count == 0) emptyLine();
    if (line.wrapped) return line.head - line.tail >= size ? int64_t(line.tail) : -1;
    if (line.capacity - line.tail >= size) return line.tail;
    return line.head >= size ? 0 : -1;
}

void append(const EntryHeader& h, const uint8_t* data) {
    uint32_t size = EntryHeaderBytes + h.length;
    int64_t at = placeFor(size);
    if (at < 0) return;
    if (at == 0 && line.tail != 0) {
        line.wrapEnd = line.tail;
        line.wrapped = true;
    }
    std::memcpy(line.bytes.get() + at, &h, EntryHeaderBytes);
    std::memcpy(line.bytes.get() + at + EntryHeaderBytes, data, h.length);
    line.tail = uint32_t(at) + size;
    line.count++;
    line.usedBytes += size;
    line.recordCommands += isRecordCommand(h);
}

// Takes the oldest entry off the line; its bytes stay where they are (at `at`) until the next append.
EntryHeader takeOldest(uint32_t* at) {
    EntryHeader h = headEntry();
    *at = line.head;
    uint32_t size = EntryHeaderBytes + h.length;
    line.head += size;
    line.usedBytes -= size;
    line.recordCommands -= isRecordCommand(h);
    if (--line.count == 0) emptyLine();
    if (line.wrapped && line.head == line.wrapEnd) {
        line.head = 0;
        line.wrapped = false;
    }
    return h;
}

void playRecordEntry(const EntryHeader& h) {
    if (h.kind == RecordStopEntry) return playRecordCommand(nullptr);
    char name[TextStoreSize];
    std::memcpy(name, PacketBuffer, h.length < sizeof name ? h.length : sizeof name);
    name[sizeof name - 1] = '\0';
    playRecordCommand(name);
}

// The oldest entry into the PacketBuffer and through the observer side.
void playOldest() {
    uint32_t at;
    EntryHeader h = takeOldest(&at);
    std::memcpy(PacketBuffer, line.bytes.get() + at + EntryHeaderBytes, h.length);
    if (h.kind == ServerEntry)
        captureStreamDatagram(int(h.length), h.streamNumber);
    else if (h.kind == MoveEntry)
        takeHostMove(int(h.length), !line.forcing);
    else
        playRecordEntry(h);
    // The host's connection ends: what the line still holds has no reader left.
    if (endRequests.host) emptyLine();
}

// Entries played ahead of their time would reach the observers as a burst that overruns the
// stored table: the observers leave the stream first and catch up again at the point reached.
void holdObservers() {
    if (line.forcing) return;
    std::memcpy(SavedPacket, PacketBuffer, sizeof SavedPacket);
    parkWatchingObservers();
    line.forcing = capture.observersHeld = true;
}

void releaseObservers() {
    if (!line.forcing) return;
    line.forcing = capture.observersHeld = false;
    std::memcpy(PacketBuffer, SavedPacket, sizeof SavedPacket);
    if (!endRequests.host && observersCanJoinMidLevel()) onStageCaptured(3);
}

// The line's entries, in order, from the start of `bytes` (which holds them all).
void moveLineInto(std::unique_ptr<uint8_t[]> bytes, uint32_t capacity) {
    uint32_t at = 0;
    uint32_t count = line.count;
    int recordCommands = line.recordCommands;
    while (line.count > 0) {
        uint32_t from;
        uint32_t size = EntryHeaderBytes + takeOldest(&from).length;
        std::memcpy(bytes.get() + at, line.bytes.get() + from, size);
        at += size;
    }
    line.bytes = std::move(bytes);
    line.capacity = capacity;
    emptyLine();
    line.tail = line.usedBytes = at;
    line.count = count;
    line.recordCommands = recordCommands;
}

// Room for `size` more bytes by doubling the line, up to DelayLineGrowth times its size; false
// past that. Each doubling copies the line once (a few milliseconds per 10 MiB).
bool growLine(uint32_t size) {
    uint32_t largest = uint32_t(line.seconds) * DelayLineBytesPerSecond * DelayLineGrowth;
    if (line.capacity >= largest) return false;
    uint32_t capacity = line.capacity > largest / 2 ? largest : line.capacity * 2;
    if (capacity - line.usedBytes < size) return false;
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[capacity]);
    if (!bytes) return false;
    moveLineInto(std::move(bytes), capacity);
    return true;
}

void tellLineFull(uint32_t lateMs, uint32_t nowMs) {
    if (line.toldFull && nowMs - line.toldFullMs < FullNoticeMs) return;
    line.toldFull = true;
    line.toldFullMs = nowMs;
    consolePrintf("Delay line full: observers catch up again %u.%u seconds late.\n", lateMs / 1000, lateMs % 1000 / 100);
}

void queue(EntryKind kind, const uint8_t* data, int length, uint32_t streamNumber) {
    EntryHeader h{performanceMs(), streamNumber, uint32_t(length), kind};
    uint32_t size = EntryHeaderBytes + h.length;
    if (placeFor(size) < 0 && !growLine(size)) {
        // More than the largest line holds: the game reaches the observers sooner, never the host
        // later. Half the line goes at once, so observers catch up again once, not per datagram.
        holdObservers();
        while (line.count > 0 && (placeFor(size) < 0 || line.usedBytes > line.capacity / 2) && slotTable.hostConnected)
            playOldest();
        uint32_t lateMs = line.count > 0 ? h.arrivalMs - headEntry().arrivalMs : 0;
        releaseObservers();
        tellLineFull(lateMs, h.arrivalMs);
    }
    if (slotTable.hostConnected && !endRequests.host) append(h, data);
}

}  // namespace

void resetDelayLine() {
    line = DelayLine();
    live.protocol = ProtocolInForce();
    live.length = 0;
    live.skipping = false;
}

int delaySeconds() { return line.seconds; }

uint32_t delayLineCapacity() { return line.capacity; }

bool setDelaySeconds(int seconds) {
    if (seconds < 0 || seconds > MaxDelaySeconds) return false;
    if (seconds == line.seconds) return true;
    if (line.seconds == 0) {
        // Until now the observer side read the live game: it goes on from there.
        live.protocol = playedProtocol();
        live.length = 0;
        live.skipping = capture.liveMidMessage;
    }
    uint32_t capacity = uint32_t(seconds) * DelayLineBytesPerSecond;
    std::unique_ptr<uint8_t[]> bytes;
    if (seconds > 0) {
        bytes.reset(new (std::nothrow) uint8_t[capacity]);
        if (!bytes) return false;
    }
    line.seconds = seconds;
    uint32_t nowMs = performanceMs();
    while (line.count > 0 && (isDue(headEntry(), nowMs) || line.usedBytes > capacity)) {
        holdObservers();
        playOldest();
    }
    // What is left goes over in order and fits from the start of the new line.
    moveLineInto(std::move(bytes), capacity);
    releaseObservers();
    return true;
}

void playDueEntries() {
    if (line.count == 0) return;
    if (!slotTable.hostConnected) return emptyLine();  // every reader left with the host
    uint32_t nowMs = performanceMs();
    while (line.count > 0 && isDue(headEntry(), nowMs)) playOldest();
}

int msUntilNextEntry() {
    if (line.count == 0) return -1;
    int32_t ms = int32_t(headEntry().arrivalMs + uint32_t(line.seconds) * 1000u - performanceMs());
    return ms < 0 ? 0 : ms;
}

void playDelayLineThrough() {
    // The live stream ends here: a next server's starts a message of its own.
    capture.liveMidMessage = false;
    live.length = 0;
    live.skipping = false;
    // A disconnect that playing causes (a host timed out) comes back here: the outer call goes on.
    if (line.count == 0 || line.forcing) return;
    holdObservers();
    while (line.count > 0 && slotTable.hostConnected) playOldest();
    emptyLine();
    releaseObservers();
}

void handServerDatagram(int length) {
    if (isReliableFragment(PacketBuffer)) capture.liveMidMessage = PacketBuffer[1] == FlagData;
    if (line.seconds == 0) return captureServerDatagram(length);
    followLiveStream(length);
    // Acks tell the observer side nothing.
    if (!isAckDatagram(PacketBuffer)) queue(ServerEntry, PacketBuffer, length, numbering.lastHostReliableSeq);
}

void handHostMove(int length) {
    if (line.seconds == 0) return takeHostMove(length, true);
    queue(MoveEntry, PacketBuffer, length, 0);
}

bool streamDelayed() { return line.seconds > 0; }

ProtocolInForce liveProtocol() { return line.seconds > 0 ? live.protocol : playedProtocol(); }

bool recordWhenPlayed(const char* name) {
    if (line.seconds == 0 || (!recording() && line.recordCommands == 0)) return false;
    char copy[TextStoreSize] = {};
    if (name != nullptr) std::memcpy(copy, name, strnlen(name, sizeof copy - 1));
    if (name == nullptr)
        queue(RecordStopEntry, PacketBuffer, 0, 0);
    else
        queue(RecordStartEntry, reinterpret_cast<const uint8_t*>(copy), int(strnlen(copy, sizeof copy)) + 1, 0);
    return true;
}
