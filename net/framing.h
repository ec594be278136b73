// NetQuake datagram framing (net protocol 3) and the proxy's sequence numbering.
//
//   0        1        2        3        4                                   8
//   +--------+--------+--------+--------+--------+--------+--------+--------+-----------
//   | 0x00   | flags  | length (BE, header incl.) | sequence (BE, 32 bits)            | payload
//   +--------+--------+--------+--------+--------+--------+--------+--------+-----------
//   flags: 0x01 DATA (reliable fragment), 0x08 EOM (last fragment), 0x02 ACK, 0x04 NAK,
//          0x10 UNRELIABLE. Byte 0 = 0x80 marks a control packet (connect, server info).
//
// Game messages inside the payload are little-endian; the header is big-endian.
#pragma once

#include <cstdint>

constexpr int HeaderSize = 8;
// The largest datagram the 16-bit length field can describe: every receive takes this much.
constexpr int MaxDatagram = 65535;
// Reliable fragments the proxy builds itself carry at most this much payload.
constexpr int MaxBuiltPayload = 1024;
// A datagram the proxy lengthens (observer texts, the WelcomeBlock) never grows past this.
constexpr int MaxGrownDatagram = 2048;

constexpr uint8_t FlagData = 0x01;
constexpr uint8_t FlagAck = 0x02;
constexpr uint8_t FlagNak = 0x04;
constexpr uint8_t FlagEom = 0x08;
constexpr uint8_t FlagUnreliable = 0x10;
constexpr uint8_t ControlMark = 0x80;

static_assert(MaxDatagram <= 0xFFFF, "the length field is 16 bits");
static_assert(MaxBuiltPayload + HeaderSize <= MaxGrownDatagram, "built fragments fit a grown datagram");

inline bool isDataDatagram(const uint8_t* d) { return d[0] == 0; }
inline bool isReliableFragment(const uint8_t* d) { return (d[1] & 0xF7) == FlagData; }
inline bool isLastFragment(const uint8_t* d) { return d[1] == (FlagData | FlagEom); }
inline bool isAckDatagram(const uint8_t* d) { return d[1] == FlagAck; }
inline bool isUnreliableDatagram(const uint8_t* d) { return d[1] == FlagUnreliable; }
inline bool isControlPacket(const uint8_t* d) { return d[0] == ControlMark && d[1] == 0; }

inline uint16_t lengthField(const uint8_t* d) { return uint16_t(d[2] << 8 | d[3]); }
inline void setLengthField(uint8_t* d, int length) {
    d[2] = uint8_t(length >> 8);
    d[3] = uint8_t(length);
}
inline uint32_t sequenceField(const uint8_t* d) {
    return uint32_t(d[4]) << 24 | uint32_t(d[5]) << 16 | uint32_t(d[6]) << 8 | d[7];
}
inline void setSequenceField(uint8_t* d, uint32_t sequence) {
    d[4] = uint8_t(sequence >> 24);
    d[5] = uint8_t(sequence >> 16);
    d[6] = uint8_t(sequence >> 8);
    d[7] = uint8_t(sequence);
}
// Stamps the counter's value and advances it (the first datagram on a fresh counter carries 0).
inline void stampNext(uint8_t* d, uint32_t& counter) { setSequenceField(d, counter++); }

// Little-endian game-message values.
inline uint32_t readLong(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void writeLong(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// The one buffer every datagram is received into, edited in place and sent from. The spare bytes
// behind the largest datagram let a reader terminate the last string without a bounds test.
constexpr int PacketBufferSize = MaxDatagram + 1;
extern uint8_t PacketBuffer[PacketBufferSize + 1];

// Fixed templates; only the named fields change at run time.
extern uint8_t AckDatagram[HeaderSize];      // 00 02 00 08, sequence
constexpr int SetAngleCapacity = HeaderSize + 1 + 3 * 4;
extern uint8_t SetAngleDatagram[SetAngleCapacity];  // 00 10 len, sequence, 0A, angles

// Numbering of the host's connection across servers.
struct Numbering {
    uint32_t c2sSeqOffset = 0;               // host reliable numbers -> server numbers
    uint32_t lastHostReliableSeq = 0xFFFFFFFF;  // newest reliable stream number passed to the host
    uint32_t lastReliableFromHost = 0xFFFFFFFF;  // newest reliable number the host sent (its numbering)
    // The host's numbering of the server's reliable stream runs hostSkew behind the stream number:
    // at a server change the host may not have acknowledged the old server's last fragment, and
    // it takes the new server's first only under the number it waits for.
    uint32_t hostSkew = 0;
    uint32_t hostAckedSeq = 0xFFFFFFFF;      // newest reliable number the host acknowledged (its numbering)
    bool resyncHost = false;                 // the next new server fragment sets hostSkew
    // At a change of server the host had not acknowledged the old server's last fragment: the proxy
    // sends it again itself, and the new server's stream waits until the host has it.
    bool holdForHostAck = false;
};
extern Numbering numbering;

void resetFraming();

// Sends the AckDatagram for the reliable fragment `datagram` through `socket` to `to`.
struct Slot;
void acknowledgeToSlot(const uint8_t* datagram, int slot);
