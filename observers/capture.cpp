// Server stream capture: keeps the server's reliable datagrams for the observers, reassembles the
// reliable messages, captures each level's signon as catch-up records, and hands the stream to its
// sinks, the observer feed and the demo recorder.
#include "observers/capture.h"

#include <cstring>

#include "core/print.h"
#include "core/settings.h"
#include "net/slots.h"
#include "observers/feed.h"
#include "observers/scanner.h"
#include "observers/view.h"

CaptureState capture;
EndRequests endRequests;

namespace {

constexpr uint32_t HostBit = 1u << HostSlot;

int lastSlotVisited() { return settings.slotLimit < SlotCount ? settings.slotLimit : SlotCount - 1; }

// Wrap-safe: is stream number a at or after b?
bool streamAtOrAfter(uint32_t a, uint32_t b) { return int32_t(a - b) >= 0; }

void clearCaptureBuffer() {
    capture.captureWritePos = 0;
    setRecordLength(capture.captureBuffer, 0);
    capture.dropMessage = false;
}

StoredEntry& entryFor(uint32_t streamNumber) { return capture.stored[streamNumber % StoredCount]; }

void releaseEntry(StoredEntry& entry) {
    entry.held = false;
    entry.streamNumber = 0;
    entry.mask = 0;
    entry.length = 0;
}

// The observers that still need an entry the table must now reuse never got past it: slow, they
// catch up again rather than lose their place.
void leaveStoreBehind(StoredEntry& entry) {
    for (int n = FirstObserverSlot; n <= lastSlotVisited(); n++)
        if ((entry.mask & (1u << n)) != 0 && slotInUse(n)) fallBehindStore(n);
    // A bit no removal reached would keep the entry, and its slot's stream, forever.
    for (int n = FirstObserverSlot; n < SlotCount && entry.held; n++)
        if ((entry.mask & (1u << n)) != 0) forgetSlotInStore(n);
    if (entry.held) releaseEntry(entry);
}

// Keeps the reliable fragment numbered `a` for its readers. False when the host side fell a
// whole table behind and the host connection has been closed.
bool storeReliable(uint32_t a, int length) {
    if (!streamAtOrAfter(a, capture.nextReassemblySeq)) return true;
    StoredEntry& entry = entryFor(a);
    if (entry.held && entry.streamNumber == a) return true;  // the server sent it again
    if (entry.held) {
        if ((entry.mask & HostBit) != 0) {
            consolePrintf("Client timed out.\n");
            endRequests.host = true;
            return false;
        }
        leaveStoreBehind(entry);
    }
    if (capture.fanOutMask == 0) return true;
    std::memcpy(entry.datagram, PacketBuffer, size_t(length));
    entry.length = length;
    entry.streamNumber = a;
    entry.mask = capture.fanOutMask;
    entry.held = true;
    return true;
}

void appendToCaptureBuffer(const uint8_t* bytes, int count) {
    if (capture.dropMessage) return;
    if (count > CaptureMessageCapacity - capture.captureWritePos) {
        // Not written past the end: the whole message is left out of capture and recording.
        capture.dropMessage = true;
        return;
    }
    std::memcpy(capture.captureBuffer + RecordHeaderSize + capture.captureWritePos, bytes, size_t(count));
    capture.captureWritePos += count;
    setRecordLength(capture.captureBuffer, uint32_t(capture.captureWritePos));
}

void setHostState(int32_t state) {
    if (slotInUse(HostSlot)) hostSlot().state = state;
}

void resetStates() {
    resetClientStates();
    capture.longMessageSeen = false;
    capture.gatheringStage2 = false;
}

void clearStage2() {
    capture.stage2Count = 0;
    capture.stage2PoolUsed = 0;
    capture.stage2TooLong = false;
}

void captureServerInfo() {
    uint32_t length = recordLength(capture.captureBuffer);
    std::memcpy(capture.record1, capture.captureBuffer, RecordHeaderSize + length);
    capture.recordValid[0] = length <= uint32_t(MaxCatchUpMessage);
    capture.recordValid[1] = false;
    capture.stageEndSeq[1] = capture.nextReassemblySeq - 1;
    capture.stageEndSeq[2] = capture.stageEndSeq[1];  // nothing of stage 2 yet
    clearStage2();
    capture.gatheringStage2 = true;
    onStageCaptured(1);
    setHostState(2);
}

// The message in the CaptureBuffer as the next stage-2 record; false when the pool has no room.
bool keepStage2Message() {
    uint32_t length = recordLength(capture.captureBuffer);
    int size = RecordHeaderSize + int(length);
    if (length > uint32_t(MaxCatchUpMessage) || capture.stage2Count == MaxStage2Messages ||
        size > Stage2PoolBytes - capture.stage2PoolUsed)
        return false;
    std::memcpy(capture.stage2Pool + capture.stage2PoolUsed, capture.captureBuffer, size_t(size));
    capture.stage2Offsets[capture.stage2Count++] = capture.stage2PoolUsed;
    capture.stage2PoolUsed += size;
    return true;
}

// One message of signon stage 2; `last` when it carried svc_signonnum 2. Observers in a level
// change take each message as it completes, so the stored table never wraps under them.
void gatherStage2(bool last) {
    if (!capture.gatheringStage2) clearStage2();  // no stage 1 came before it: stage 2 is this alone
    if (!capture.stage2TooLong && !keepStage2Message()) {
        // Never a part of stage 2 to a client: this level admits no observers mid-level.
        capture.stage2TooLong = true;
        capture.stage2Count = 0;
    }
    capture.gatheringStage2 = !last;
    capture.stageEndSeq[2] = capture.nextReassemblySeq - 1;
    onStageCaptured(2);
    if (!last) return;
    capture.recordValid[1] = !capture.stage2TooLong;
    setHostState(3);
}

void captureStage(int r) {
    switch (r) {
    case 1: return captureServerInfo();
    case 2: return gatherStage2(true);
    case 3:
        capture.gatheringStage2 = false;
        setHostState(SlotInGame);
        return onStageCaptured(3);
    case -1: return resetStates();
    default:
        if (capture.gatheringStage2 && hostSlot().state == 2) return gatherStage2(false);
        capture.gatheringStage2 = false;
        return;
    }
}

// A svc_serverinfo came: the level the host was in is over even without an intermission.
void beginLevel() {
    if (hostSlot().state == SlotInGame) resetStates();
    capture.gatheringStage2 = false;  // a stage 1 of this level starts it again
    if (gameState.protocolKnown) {
        capture.unknownProtocolTold = false;
        return;
    }
    if (!capture.unknownProtocolTold) {
        char text[80];
        int length = formatText(text, sizeof text, "Observers and recording are not available for protocol %d.\n",
                                int(gameState.protocol));
        printToHost(text, length + 1);
        consolePrintf("%s", text);
        capture.unknownProtocolTold = true;
    }
    parkWatchingObservers();
}

void completeMessage() {
    if (capture.dropMessage) {
        cutRecording("a server message too long to record");
        return clearCaptureBuffer();
    }
    int length = capture.captureWritePos;
    uint8_t* message = capture.captureBuffer + RecordHeaderSize;
    message[length] = 0;
    setRecordLength(capture.captureBuffer, uint32_t(length));
    writeDemoView(capture.captureBuffer);

    int32_t hostBefore = hostSlot().state;
    bool knownBefore = gameState.protocolKnown;
    uint32_t infoBefore = gameState.serverInfoCount;
    int r = scanServerMessage(message, length);
    bool newLevel = gameState.serverInfoCount != infoBefore || r == 1 || knownBefore != gameState.protocolKnown;
    if (newLevel) beginLevel();
    captureStage(r);
    if (recording() && isReconnectOrder(message, length)) {
        resetStates();
        recordReconnect();
    } else {
        recordStreamMessage(message, length, newLevel, hostBefore == SlotInGame || hostBefore == SlotLeftGame);
    }
    clearCaptureBuffer();
    onMessageBoundary();
}

void reassemble() {
    for (;;) {
        StoredEntry& entry = entryFor(capture.nextReassemblySeq);
        if (!entry.held || entry.streamNumber != capture.nextReassemblySeq) return;
        appendToCaptureBuffer(entry.datagram + HeaderSize, entry.length - HeaderSize);
        if (capture.awaitingMessageEnd != 0)
            takeMessageRests(entry.datagram + HeaderSize, entry.length - HeaderSize, isLastFragment(entry.datagram));
        capture.nextReassemblySeq++;
        if (isLastFragment(entry.datagram)) completeMessage();
        entry.mask &= ~HostBit;
        releaseStoredIfDone(entry);
    }
}

}  // namespace

