// Fuzz target: datagrams from the observer path.
#include "fuzz/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    playFuzzInput(FuzzOrigin::Observer, data, size);
    return 0;
}
