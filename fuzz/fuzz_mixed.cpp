// Fuzz target: datagrams from the mixed paths, interleaved, with the clocks moving.
#include "fuzz/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    playFuzzInput(FuzzOrigin::Mixed, data, size);
    return 0;
}
