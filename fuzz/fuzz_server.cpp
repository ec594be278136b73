// Fuzz target: datagrams from the server path.
#include "fuzz/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    playFuzzInput(FuzzOrigin::Server, data, size);
    return 0;
}
