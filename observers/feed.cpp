// Observer catch-up and feed: what observers send (acks, requests, moves, leaving), the catch-up
// records that bring them into a level, and the server's datagrams in each observer's numbering.
#include "observers/feed.h"

#include <cstring>

#include "core/clock.h"
#include "core/print.h"
#include "core/settings.h"
#include "net/batch.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/capture.h"
#include "observers/catchup.h"
#include "observers/prints.h"
#include "observers/scanner.h"
#include "observers/view.h"
#include "platform/platform.h"

namespace {

constexpr uint8_t ClcNop = 1;
constexpr uint8_t ClcDisconnect = 2;
constexpr uint8_t ClcMove = 3;
constexpr uint32_t JumpButton = 2;
constexpr uint32_t WelcomeRounds = 20;
constexpr uint32_t UnheardFeedSeconds = 10;  // silent longer: no unreliable datagrams, no resends
constexpr uint32_t ResendSeconds = 1;

// A server datagram with the WelcomeBlock behind it, built once a fan-out for every observer due
// the block; the PacketBuffer stays as the others and the recorder need it.
uint8_t WelcomeDatagram[MaxGrownDatagram];
bool welcomeBuilt = false;
static_assert(HeaderSize + WelcomeBlockCapacity <= MaxGrownDatagram, "a WelcomeBlock fits a datagram of its own");

int lastSlotVisited() { return settings.slotLimit < SlotCount ? settings.slotLimit : SlotCount - 1; }
uint32_t slotBit(int slot) { return 1u << slot; }
bool inFanOut(int slot) { return (capture.fanOutMask & slotBit(slot)) != 0; }

void sendUnchanged(int slot, int length) {
    const Slot& s = slotTable.slot[slot];
    platform::sendTo(s.socket, PacketBuffer, length, s.peerAddress);
}

bool welcomeDue(const Slot& s) {
    return ((s.moveButtons & JumpButton) != 0 || s.welcomeCount < WelcomeRounds) && s.welcomeTime != loop.nowSeconds;
}

// An unreliable datagram of `length` bytes in the observer's numbering: its own header, then `body`.
void sendNumbered(int slot, int length, const uint8_t* body) {
    uint8_t head[HeaderSize] = {0, FlagUnreliable};
    setLengthField(head, length);
    stampNext(head, slotTable.slot[slot].unreliableSeq);
    sendCopy(slot, head, HeaderSize, body, length - HeaderSize);
}

void sendUnreliableCopy(int slot, int length) {
    Slot& s = slotTable.slot[slot];
    if (!welcomeDue(s)) return sendNumbered(slot, length, PacketBuffer + HeaderSize);
    s.welcomeCount++;
    s.welcomeTime = loop.nowSeconds;
    int welcomeLength = welcomeBlock.length;
    if (welcomeLength < 0) welcomeLength = 0;
    if (welcomeLength > WelcomeBlockCapacity) welcomeLength = WelcomeBlockCapacity;
    if (length + welcomeLength <= MaxGrownDatagram) {
        if (!welcomeBuilt) {
            std::memcpy(WelcomeDatagram + HeaderSize, PacketBuffer + HeaderSize, size_t(length - HeaderSize));
            std::memcpy(WelcomeDatagram + length, welcomeBlock.bytes, size_t(welcomeLength));
            welcomeBuilt = true;
        }
        return sendNumbered(slot, length + welcomeLength, WelcomeDatagram + HeaderSize);
    }
    // Together they would pass the largest datagram a client takes: two datagrams instead.
    sendNumbered(slot, length, PacketBuffer + HeaderSize);
    sendNumbered(slot, HeaderSize + welcomeLength, welcomeBlock.bytes);
}

// The observer's copy of a live datagram; false when it is skipped altogether for its silence.
bool feedLive(int slot, int length, uint32_t streamNumber) {
    Slot& s = slotTable.slot[slot];
    if (isReliableFragment(PacketBuffer)) {
        sendLiveReliable(slot, streamNumber);
    } else if (isUnreliableDatagram(PacketBuffer)) {
        if (loop.nowSeconds - s.lastHeardTime > UnheardFeedSeconds) return false;
        sendUnreliableCopy(slot, length);
    } else {
        sendUnchanged(slot, length);
    }
    return true;
}

// Switches an observer that has its catch-up records 1 and 2 to the live stream, which it takes
// up after the host's newest reliable datagram once it has record 3.
void spawnObserver(int slot) {
    Slot& s = slotTable.slot[slot];
    // Without a state block that fits, the client still enters the game at the first entity update.
    if (buildStateBlock(catchUpStore(slot), MaxStateBlockSize)) startCatchUpMessage(slot, 3);
    s.seqOffset = capture.streamNumber - s.reliableSeq + 1;
    s.ackedSeq = capture.streamNumber;
    s.pieceOffset = 0;
    s.midMessage = false;
    s.lastReliableSendTime = loop.nowSeconds;  // nothing of the stream is due yet
    s.state = SlotInGame;
    capture.fanOutMask |= slotBit(slot);
}

// An observer parked through a level it could not follow starts over with record 1, numbered on
// from the last reliable datagram its client took (with record 3 in flight, the same number).
void resumeCatchUp(int slot) {
    Slot& s = slotTable.slot[slot];
    if (s.catchUpMessage == NoCatchUpMessage) s.reliableSeq = nextStreamNumber(slot);
    s.pieceOffset = 0;
    restartCatchUp(slot);
}

// Starts the catch-up message due once the one before is complete: record 1 (after a reconnect
// order only on the resend timer, so that its client has run the order first), record 2 once
// asked for, then record 3 and the live stream.
void continueCatchUp(int slot, bool timer) {
    Slot& s = slotTable.slot[slot];
    if (s.catchUpMessage != NoCatchUpMessage || s.state < SlotWaiting || s.state >= SlotInGame) return;
    if (hostSlot().state != SlotInGame || !catchUpRecordsValid()) return;
    switch (s.catchUpTaken) {
    case NoCatchUpMessage: return restartCatchUp(slot);
    case ReconnectOrder:
        if (timer) startCatchUpMessage(slot, 1);
        return;
    case 1:
        if (s.state == 2) startCatchUpMessage(slot, 2);
        return;
    case 2:
        // Inside a message the live stream would begin with a fragment the client cannot place:
        // the switch waits for the message's end (onMessageBoundary).
        if (s.state == 3 && !capture.midMessage) spawnObserver(slot);
        return;
    }
}

void feedStoredUpTo(int slot, int stage) {
    Slot& s = slotTable.slot[slot];
    s.targetSeq = capture.stageEndSeq[stage];
    sendNextStoredBlock(slot);
}

// The step a reliable request of the observer runs, by the state the request left it in.
void runCatchUpStep(int slot) {
    Slot& s = slotTable.slot[slot];
    int32_t host = hostSlot().state;
    switch (s.state) {
    case 1:
    case 2:
    case 3:
        // A repeated request starts nothing again: what is in flight is resent by the timer.
        return continueCatchUp(slot, false);
    case 5:
        if (host > 1) feedStoredUpTo(slot, 1);
        return;
    case 6:
        if (host > 1) feedStoredUpTo(slot, 2);  // as far as the host's stage 2 has come
        return;
    case 7:
        // In the game first: with all of stage 2 taken, the next stored block goes by the in-game
        // rule, not after the resend timer.
        s.state = SlotInGame;
        sendNextStoredBlock(slot);
        return;
    }
}

// A reliable fragment in the observer's order: acknowledged, and true when it is the next one, whose
// string commands are then walked.
bool takeReliable(int slot) {
    Slot& s = slotTable.slot[slot];
    uint32_t n = sequenceField(PacketBuffer);
    if (int32_t(n - s.recvSeq) > 0) return false;  // ahead of what it may send: no ack
    acknowledgeToSlot(PacketBuffer, slot);
    if (n != s.recvSeq) return false;
    s.recvSeq++;
    return true;
}

// A signon step the walk of its string commands found: 1 "prespawn", 2 "spawn".
void takeSignonStep(int slot, int code) {
    Slot& s = slotTable.slot[slot];
    if ((code != 1 && code != 2) || !slotInUse(slot)) return;
    if (s.state >= SlotInGame) {
        s.state = (s.state & 4) + code + 1;
    } else if (s.state == code && (s.catchUpMessage == code || s.catchUpTaken == code)) {
        // "prespawn" answers record 1 and "spawn" record 2 of this catch-up: a late answer to a
        // record of a level left behind moves nothing.
        s.state = code + 1;
    }
}

void takeAck(int slot) {
    Slot& s = slotTable.slot[slot];
    if (s.catchUpMessage != NoCatchUpMessage) {
        // Nothing of the stream is out while a catch-up message is: no other ack counts.
        if (!takeCatchUpAck(slot, sequenceField(PacketBuffer)) || s.catchUpMessage != NoCatchUpMessage) return;
        if (s.state >= SlotInGame) return sendNextStoredBlock(slot);  // record 3 is in: the stream follows
        return continueCatchUp(slot, false);
    }
    if (s.state < SlotInGame) return;
    s.lastReliableSendTime = loop.nowSeconds;
    takeStreamAck(slot, sequenceField(PacketBuffer));
    sendNextStoredBlock(slot);
}

void sayLeft(int slot) {
    const char* name = slotTable.slot[slot].playerName;
    appendObserverPrint("Observer %s left.\n", name);
    consolePrintf("Observer %s disconnected\n", name);
}

// The observer lost its stream: said now; the session removes it once the handler returns.
void requestTimeOut(int slot) {
    if (!slotInUse(slot) || endRequested(slot)) return;
    sayTimedOut(slot);
    endRequests.observers |= slotBit(slot);
}

// True when a reliable fragment came whose string commands are to be walked.
bool takeByKind(int slot, int length, bool& left) {
    Slot& s = slotTable.slot[slot];
    bool hasPayload = length > HeaderSize;
    if (isUnreliableDatagram(PacketBuffer)) {
        int buttonsAt = HeaderSize + moveLayout().buttonsOffset;
        if (hasPayload && PacketBuffer[HeaderSize] == ClcMove) {
            if (buttonsAt < length) s.moveButtons = PacketBuffer[buttonsAt];
        } else if (hasPayload && PacketBuffer[HeaderSize] == ClcDisconnect) {
            sayLeft(slot);
            left = true;
        }
    } else if (isReliableFragment(PacketBuffer)) {
        return takeReliable(slot);
    } else if (isAckDatagram(PacketBuffer)) {
        takeAck(slot);
    }
    return false;
}

// An observer past the level's end follows the host live through the intermission (a finale's long
// text included) until the host's next signon begins; from a long signon message on, it is fed the
// stored stream at its own pace until it is back in the game.
bool followsHostLive(const Slot& s) {
    return s.state == SlotInGame || !capture.longMessageSeen || hostSlot().state == SlotLeftGame;
}

// The copies of a server datagram, all in one call (a copy skipped for its observer's silence is
// noted in `skipped`).
void sendLiveCopies(int length, uint32_t streamNumber, bool* skipped) {
    welcomeBuilt = false;
    gatherCopies();
    for (int n = FirstObserverSlot; n <= lastSlotVisited(); n++) {
        const Slot& s = slotTable.slot[n];
        if (s.state == SlotFree || endRequested(n)) continue;
        // Only observers the stream is kept for: a parked observer gets nothing it cannot follow.
        bool live = s.state >= SlotInGame && inFanOut(n) && followsHostLive(s);
        skipped[n] = live && !feedLive(n, length, streamNumber);
    }
    sendGatheredCopies();
}

}  // namespace

