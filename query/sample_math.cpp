// The numbers of one Time Protocol query, kept apart from the sockets so they
// can be checked against worked examples.
#include "query/sample_math.h"

uint32_t decodeTimeAnswer(const uint8_t answer[TIME_ANSWER_SIZE]) {
  return (static_cast<uint32_t>(answer[0]) << 24) | (static_cast<uint32_t>(answer[1]) << 16) |
         (static_cast<uint32_t>(answer[2]) << 8) | static_cast<uint32_t>(answer[3]);
}

int64_t sampleCorrection(uint32_t seconds, Millis1900 now, uint32_t latency, int64_t userOffset) {
  // Unsigned arithmetic wraps like the two's-complement sum it stands for,
  // without overflow being undefined for absurd answers or offsets.
  const uint64_t serverMs = static_cast<uint64_t>(seconds) * 1000u;
  const uint64_t sum = serverMs - static_cast<uint64_t>(now) + static_cast<uint64_t>(latency / 2u) +
                       static_cast<uint64_t>(userOffset);
  return static_cast<int64_t>(sum);
}

void reduceSamples(uint32_t latencies[3], int64_t corrections[3],
                   uint32_t* latency, int64_t* correction) {
  for (int i = 0; i < 2; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (latencies[j] < latencies[i]) {
        const uint32_t l = latencies[i];
        latencies[i] = latencies[j];
        latencies[j] = l;
        const int64_t c = corrections[i];
        corrections[i] = corrections[j];
        corrections[j] = c;
      }
    }
  }
  // The slowest sample is the one most likely delayed on one leg only, so
  // its correction is dropped; the latency still averages all three.
  const uint64_t sum = static_cast<uint64_t>(corrections[0]) + static_cast<uint64_t>(corrections[1]);
  *correction = static_cast<int64_t>(sum) / 2;
  *latency = (latencies[0] + latencies[1] + latencies[2]) / 3u;
}
