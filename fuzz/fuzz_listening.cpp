// Fuzz target: datagrams from the listening path.
#include "fuzz/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    playFuzzInput(FuzzOrigin::Listening, data, size);
    return 0;
}
