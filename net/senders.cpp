// The proxy's own datagrams: unreliable prints and commands to one slot, and reliable messages
// in fragments of at most 1024 bytes.
#include "net/senders.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/print.h"
#include "core/settings.h"
#include "net/batch.h"
#include "net/framing.h"
#include "net/slots.h"

static uint8_t SendBuffer[SendBufferSize] = {0x00, FlagUnreliable, 0, 0, 0, 0, 0, 0, 8, 2};

void resetSenders() {
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

void sendFragment(const uint8_t* p, int piece, bool last, uint32_t number, int slot) {
    uint8_t head[HeaderSize] = {0, uint8_t(last ? (FlagData | FlagEom) : FlagData)};
    setLengthField(head, piece + HeaderSize);
    setSequenceField(head, number);
    sendCopy(slot, head, HeaderSize, p, piece);
}
