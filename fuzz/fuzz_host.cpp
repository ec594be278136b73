// Fuzz target: datagrams from the host path.
#include "fuzz/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    playFuzzInput(FuzzOrigin::Host, data, size);
    return 0;
}
