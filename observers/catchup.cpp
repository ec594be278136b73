// An observer's reliable stream: catch-up messages from the level's records, then the stored
// server datagrams, re-cut to pieces of at most 1024 bytes (a 1996 client takes no more).
#include "observers/catchup.h"

#include <cstring>

#include "core/clock.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/capture.h"

namespace {

// svc_stufftext "reconnect\n": a client signed on takes signon 1 only after it (QuakeSpasm and
// its kin; DarkPlaces takes either).
const uint8_t ReconnectText[] = {9, 'r', 'e', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0};
uint8_t CatchUpStores[SlotCount][RecordHeaderSize + MaxCatchUpMessage];

bool awaitingMessageEnd(int slot) { return (capture.awaitingMessageEnd & (1u << slot)) != 0; }

// Pieces of 1024 bytes; the rest of a stream message starts with the piece the stream itself
// cut there, which its client may hold already.
int32_t pieceLength(const Slot& s, const uint8_t* store) {
    int32_t piece = int32_t(recordLength(store) - s.catchUpOffset);
    if (piece > MaxBuiltPayload) piece = MaxBuiltPayload;
    if (s.catchUpOffset < s.catchUpCut && int32_t(s.catchUpCut - s.catchUpOffset) < piece)
        piece = int32_t(s.catchUpCut - s.catchUpOffset);
    return piece;
}

uint32_t pieceCount(uint32_t length, uint32_t cut) {
    auto pieces = [](uint32_t bytes) { return (bytes + MaxBuiltPayload - 1) / MaxBuiltPayload; };
    return cut == 0 || cut >= length ? pieces(length) : pieces(cut) + pieces(length - cut);
}

void sendCatchUpFragment(int slot) {
    Slot& s = slotTable.slot[slot];
    const uint8_t* store = CatchUpStores[slot];
    int32_t piece = pieceLength(s, store);
    // A rest still being gathered goes once it is whole: its last piece ends the message.
    if (piece > 0 && !awaitingMessageEnd(slot)) {
        bool last = s.catchUpOffset + uint32_t(piece) == recordLength(store);
        sendFragment(store + RecordHeaderSize + s.catchUpOffset, piece, last, s.catchUpSeq, slot);
    }
    s.lastReliableSendTime = loop.nowSeconds;
}

// The store's message goes from its first fragment, numbered on from reliableSeq.
void beginStoredMessage(int slot, int32_t message, uint32_t cut) {
    Slot& s = slotTable.slot[slot];
    uint32_t length = recordLength(CatchUpStores[slot]);
    s.catchUpCut = cut;
    s.catchUpSeq = s.reliableSeq;
    s.catchUpOffset = 0;
    s.reliableSeq += pieceCount(length, cut);
    s.catchUpMessage = length > 0 ? message : NoCatchUpMessage;
    if (length == 0) s.catchUpTaken = message;  // nothing to take: as good as taken
    sendCatchUpFragment(slot);
}

bool appendToStore(int slot, const uint8_t* bytes, uint32_t count) {
    uint8_t* store = CatchUpStores[slot];
    uint32_t length = recordLength(store);
    if (count > uint32_t(MaxCatchUpMessage) - length) return false;
    memcpy(store + RecordHeaderSize + length, bytes, count);
    setRecordLength(store, length + count);
    return true;
}

uint32_t pieceIndex(const Slot& s) { return s.pieceOffset / MaxBuiltPayload; }

// In the game the observer takes the stream as it comes, and so past the level's end until the
// host's next signon begins (an intermission, a finale's text); in a level change up to the stage
// its own signon asked for.
bool feedsStoredStream(const Slot& s) {
    if (s.state == SlotInGame || (s.state == SlotLeftGame && hostSlot().state == SlotLeftGame)) return true;
    return s.state > SlotInGame && s.ackedSeq < s.targetSeq;
}

// The piece of a stored datagram the observer is due, in its numbering, sent from the store (all of
// a datagram of at most 1024 payload bytes).
void sendStoredPiece(int slot, const StoredEntry& entry) {
    const Slot& s = slotTable.slot[slot];
    uint32_t number = entry.streamNumber - s.seqOffset + pieceIndex(s);
    int payload = entry.length - HeaderSize;
    const uint8_t* from = entry.datagram + HeaderSize + s.pieceOffset;
    int remaining = payload - int(s.pieceOffset);
    int piece = remaining < MaxBuiltPayload ? remaining : MaxBuiltPayload;
    // A datagram that does not end its message ends none of its pieces either.
    bool last = piece == remaining && isLastFragment(entry.datagram);
    sendFragment(from, piece, last, number, slot);
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
    beginStoredMessage(slot, message, 0);
}

MessageRest storeMessageRest(int slot) {
    Slot& s = slotTable.slot[slot];
    uint32_t first = s.ackedSeq + 1;
    const StoredEntry& next = capture.stored[first % StoredCount];
    bool nextStored = next.held && next.streamNumber == first && int32_t(first - capture.nextReassemblySeq) < 0;
    // A piece may be out whose ack was lost: its client may hold the start of that message too.
    if (!s.midMessage && s.pieceOffset == 0 && !nextStored) return RestNone;
    setRecordLength(CatchUpStores[slot], 0);
    s.catchUpCut = 0;
    for (uint32_t a = first; int32_t(a - capture.nextReassemblySeq) < 0; a++) {
        const StoredEntry& entry = capture.stored[a % StoredCount];
        if (!entry.held || entry.streamNumber != a || (entry.mask & (1u << slot)) == 0) return RestLost;
        uint32_t from = a == first ? s.pieceOffset : 0;
        if (!appendToStore(slot, entry.datagram + HeaderSize + from, uint32_t(entry.length - HeaderSize) - from))
            return RestLost;
        if (s.catchUpCut == 0) s.catchUpCut = recordLength(CatchUpStores[slot]);
        if (isLastFragment(entry.datagram)) return RestWhole;
    }
    return RestPartial;
}

bool addToMessageRest(int slot, const uint8_t* bytes, int count) {
    return count >= 0 && appendToStore(slot, bytes, uint32_t(count));
}

void sendMessageRest(int slot) { beginStoredMessage(slot, EndedRecord, slotTable.slot[slot].catchUpCut); }

bool takeCatchUpAck(int slot, uint32_t number) {
    Slot& s = slotTable.slot[slot];
    if (s.catchUpMessage == NoCatchUpMessage || number != s.catchUpSeq || awaitingMessageEnd(slot)) return false;
    s.catchUpSeq++;
    s.catchUpOffset += uint32_t(pieceLength(s, CatchUpStores[slot]));
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
    if (feedsStoredStream(s)) {
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
    s.midMessage = !isLastFragment(entry.datagram);
    entry.mask &= ~(1u << slot);
    releaseStoredIfDone(entry);
}
