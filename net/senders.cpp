// The proxy's own datagrams: unreliable prints and commands, the collected observer texts,
// reliable catch-up messages, and stored server datagrams renumbered for one observer.
#include "net/senders.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/loop.h"
#include "core/print.h"
#include "core/settings.h"
#include "net/framing.h"
#include "observers/capture.h"
#include "observers/slots.h"

ObserverPrintBuffer observerPrints;

static uint8_t SendBuffer[SendBufferSize] = {0x00, FlagUnreliable, 0, 0, 0, 0, 0, 0, 8, 2};
static uint8_t ScratchDatagram[MaxGrownDatagram];

void resetSenders() {
    observerPrints = ObserverPrintBuffer();
    memset(SendBuffer + 2, 0, sizeof SendBuffer - 2);
    SendBuffer[8] = 8;
    SendBuffer[9] = 2;
}

void sendToSlot(uint8_t* datagram, int length, int slot) {
    Slot& s = slotTable.slot[slot];
    setLengthField(datagram, length);
    stampNext(datagram, s.unreliableSeq);
    platform::sendTo(s.socket, datagram, length, s.peerAddress);
}

void sendRawToSlot(const uint8_t* message, int length, int slot) {
    if (length < 0) return;
    if (length > MaxSendPayload) length = MaxSendPayload;
    memcpy(SendBuffer + HeaderSize, message, size_t(length));
    sendToSlot(SendBuffer, length + HeaderSize, slot);
}

void sendRawToHost(const uint8_t* message, int length) { sendRawToSlot(message, length, HostSlot); }

void printToSlot(const char* text, int length, int slot) {
    constexpr int MaxText = MaxSendPayload - 2;
    if (length < 0) return;
    if (length > MaxText) length = MaxText;
    SendBuffer[8] = 8;
    SendBuffer[9] = 2;
    memcpy(SendBuffer + 10, text, size_t(length));
    if (length == MaxText) SendBuffer[10 + length - 1] = 0;  // a cut text still ends its string
    sendToSlot(SendBuffer, length + 10, slot);
}

void printToHost(const char* text, int length) { printToSlot(text, length, HostSlot); }

void printfToSlot(int slot, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = formatTextArgs(text, sizeof text, format, args);
    va_end(args);
    printToSlot(text, n + 1, slot);
}

int observerPrintTextLength() { return observerPrints.writePos - 2; }

void appendObserverPrint(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = formatTextArgs(text, sizeof text, format, args);
    va_end(args);
    if (n == 0) return;
    if (n > MaxObserverPrintText) n = MaxObserverPrintText;
    // The flushed text must fit one datagram: send what is collected before it would not.
    if (observerPrintTextLength() + n > MaxObserverPrintText) flushObserverPrints();
    memcpy(observerPrints.bytes + observerPrints.writePos, text, size_t(n));
    observerPrints.writePos += n;
    observerPrints.bytes[observerPrints.writePos] = 0;
}

static void emptyObserverPrints() {
    observerPrints.writePos = 2;
    observerPrints.bytes[2] = 0;
}

void flushObserverPrints() {
    if (observerPrintsEmpty()) return;
    observerPrints.bytes[observerPrints.writePos] = 0;
    int n = observerPrints.writePos + 1;
    ScratchDatagram[0] = 0;
    ScratchDatagram[1] = FlagUnreliable;
    setLengthField(ScratchDatagram, n + HeaderSize);
    memcpy(ScratchDatagram + HeaderSize, observerPrints.bytes, size_t(n));
    for (int i = HostSlot; i <= settings.slotLimit; ++i) {
        Slot& s = slotTable.slot[i];
        if ((s.state & 1) == 0) continue;
        stampNext(ScratchDatagram, s.unreliableSeq);
        platform::sendTo(s.socket, ScratchDatagram, n + HeaderSize, s.peerAddress);
    }
    emptyObserverPrints();
}

int takeObserverPrints(uint8_t* dest, int room) {
    if (observerPrintsEmpty()) return 0;
    observerPrints.bytes[observerPrints.writePos] = 0;
    int n = observerPrints.writePos + 1;
    if (n > room) return 0;
    memcpy(dest, observerPrints.bytes, size_t(n));
    emptyObserverPrints();
    return n;
}

// One fragment of a message: `remaining` bytes from p are left, this piece takes up to 1024 of them.
static void sendFragment(const uint8_t* p, int32_t remaining, uint32_t number, uint8_t* build, int slot) {
    const Slot& s = slotTable.slot[slot];
    int piece = remaining > MaxBuiltPayload ? MaxBuiltPayload : int(remaining);
    build[0] = 0;
    build[1] = remaining > MaxBuiltPayload ? FlagData : (FlagData | FlagEom);
    setLengthField(build, piece + HeaderSize);
    setSequenceField(build, number);
    memcpy(build + HeaderSize, p, size_t(piece));
    platform::sendTo(s.socket, build, piece + HeaderSize, s.peerAddress);
}

