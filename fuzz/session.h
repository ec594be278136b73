// A proxy session on the in-memory platform for the fuzz targets: host admitted, server
// connected, observers watching; fuzz input is played as datagrams from one origin or many.
#pragma once

#include <cstddef>
#include <cstdint>

enum class FuzzOrigin { Listening, Host, Observer, Server, Mixed };

// Plays `data` against a fresh session. Input: records of [2-byte length][bytes]; in Mixed mode
// a first byte per record picks the origin and the clock step.
void playFuzzInput(FuzzOrigin origin, const uint8_t* data, size_t size);
