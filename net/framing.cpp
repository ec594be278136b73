// The PacketBuffer, the fixed datagram templates and the host connection's numbering.
#include "net/framing.h"

#include <cstring>

#include "net/slots.h"

uint8_t PacketBuffer[PacketBufferSize + 1];
uint8_t AckDatagram[HeaderSize] = {0x00, FlagAck, 0x00, 0x08};
uint8_t SetAngleDatagram[SetAngleCapacity] = {0x00, FlagUnreliable, 0x00, 0x0C, 0, 0, 0, 0, 10};
Numbering numbering;

void resetFraming() {
    memset(PacketBuffer, 0, sizeof PacketBuffer);
    memset(AckDatagram + 4, 0, 4);
    memset(SetAngleDatagram + 4, 0, sizeof SetAngleDatagram - 4);
    setLengthField(SetAngleDatagram, 12);
    SetAngleDatagram[8] = 10;
    numbering = Numbering();
}

void acknowledgeToSlot(const uint8_t* datagram, int slot) {
    memcpy(AckDatagram + 4, datagram + 4, 4);  // still in network order
    const Slot& s = slotTable.slot[slot];
    platform::sendTo(s.socket, AckDatagram, HeaderSize, s.peerAddress);
}