ObserverDatagram takeObserverDatagram(int slot, int length) {
    ObserverDatagram taken;
    if (slot < FirstObserverSlot || slot > lastSlotVisited() || !slotInUse(slot)) return taken;
    if (length < HeaderSize || length > MaxDatagram || !isDataDatagram(PacketBuffer)) return taken;
    taken.taken = true;
    slotTable.slot[slot].lastHeardTime = loop.nowSeconds;
    applyViewImpulse(slot, length);
    // Read before the interceptor may cut commands out of the payload.
    taken.request = isLastFragment(PacketBuffer) && length > HeaderSize && PacketBuffer[HeaderSize] != ClcNop;
    taken.walkCommands = takeByKind(slot, length, taken.left);
    return taken;
}

void finishObserverDatagram(int slot, const ObserverDatagram& taken, int signon) {
    if (taken.walkCommands) takeSignonStep(slot, signon);
    if (!slotTable.serverConnected) return flushObserverPrints();
    if (observerPrintTextLength() > ObserverPrintFlushThreshold) flushObserverPrints();
    if (taken.request && slotInUse(slot)) runCatchUpStep(slot);
}

void fanOutToObservers(int length, uint32_t streamNumber) {
    if (length < HeaderSize || capture.observersHeld) return;
    bool skipped[SlotCount] = {};
    sendLiveCopies(length, streamNumber, skipped);
    // Then each observer's reliable datagram that is due again.
    for (int n = FirstObserverSlot; n <= lastSlotVisited(); n++) {
        const Slot& s = slotTable.slot[n];
        if (s.state == SlotFree || endRequested(n)) continue;
        // A client inside its catch-up sends nothing unasked: its message is resent however long
        // it was unheard.
        if (skipped[n] && s.catchUpMessage == NoCatchUpMessage) continue;
        if (loop.nowSeconds - s.lastReliableSendTime <= ResendSeconds) continue;
        if (s.state < SlotInGame && s.catchUpMessage == NoCatchUpMessage)
            continueCatchUp(n, true);
        else
            sendNextStoredBlock(n);
    }
}

