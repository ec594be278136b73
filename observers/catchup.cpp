// An observer's reliable stream: catch-up messages from the level's records, then the stored
// server datagrams, re-cut to pieces of at most 1024 bytes (a 1996 client takes no more).
#include "observers/catchup.h"

#include <cstring>

#include "core/loop.h"
#include "net/framing.h"
#include "net/senders.h"
#include "observers/capture.h"
#include "observers/slots.h"
#include "platform/platform.h"

namespace {

// svc_stufftext "reconnect\n": a client signed on takes signon 1 only after it (QuakeSpasm and
// its kin; DarkPlaces takes either).
const uint8_t ReconnectText[] = {9, 'r', 'e', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0};
uint8_t CatchUpStores[SlotCount][RecordHeaderSize + MaxCatchUpMessage];
uint8_t FragmentDatagram[HeaderSize + MaxBuiltPayload];

void sendCatchUpFragment(int slot) {
    Slot& s = slotTable.slot[slot];
    const uint8_t* store = CatchUpStores[slot];
    int32_t remaining = int32_t(recordLength(store) - s.catchUpOffset);
    if (remaining > 0)
        sendMessagePiece(store + RecordHeaderSize + s.catchUpOffset, remaining, s.catchUpSeq, FragmentDatagram, slot);
    s.lastReliableSendTime = loop.nowSeconds;
}

uint32_t pieceIndex(const Slot& s) { return s.pieceOffset / MaxBuiltPayload; }

// The piece of a stored datagram the observer is due, in its numbering. Datagrams of at most
// 1024 payload bytes go as they are stored, renumbered in place.
void sendStoredPiece(int slot, StoredEntry& entry) {
    const Slot& s = slotTable.slot[slot];
    uint32_t number = entry.streamNumber - s.seqOffset + pieceIndex(s);
    int payload = entry.length - HeaderSize;
    if (payload <= MaxBuiltPayload) {
        setSequenceField(entry.datagram, number);
        return platform::sendTo(s.socket, entry.datagram, entry.length, s.peerAddress);
    }
    const uint8_t* from = entry.datagram + HeaderSize + s.pieceOffset;
    int remaining = payload - int(s.pieceOffset);
    int piece = remaining < MaxBuiltPayload ? remaining : MaxBuiltPayload;
    // A datagram that does not end its message ends none of its pieces either.
    bool last = piece == remaining && isLastFragment(entry.datagram);
    sendFragment(from, piece, last, number, FragmentDatagram, slot);
}

}  // namespace

uint8_t* catchUpStore(int slot) { return CatchUpStores[slot]; }

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
    if (message != 2) s.catchUpPart = 0;
    uint32_t length = recordLength(store);
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
        if (entry.held && (entry.mask & (1u << slot)) != 0) sendStoredPiece(slot, entry);
    }
    s.lastReliableSendTime = loop.nowSeconds;
}

void sendLiveReliable(int slot, uint32_t streamNumber) {
    const Slot& s = slotTable.slot[slot];
    // One fragment in flight, after any catch-up message: acks and the resend timer send the rest.
    if (streamNumber != s.ackedSeq + 1 || s.catchUpMessage != NoCatchUpMessage || s.pieceOffset != 0) return;
    StoredEntry& entry = capture.stored[streamNumber % StoredCount];
    if (entry.held && entry.streamNumber == streamNumber) sendStoredPiece(slot, entry);
}

uint32_t nextStreamNumber(int slot) {
    const Slot& s = slotTable.slot[slot];
    return s.ackedSeq + 1 - s.seqOffset + pieceIndex(s);
}

void takeStreamAck(int slot, uint32_t number) {
    Slot& s = slotTable.slot[slot];
    uint32_t a = s.ackedSeq + 1;
    StoredEntry& entry = capture.stored[a % StoredCount];
    if (number + s.seqOffset != a + pieceIndex(s) || !entry.held || entry.streamNumber != a) return;
    s.pieceOffset += MaxBuiltPayload;
    if (int(s.pieceOffset) < entry.length - HeaderSize) return;
    // Its pieces took numbers of their own: the stream's next datagram follows the last of them.
    s.seqOffset -= pieceIndex(s) - 1;
    s.pieceOffset = 0;
    s.ackedSeq = a;
    entry.mask &= ~(1u << slot);
    releaseStoredIfDone(entry);
}
