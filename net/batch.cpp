// Gathered copies: a few batches, each of one socket and one body, sent in the order they began.
#include "net/batch.h"

#include <cstring>

#include "net/slots.h"
#include "platform/platform.h"

namespace {

// A fan-out makes at most three bodies (a server datagram, it with the WelcomeBlock, the
// WelcomeBlock alone); one more leaves room before a batch has to go early.
constexpr int OpenBatches = 4;

struct Batch {
    platform::Socket socket;
    const uint8_t* body;
    int bodyLength;
    int count;
    platform::BatchHead heads[platform::MaxBatch];
};

struct Gathering {
    bool on = false;
    int batches = 0;
    Batch batch[OpenBatches];
};
Gathering gathering;

void sendAll() {
    for (int n = 0; n < gathering.batches; ++n) {
        const Batch& b = gathering.batch[n];
        platform::sendBatch(b.socket, b.heads, b.count, b.body, b.bodyLength);
    }
    gathering.batches = 0;
}

// The batch for this socket and body; when none is left, or the one found is full, all go first
// (a slot's later copy never overtakes an earlier one).
Batch& batchFor(platform::Socket socket, const uint8_t* body, int bodyLength) {
    for (int n = 0; n < gathering.batches; ++n) {
        Batch& b = gathering.batch[n];
        if (b.socket != socket || b.body != body || b.bodyLength != bodyLength) continue;
        if (b.count < platform::MaxBatch) return b;
        sendAll();
        break;
    }
    if (gathering.batches == OpenBatches) sendAll();
    Batch& b = gathering.batch[gathering.batches++];
    b.socket = socket;
    b.body = body;
    b.bodyLength = bodyLength;
    b.count = 0;
    return b;
}

}  // namespace

void resetBatches() { gathering = Gathering(); }

void gatherCopies() { gathering.on = true; }

void sendCopy(int slot, const uint8_t* head, int headLength, const uint8_t* body, int bodyLength) {
    if (slot < 0 || slot >= SlotCount || headLength < 0 || headLength > platform::MaxBatchHead || bodyLength < 0)
        return;
    const Slot& s = slotTable.slot[slot];
    platform::BatchHead one;
    Batch* batch = gathering.on ? &batchFor(s.socket, body, bodyLength) : nullptr;
    platform::BatchHead& h = batch != nullptr ? batch->heads[batch->count++] : one;
    std::memcpy(h.bytes, head, size_t(headLength));
    h.length = headLength;
    h.to = s.peerAddress;
    if (batch == nullptr) platform::sendBatch(s.socket, &one, 1, body, bodyLength);
}

void sendGatheredCopies() {
    sendAll();
    gathering.on = false;
}