void sendReliable(const uint8_t* record, uint8_t* build, int slot) {
    Slot& s = slotTable.slot[slot];
    int32_t remaining = int32_t(recordLength(record));
    for (const uint8_t* p = record + RecordHeaderSize; remaining > 0; p += MaxBuiltPayload) {
        sendFragment(p, remaining, s.reliableSeq++, build, slot);
        remaining -= MaxBuiltPayload;
    }
}

// svc_stufftext "reconnect\n": a client signed on takes signon 1 only after it (QuakeSpasm and
// its kin; DarkPlaces takes either).
static const uint8_t ReconnectText[] = {9, 'r', 'e', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0};
static uint8_t CatchUpStores[SlotCount][RecordHeaderSize + MaxCatchUpMessage];
static uint8_t FragmentDatagram[HeaderSize + MaxBuiltPayload];

uint8_t* catchUpStore(int slot) { return CatchUpStores[slot]; }

static void sendCatchUpFragment(int slot) {
    Slot& s = slotTable.slot[slot];
    const uint8_t* store = CatchUpStores[slot];
    int32_t remaining = int32_t(recordLength(store) - s.catchUpOffset);
    if (remaining > 0) sendFragment(store + RecordHeaderSize + s.catchUpOffset, remaining, s.catchUpSeq, FragmentDatagram, slot);
    s.lastReliableSendTime = loop.nowSeconds;
}

void startCatchUpMessage(int slot, int32_t message) {
    Slot& s = slotTable.slot[slot];
    uint8_t* store = CatchUpStores[slot];
    if (message == ReconnectOrder) {
        setRecordLength(store, sizeof ReconnectText);
        memcpy(store + RecordHeaderSize, ReconnectText, sizeof ReconnectText);
    } else if (message == 1 || message == 2) {
        if (message == 2 && s.catchUpPart >= uint32_t(stage2MessageCount())) return;
        const uint8_t* record = message == 1 ? catchUpRecord(1) : stage2Message(int(s.catchUpPart));
        if (recordLength(record) > uint32_t(MaxCatchUpMessage)) return;  // never valid for a catch-up
        memcpy(store, record, RecordHeaderSize + recordLength(record));
    }
    uint32_t length = recordLength(store);
    if (message != 2) s.catchUpPart = 0;
    s.catchUpSeq = s.reliableSeq;
    s.catchUpOffset = 0;
    s.reliableSeq += (length + MaxBuiltPayload - 1) / MaxBuiltPayload;
    s.catchUpMessage = length > 0 ? message : NoCatchUpMessage;
    if (length == 0) s.catchUpTaken = message;  // nothing to take: as good as taken
    sendCatchUpFragment(slot);
}

bool takeCatchUpAck(int slot, uint32_t number) {
    Slot& s = slotTable.slot[slot];
    if (s.catchUpMessage == NoCatchUpMessage || number != s.catchUpSeq) return false;
    s.catchUpSeq++;
    s.catchUpOffset += MaxBuiltPayload;
    if (s.catchUpOffset < recordLength(CatchUpStores[slot])) {
        sendCatchUpFragment(slot);
        return true;
    }
    // Stage 2 goes as the server sent it: each of its messages follows the one before.
    if (s.catchUpMessage == 2 && ++s.catchUpPart < uint32_t(stage2MessageCount())) {
        startCatchUpMessage(slot, 2);
        return true;
    }
    if (s.catchUpMessage != EndedRecord) s.catchUpTaken = s.catchUpMessage;
    s.catchUpMessage = NoCatchUpMessage;
    s.lastReliableSendTime = loop.nowSeconds;  // record 1 follows a reconnect order a resend period later
    return true;
}

void restartCatchUp(int slot) {
    Slot& s = slotTable.slot[slot];
    s.state = SlotWaiting;
    s.catchUpTaken = NoCatchUpMessage;
    // The client is inside that message: it is finished first, and its ack starts record 1.
    if (s.catchUpMessage != NoCatchUpMessage) {
        s.catchUpMessage = EndedRecord;
        return;
    }
    // Every fragment numbered so far was taken: a client that took any took a signon.
    startCatchUpMessage(slot, s.reliableSeq > 0 ? ReconnectOrder : 1);
}

void sendNextStoredBlock(int slot) {
    Slot& s = slotTable.slot[slot];
    if (s.catchUpMessage != NoCatchUpMessage) return sendCatchUpFragment(slot);  // the stream follows it
    if (s.state == SlotInGame || (s.state > SlotInGame && s.ackedSeq < s.targetSeq)) {
        StoredEntry& entry = capture.stored[(s.ackedSeq + 1) % StoredCount];
        if (entry.held && (entry.mask & (1u << slot)) != 0) {
            setSequenceField(entry.datagram, entry.streamNumber - s.seqOffset);
            platform::sendTo(s.socket, entry.datagram, lengthField(entry.datagram), s.peerAddress);
        }
    }
    s.lastReliableSendTime = loop.nowSeconds;
}
