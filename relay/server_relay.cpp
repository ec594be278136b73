// Server-to-client relay: the server's datagrams renumbered into the host's numbering, with the
// collected observer texts carried along, then handed to the observer side.
#include "relay/relay.h"

#include <cstring>

#include "core/clock.h"

#include "core/settings.h"
#include "net/framing.h"
#include "net/limiter.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/prints.h"
#include "observers/scanner.h"
#include "observers/stream.h"
#include "observers/view.h"

constexpr uint32_t HostTailResendMs = 1000;

// The last reliable fragment passed to the host, as it was sent.
static uint8_t HostTail[MaxDatagram];
static int hostTailLength = 0;
static uint32_t hostTailSentMs = 0;

void resetRelays() {
    hostTailLength = 0;
    hostTailSentMs = 0;
}

static uint32_t lastGivenToHost() { return numbering.lastHostReliableSeq - numbering.hostSkew; }

static void sendHostTail() {
    hostTailSentMs = loop.nowMs;
    platform::sendTo(hostSlot().socket, HostTail, hostTailLength, hostSlot().peerAddress);
}

void holdNewServerForHostAck() {
    numbering.holdForHostAck = hostTailLength > 0 && numbering.hostAckedSeq != lastGivenToHost();
    if (numbering.holdForHostAck) sendHostTail();
}

void runHostTailTimer() {
    if (numbering.holdForHostAck && numbering.hostAckedSeq == lastGivenToHost()) numbering.holdForHostAck = false;
    if (numbering.holdForHostAck && loop.nowMs - hostTailSentMs >= HostTailResendMs) sendHostTail();
}

int hostTailWaitMs() {
    if (!numbering.holdForHostAck) return -1;
    int32_t due = int32_t(hostTailSentMs + HostTailResendMs - loop.nowMs);
    return due > 0 ? due : 0;
}

// The host's view offset on the server's view angles; 16-bit angles turn by whole bytes too,
// so 256 offset units stay a full circle.
static void offsetServerAngles(uint8_t* angles, int angleBytes, const int8_t offset[3]) {
    for (int i = 0; i < 3; ++i) {
        if (angleBytes == 1) {
            angles[i] = uint8_t(angles[i] + offset[i]);
        } else if (angleBytes == 2) {
            uint8_t* a = angles + 2 * i;
            a[1] = uint8_t(a[1] + offset[i]);
        }
    }
}

// A server svc_setangle: demo angles, and either the observing ring or the host's offset.
// Returns true when the datagram is kept from the host.
static bool handleServerSetAngle(int length, const ProtocolInForce& protocol) {
    int angleBytes = serverAngleBytes(protocol);
    if (length < HeaderSize + 1 + 3 * angleBytes || !protocol.known) return false;
    uint8_t* angles = PacketBuffer + HeaderSize + 1;
    if (angleBytes <= 2) setDemoView(angles, angleBytes);
    if (observing.observingMode && angleBytes == 1) {
        storeAngleSample(PacketBuffer + HeaderSize, performanceMs());
        return true;
    }
    offsetServerAngles(angles, angleBytes, hostSlot().viewOffset);
    return false;
}

// Observer texts ride on the host's datagram when they fit; otherwise they go on their own.
// Under 15 the host may be a 1996 client, which reads no datagram past 1032 bytes.
static int appendObserverTexts(int length, const ProtocolInForce& protocol) {
    if (observerPrintsEmpty()) return length;
    // Observers watching late must still read them at once: on a datagram of their own.
    if (streamDelayed()) {
        flushObserverPrints();
        return length;
    }
    constexpr int OldestClientDatagram = HeaderSize + MaxBuiltPayload;
    int room = (protocol.protocol == ProtocolNetQuake ? OldestClientDatagram : MaxGrownDatagram) - length;
    int added = room > 0 ? takeObserverPrints(PacketBuffer + length, room) : 0;
    if (added == 0) {
        flushObserverPrints();
        return length;
    }
    length += added;
    setLengthField(PacketBuffer, length);
    return length;
}

// svc_disconnect: kept from the host, which would otherwise leave the proxy too. Servers send it
// behind a print in a reliable message (a kick) or alone in unreliable datagrams; a fragment that
// continues a message may begin with any byte, and one that opens a longer message is read no further.
static bool serverEndsConnection(int length, const ProtocolInForce& protocol) {
    if (length <= HeaderSize) return false;
    const uint8_t* payload = PacketBuffer + HeaderSize;
    if (isReliableFragment(PacketBuffer)) {
        if (streamInsideMessage()) return false;
        if (!isLastFragment(PacketBuffer)) return payload[0] == 2;
    }
    return holdsDisconnect(payload, length - HeaderSize, protocol);
}

bool relayServerDatagram(int length) {
    uint8_t* d = PacketBuffer;
    if (!isDataDatagram(d) || length < HeaderSize) return false;
    Slot& host = hostSlot();
    bool unreliable = isUnreliableDatagram(d);
    bool limited = settings.s2cbps > 0 && unreliable;
    bool heldBack = limited && holdServerDatagram();
    ProtocolInForce protocol = liveProtocol();
    if (isReliableFragment(d)) {
        // Dropped unacknowledged: the server sends it again once the host has what came before.
        if (numbering.resyncHost && numbering.holdForHostAck) return false;
        uint32_t a = sequenceField(d) + host.seqOffset;
        if (numbering.resyncHost && int32_t(a - numbering.lastHostReliableSeq) > 0) {
            // A new server's first fragment: the host gets the number it waits for.
            numbering.hostSkew = a - (numbering.hostAckedSeq + 1);
            numbering.resyncHost = false;
        }
        setSequenceField(d, a - numbering.hostSkew);
        // The server resends what the host's lost ack left unconfirmed: the host needs it again,
        // while its bytes are captured already and the observers' numbers have moved on past it.
        if (int32_t(a - numbering.lastHostReliableSeq) <= 0) {
            platform::sendTo(host.socket, d, length, host.peerAddress);
            return false;
        }
        if (serverEndsConnection(length, protocol)) return true;
        numbering.lastHostReliableSeq = a;
        if (length <= MaxDatagram) {
            std::memcpy(HostTail, d, size_t(length));
            hostTailLength = length;
        }
    } else if (unreliable && serverEndsConnection(length, protocol)) {
        return true;
    }
    if (unreliable && length > HeaderSize && d[HeaderSize] == 10 && handleServerSetAngle(length, protocol)) {
        handServerDatagram(length);
        return false;
    }
    if (heldBack) {
        handServerDatagram(length);
        return false;
    }
    if (unreliable) {
        length = appendObserverTexts(length, protocol);
        if (limited) chargeServerDatagram(length);
        stampNext(d, host.unreliableSeq);
    } else if (isAckDatagram(d)) {
        setSequenceField(d, sequenceField(d) + numbering.c2sSeqOffset);
    }
    platform::sendTo(host.socket, d, length, host.peerAddress);
    handServerDatagram(length);
    return false;
}
