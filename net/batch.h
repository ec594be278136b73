// Copies of one datagram body to many slots, each with a head of its own (its numbers, or the whole
// of a small datagram): while copies are gathered they go out per socket and body in one call, the
// body never copied; otherwise each goes at once.
#pragma once

#include <cstdint>

// From now on copies are gathered, until sendGatheredCopies.
void gatherCopies();
// A datagram to `slot`: `headLength` bytes of `head` (at most platform::MaxBatchHead), then
// `bodyLength` bytes of `body`, which must stay as they are until the copies are sent.
void sendCopy(int slot, const uint8_t* head, int headLength, const uint8_t* body, int bodyLength);
// Sends the gathered copies, batch by batch in the order the batches began (each slot's copies
// thus in the order they were made), and ends the gathering.
void sendGatheredCopies();
void resetBatches();