void onStageCaptured(int stage) {
    if (capture.observersHeld) return;
    gatherCopies();  // observers due the same stored piece get it in one call
    for (int n = FirstObserverSlot; n <= lastSlotVisited(); n++) {
        const Slot& s = slotTable.slot[n];
        if (stage == 1 || stage == 2) {
            if (s.state > stage + 3) feedStoredUpTo(n, stage);
        } else if (stage == 3 && catchUpRecordsValid()) {
            // A catch-up under way is of a level left behind: it starts over with this one.
            if (s.state >= SlotWaiting && s.state < SlotInGame) restartCatchUp(n);
            else if (s.state >= SlotInGame && !inFanOut(n)) resumeCatchUp(n);
        }
    }
    sendGatheredCopies();
}

void onMessageBoundary() {
    if (hostSlot().state != SlotInGame || capture.midMessage || capture.observersHeld) return;
    for (int n = FirstObserverSlot; n <= lastSlotVisited(); n++)
        if (slotTable.slot[n].state == 3) continueCatchUp(n, false);
}

void parkWatchingObservers() {
    for (int n = FirstObserverSlot; n <= lastSlotVisited(); n++)
        if (slotTable.slot[n].state >= SlotInGame) leaveStoredStream(n);
}

bool leaveStoredStream(int slot) {
    Slot& s = slotTable.slot[slot];
    MessageRest rest = s.catchUpMessage == NoCatchUpMessage ? storeMessageRest(slot) : RestNone;
    if (rest == RestNone) {
        forgetSlotInStore(slot);
        return false;
    }
    // Its client holds the start of a message: nothing may be numbered for it before the rest.
    s.reliableSeq = nextStreamNumber(slot);
    forgetSlotInStore(slot);
    s.pieceOffset = 0;
    s.midMessage = false;
    s.state = SlotWaiting;
    s.catchUpTaken = NoCatchUpMessage;
    s.catchUpMessage = EndedRecord;
    if (rest == RestLost) {
        requestTimeOut(slot);
    } else if (rest == RestPartial) {
        capture.awaitingMessageEnd |= slotBit(slot);
    } else {
        sendMessageRest(slot);
    }
    return true;
}

void fallBehindStore(int slot) {
    if (!leaveStoredStream(slot)) resumeCatchUp(slot);
}

void takeMessageRests(const uint8_t* bytes, int length, bool last) {
    for (int n = FirstObserverSlot; n < SlotCount && capture.awaitingMessageEnd != 0; n++) {
        if ((capture.awaitingMessageEnd & slotBit(n)) == 0) continue;
        bool kept = addToMessageRest(n, bytes, length);
        if (kept && !last) continue;
        capture.awaitingMessageEnd &= ~slotBit(n);
        if (kept)
            sendMessageRest(n);
        else
            requestTimeOut(n);
    }
}

void abandonMessageRests() { takeMessageRests(nullptr, -1, true); }

void sayTimedOut(int slot) {
    appendObserverPrint("Observer %s timed out.\n", slotTable.slot[slot].playerName);
    consolePrintf("Observer %s timed out.\n", slotTable.slot[slot].playerName);
}
