// The collected texts for all the proxy's players and their flush.
#include "observers/prints.h"

#include <cstdarg>
#include <cstring>

#include "core/print.h"
#include "core/settings.h"
#include "net/batch.h"
#include "net/framing.h"
#include "net/slots.h"
#include "observers/stream.h"
#include "platform/platform.h"

ObserverPrintBuffer observerPrints;
WelcomeBlock welcomeBlock;

static uint8_t ScratchDatagram[MaxGrownDatagram - HeaderSize];  // the texts, shared by every copy

void resetObserverPrints() {
    observerPrints = ObserverPrintBuffer();
    welcomeBlock = WelcomeBlock();
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
    uint8_t head[HeaderSize] = {0, FlagUnreliable};
    setLengthField(head, n + HeaderSize);
    memcpy(ScratchDatagram, observerPrints.bytes, size_t(n));
    gatherCopies();
    for (int i = HostSlot; i <= settings.slotLimit; ++i) {
        Slot& s = slotTable.slot[i];
        // Clients in the game read the texts on the server's next datagram, unless that is late.
        if ((s.state & 1) == 0 && (s.state == SlotFree || !streamDelayed())) continue;
        if (endRequested(i)) continue;
        stampNext(head, s.unreliableSeq);
        sendCopy(i, head, HeaderSize, ScratchDatagram, n);
    }
    sendGatheredCopies();
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

int formatObserverBanner(uint8_t* buffer, int capacity) {
    if (capacity < 3) return 0;
    buffer[0] = 8;
    buffer[1] = 2;
    int written = formatText(reinterpret_cast<char*>(buffer + 2), size_t(capacity - 2),
                             SKOPOS_BAR "\n" SKOPOS_VISIT
                             "\nObserver mode. Waiting for your host,\n%s, to select a server.\nCommands:\n"
                             "say    - send a message\nname   - change your name\nstatus - list all observers\n"
                             SKOPOS_BAR "\n",
                             hostSlot().playerName);
    return 2 + written + 1;
}
