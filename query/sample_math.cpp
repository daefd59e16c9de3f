// The numbers of one Time Protocol query, kept apart from the sockets so they
// can be checked against worked examples.
#include "query/sample_math.h"

int64_t boundsMidpoint(const OffsetBounds& b) {
  // low + (high - low) / 2 with the difference taken unsigned: no overflow.
  const uint64_t width = static_cast<uint64_t>(b.high) - static_cast<uint64_t>(b.low);
  return static_cast<int64_t>(static_cast<uint64_t>(b.low) + width / 2);
}

OffsetBounds boundsAround(int64_t correction) {
  const uint64_t c = static_cast<uint64_t>(correction);
  const OffsetBounds b = {static_cast<int64_t>(c - HALF_SECOND_MS),
                          static_cast<int64_t>(c + HALF_SECOND_MS)};
  return b;
}

int64_t microsFromMillis(int64_t ms) {
  const int64_t limit = INT64_MAX / 1000;
  if (ms > limit) return limit * 1000;
  if (ms < -limit) return -limit * 1000;
  return ms * 1000;
}

OffsetBounds boundsInMicros(const OffsetBounds& ms) {
  const OffsetBounds us = {microsFromMillis(ms.low), microsFromMillis(ms.high)};
  return us;
}

OffsetBounds boundsCarriedTo(const OffsetBounds& us, Millis1900 provenAt, Millis1900 to) {
  const uint64_t elapsed = to >= provenAt ? static_cast<uint64_t>(to) - static_cast<uint64_t>(provenAt)
                                          : static_cast<uint64_t>(provenAt) - static_cast<uint64_t>(to);
  // ppm x ms is 1/1000 us; an absurd span widens to everything rather than wrap.
  const uint64_t limit = static_cast<uint64_t>(INT64_MAX) / 4;
  const uint64_t widen = elapsed > limit / CLOCK_DRIFT_ALLOWANCE_PPM ? limit
                                                               : (elapsed * CLOCK_DRIFT_ALLOWANCE_PPM + 999) / 1000;
  const int64_t low = us.low < INT64_MIN + static_cast<int64_t>(widen) ? INT64_MIN : us.low - static_cast<int64_t>(widen);
  const int64_t high = us.high > INT64_MAX - static_cast<int64_t>(widen) ? INT64_MAX : us.high + static_cast<int64_t>(widen);
  const OffsetBounds b = {low, high};
  return b;
}

OffsetBounds intersectBounds(const OffsetBounds b[], int n) {
  OffsetBounds shared = b[0];
  for (int i = 1; i < n; ++i) {
    if (b[i].low > shared.low) shared.low = b[i].low;
    if (b[i].high < shared.high) shared.high = b[i].high;
  }
  return shared;
}

uint32_t decodeTimeAnswer(const uint8_t answer[TIME_ANSWER_SIZE]) {
  return (static_cast<uint32_t>(answer[0]) << 24) | (static_cast<uint32_t>(answer[1]) << 16) |
         (static_cast<uint32_t>(answer[2]) << 8) | static_cast<uint32_t>(answer[3]);
}

int64_t answerSeconds(uint32_t seconds, Millis1900 localNow) {
  // Floor division: the local second that now falls in, also before 1900.
  int64_t nowSeconds = localNow / 1000;
  if (localNow % 1000 < 0) --nowSeconds;
  // The signed 32-bit distance from the local second to the answer, modulo
  // 2^32; exactly half an era away counts as the earlier era.
  int64_t ahead = static_cast<int64_t>((seconds - static_cast<uint32_t>(nowSeconds)) & 0xFFFFFFFFu);
  if (ahead >= (int64_t{1} << 31)) ahead -= int64_t{1} << 32;
  return nowSeconds + ahead;
}

static uint64_t answerMs(uint32_t seconds, Millis1900 answered) {
  return static_cast<uint64_t>(answerSeconds(seconds, answered)) * 1000u;
}

int64_t sampleCorrection(uint32_t seconds, Millis1900 answered, uint32_t latency, int64_t userOffset) {
  // Unsigned arithmetic wraps like the two's-complement sum it stands for,
  // without overflow being undefined for absurd clocks or offsets.
  const uint64_t sum = answerMs(seconds, answered) + HALF_SECOND_MS - static_cast<uint64_t>(answered) +
                       static_cast<uint64_t>(latency / 2u) + static_cast<uint64_t>(userOffset);
  return static_cast<int64_t>(sum);
}

OffsetBounds sampleBounds(uint32_t seconds, Millis1900 connected, Millis1900 answered,
                          int64_t userOffset) {
  const uint64_t server = answerMs(seconds, answered) + static_cast<uint64_t>(userOffset);
  // The clock readings are whole milliseconds, cut: the answer may have been
  // read up to a millisecond after its stamp.
  const uint64_t slack = static_cast<uint64_t>(NOTIFY_SLACK_MS);
  const uint64_t low = server - static_cast<uint64_t>(answered) - 1u - slack;
  const uint64_t high = server + 1000u - static_cast<uint64_t>(connected) + slack;
  const OffsetBounds b = {static_cast<int64_t>(low), static_cast<int64_t>(high)};
  return b;
}

ServerEstimate reduceSamples(const uint32_t latencies[3], const int64_t corrections[3],
                             const OffsetBounds bounds[3]) {
  ServerEstimate e = {};
  e.latency = (latencies[0] + latencies[1] + latencies[2]) / 3u;
  const OffsetBounds shared = intersectBounds(bounds, 3);
  if (boundsHold(shared)) {
    e.bounds = shared;
    e.correction = boundsMidpoint(shared);
    return e;
  }
  // Sum unsigned (wraps like the signed sum), then divide signed, truncating.
  const uint64_t sum = static_cast<uint64_t>(corrections[0]) + static_cast<uint64_t>(corrections[1]) +
                       static_cast<uint64_t>(corrections[2]);
  e.correction = static_cast<int64_t>(sum) / 3;
  e.bounds = boundsAround(e.correction);
  return e;
}