void resetCapture() {
    endRequests = EndRequests();
    for (StoredEntry& entry : capture.stored) releaseEntry(entry);
    capture.stored[0].streamNumber = 1;
    capture.fanOutMask = HostBit;
    capture.nextReassemblySeq = 0;
    for (uint32_t& seq : capture.stageEndSeq) seq = 0;
    capture.longMessageSeen = false;
    clearCaptureBuffer();
    capture.awaitingMessageEnd = 0;
    std::memset(capture.captureBuffer, 0, RecordHeaderSize);
    std::memset(capture.record1, 0, RecordHeaderSize);
    clearStage2();
    std::memset(capture.record3, 0, RecordHeaderSize);
    capture.recordValid[0] = false;
    capture.recordValid[1] = false;
    capture.recordValid[2] = true;
    capture.midMessage = false;
    capture.liveMidMessage = false;
    capture.streamNumber = 0xFFFFFFFF;
    capture.observersHeld = false;
    capture.gatheringStage2 = false;
    capture.unknownProtocolTold = false;
}

const uint8_t* catchUpRecord(int n) { return n == 1 ? capture.record1 : capture.record3; }

int stage2MessageCount() { return capture.stage2Count; }

const uint8_t* stage2Message(int part) { return capture.stage2Pool + capture.stage2Offsets[part]; }

