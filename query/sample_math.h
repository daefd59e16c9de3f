// Arithmetic of one Time Protocol query: the 4-byte answer, each sample's
// correction, and the reduction of three samples to a latency and a correction.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

const int TIME_PROTOCOL_PORT = 37;
const int TIME_ANSWER_SIZE = 4;

// Seconds since 1900 from the answer's 4 big-endian bytes.
uint32_t decodeTimeAnswer(const uint8_t answer[TIME_ANSWER_SIZE]);

// (seconds*1000 - now) + latency/2 + userOffset, all 64-bit wrapping; the
// 32-bit latency is halved unsigned, so an odd latency loses its half ms.
int64_t sampleCorrection(uint32_t seconds, Millis1900 now, uint32_t latency, int64_t userOffset);

// Orders the samples by latency in place, the corrections moving with them
// (equal latencies are never exchanged), then: correction = mean of the two
// fastest (truncated toward zero), latency = unsigned 32-bit mean of all three.
void reduceSamples(uint32_t latencies[3], int64_t corrections[3],
                   uint32_t* latency, int64_t* correction);
