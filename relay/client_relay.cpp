// Client-to-server relay: the host's datagrams, renumbered into the server's numbering, with its
// moves rate-limited, recorded as demo angles and turned into the observers' views.
#include "core/clock.h"
#include "net/framing.h"
#include "net/limiter.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/prints.h"
#include "observers/scanner.h"
#include "observers/stream.h"
#include "observers/view.h"
#include "relay/relay.h"

static void sendToServer(int length) {
    platform::sendTo(slotTable.serverSocket, PacketBuffer, length, addresses.server);
}

// The host watches another proxy's game: replay its view 100 ms late and forward moves only
// when jump changes or every 5 seconds, without fire and impulse, so the upstream proxy sees neither.
static void relayObservingMove(int length, const MoveLayout& move, const ProtocolInForce& protocol) {
    uint8_t* payload = PacketBuffer + HeaderSize;
    uint8_t buttons = payload[move.buttonsOffset];
    uint8_t impulse = payload[move.impulseOffset];
    // The ring holds byte angles; wider server angles reach the host unsmoothed (server relay).
    if ((buttons & 1) == 0 && serverAngleBytes(protocol) == 1) {
        smoothHostView(performanceMs(), SetAngleDatagram + HeaderSize + 1);
        stampNext(SetAngleDatagram, hostSlot().unreliableSeq);
        platform::sendTo(hostSlot().socket, SetAngleDatagram, 12, hostSlot().peerAddress);
    }
    if (((observing.lastForwardedButtons ^ buttons) & 2) != 0 ||
        loop.nowSeconds - observing.lastForwardTime > 5) {
        observing.lastForwardTime = loop.nowSeconds;
        observing.lastForwardedButtons = buttons;
        payload[move.buttonsOffset] = uint8_t(buttons & ~1);
        payload[move.impulseOffset] = 0;
        sendToServer(length);
        payload[move.buttonsOffset] = buttons;
        payload[move.impulseOffset] = impulse;  // the host's own offset keys see what it sent
    }
    applyViewImpulse(HostSlot, length, move);
}

static void relayMove(int length, const MoveLayout& move, bool protocolKnown) {
    const uint8_t* payload = PacketBuffer + HeaderSize;
    if (allowHostMove(length, payload[move.buttonsOffset], payload[move.impulseOffset])) sendToServer(length);
    if (protocolKnown) handHostMove(length);
}

// The host's acknowledgement `number` (its numbering) of a fragment it was given.
static void noteHostAck(uint32_t number) {
    uint32_t stream = number + numbering.hostSkew;
    bool given = int32_t(stream - numbering.lastHostReliableSeq) <= 0;
    if (given && int32_t(number - numbering.hostAckedSeq) > 0) numbering.hostAckedSeq = number;
    runHostTailTimer();  // the held fragment acknowledged: the new server's stream may begin
}

ClientStep takeClientDatagram(int length) {
    uint8_t* d = PacketBuffer;
    if (!isDataDatagram(d) || length < HeaderSize) return ClientStep::Done;
    hostSlot().lastHeardTime = loop.nowSeconds;
    bool hasPayload = length > HeaderSize;
    if (isUnreliableDatagram(d) && hasPayload && d[HeaderSize] == 2) {  // clc_disconnect
        if (slotTable.serverConnected) sendToServer(length);
        return ClientStep::HostLeft;
    }
    if (isReliableFragment(d)) numbering.lastReliableFromHost = sequenceField(d);
    if (isAckDatagram(d)) noteHostAck(sequenceField(d));
    return ClientStep::Relay;
}

void relayClientDatagram(int length) {
    uint8_t* d = PacketBuffer;
    Slot& host = hostSlot();
    if (!slotTable.serverConnected) {
        // Taken here, so the next server's first reliable datagram from the host is its number 0.
        if (isReliableFragment(d)) {
            acknowledgeToSlot(d, HostSlot);
            numbering.c2sSeqOffset = sequenceField(d) + 1;
        }
        flushObserverPrints();
        return;
    }
    if (observerPrintTextLength() > ObserverPrintFlushThreshold) flushObserverPrints();
    // Nothing of the new server has reached the host yet: any ack is of the old server's stream.
    if (isAckDatagram(d) && numbering.resyncHost) return;
    if (isReliableFragment(d))
        setSequenceField(d, sequenceField(d) - numbering.c2sSeqOffset);
    else if (isAckDatagram(d))
        setSequenceField(d, sequenceField(d) + numbering.hostSkew - host.seqOffset);

    ProtocolInForce protocol = liveProtocol();
    MoveLayout move = moveLayout(protocol);
    bool isMove = isUnreliableDatagram(d) && length >= HeaderSize + move.length && d[HeaderSize] == 3;
    if (!isMove) {
        sendToServer(length);
    } else if (observing.observingMode) {
        relayObservingMove(length, move, protocol);
    } else {
        relayMove(length, move, protocol.known);
    }
}