uint8_t* stateBlockRecord() { return capture.record3; }

bool streamInsideMessage() { return capture.liveMidMessage; }

void storeStreamForHostOnly() { capture.fanOutMask = HostBit; }

bool observersCanJoinMidLevel() {
    return hostSlot().state == SlotInGame && gameState.protocolKnown && catchUpRecordsValid();
}

bool catchUpRecordsValid() { return capture.recordValid[0] && capture.recordValid[1]; }

void captureServerDatagram(int length) { captureStreamDatagram(length, numbering.lastHostReliableSeq); }

void captureStreamDatagram(int length, uint32_t a) {
    if (length < HeaderSize || length > MaxDatagram || !isDataDatagram(PacketBuffer)) return;
    bool reliable = isReliableFragment(PacketBuffer);
    capture.streamNumber = a;
    if (reliable) {
        capture.midMessage = PacketBuffer[1] == FlagData;
        if (!storeReliable(a, length)) return;
    }
    if (PacketBuffer[1] == FlagData) capture.longMessageSeen = true;
    if (!isAckDatagram(PacketBuffer) && slotTable.hostConnected) fanOutToObservers(length, a);
    if (reliable) return reassemble();
    if (isUnreliableDatagram(PacketBuffer)) recordUnreliable(PacketBuffer + HeaderSize, length - HeaderSize);
}

void emptyCaptureBuffer() {
    clearCaptureBuffer();
    abandonMessageRests();
}

void forgetSlotInStore(int slot) {
    if (slot < 0 || slot >= SlotCount) return;
    uint32_t bit = 1u << slot;
    capture.fanOutMask &= ~bit;
    capture.awaitingMessageEnd &= ~bit;
    for (StoredEntry& entry : capture.stored) {
        if (!entry.held || (entry.mask & bit) == 0) continue;
        entry.mask &= ~bit;
        releaseStoredIfDone(entry);
    }
}

void releaseStoredIfDone(StoredEntry& entry) {
    if (entry.held && entry.mask == 0) releaseEntry(entry);
}

void resetStreamNumbering() {
    // Every reader is gone with the host connection: nothing stored is needed any more.
    for (StoredEntry& entry : capture.stored) releaseEntry(entry);
    capture.stored[0].streamNumber = 1;
    capture.nextReassemblySeq = 0;
    capture.midMessage = false;
    capture.liveMidMessage = false;
    capture.streamNumber = 0xFFFFFFFF;
    capture.gatheringStage2 = false;
    clearCaptureBuffer();
}
