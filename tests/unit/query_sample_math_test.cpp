// The arithmetic of one query: answer bytes, sample corrections, reduction.
#include <gtest/gtest.h>

#include <climits>

#include "query/sample_math.h"

namespace {

TEST(TimeAnswer, BigEndianSeconds) {
  const uint8_t y2000[4] = {0xBC, 0x17, 0xC2, 0x00};  // 3155673600
  EXPECT_EQ(decodeTimeAnswer(y2000), 3155673600u);
  const uint8_t order[4] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(decodeTimeAnswer(order), 0x01020304u);
  const uint8_t last[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // 2036-02-07 06:28:15, no later era
  EXPECT_EQ(decodeTimeAnswer(last), 4294967295u);
}

TEST(SampleCorrection, AdvancesTheReadingByHalfTheLatency) {
  const Millis1900 now = 3155673600250;  // a quarter second past the answer's second
  EXPECT_EQ(sampleCorrection(3155673600u, now, 0, 0), -250);
  EXPECT_EQ(sampleCorrection(3155673600u, now, 45, 0), -250 + 22);  // odd latency loses its half
  EXPECT_EQ(sampleCorrection(3155673600u, now, 46, 0), -250 + 23);
  EXPECT_EQ(sampleCorrection(3155673600u, now, 45, 2000), -250 + 22 + 2000);
  EXPECT_EQ(sampleCorrection(3155673600u, now, 45, -2000), -250 + 22 - 2000);
}

TEST(SampleCorrection, LatencyHalvedUnsignedAndWideSeconds) {
  // A latency with the top bit set halves as a large positive number, never negative.
  EXPECT_EQ(sampleCorrection(0, 0, 0xFFFFFFFFu, 0), 0x7FFFFFFF);
  // seconds*1000 is a 64-bit product: no 32-bit overflow for times after 1904.
  EXPECT_EQ(sampleCorrection(4294967295u, 0, 0, 0), 4294967295000LL);
  // An answer of 0 seconds is taken at face value.
  EXPECT_EQ(sampleCorrection(0, 3155673600000, 10, 0), -3155673600000 + 5);
}

TEST(SampleCorrection, WrapsAt64Bits) {
  EXPECT_EQ(sampleCorrection(1, 0, 0, INT64_MAX), INT64_MIN + 999);
  EXPECT_EQ(sampleCorrection(0, INT64_MIN, 0, 0), INT64_MIN);
}

struct Reduced {
  uint32_t latencies[3];
  int64_t corrections[3];
  uint32_t latency;
  int64_t correction;
};

Reduced reduce(uint32_t l0, uint32_t l1, uint32_t l2, int64_t c0, int64_t c1, int64_t c2) {
  Reduced r = {{l0, l1, l2}, {c0, c1, c2}, 0, 0};
  reduceSamples(r.latencies, r.corrections, &r.latency, &r.correction);
  return r;
}

TEST(ReduceSamples, TwoFastestCorrectionsAllThreeLatencies) {
  // Latencies 50, 30, 30: samples ordered 2, 3, 1; 110/3 truncates to 36.
  const Reduced r = reduce(50, 30, 30, 1000, 200, 300);
  EXPECT_EQ(r.latencies[0], 30u);
  EXPECT_EQ(r.latencies[1], 30u);
  EXPECT_EQ(r.latencies[2], 50u);
  EXPECT_EQ(r.corrections[0], 200);
  EXPECT_EQ(r.corrections[1], 300);
  EXPECT_EQ(r.corrections[2], 1000);
  EXPECT_EQ(r.correction, 250);
  EXPECT_EQ(r.latency, 36u);
}

TEST(ReduceSamples, EqualLatenciesAreNeverExchanged) {
  EXPECT_EQ(reduce(7, 7, 7, 10, 20, 90).correction, 15);  // samples 1 and 2
  // 2, 2, 1: only the exchange of samples 1 and 3 happens, leaving 3, 2, 1 --
  // an order by exchange, not a stable sort; the mean uses samples 3 and 2.
  const Reduced r = reduce(2, 2, 1, 100, 200, 400);
  EXPECT_EQ(r.corrections[0], 400);
  EXPECT_EQ(r.corrections[1], 200);
  EXPECT_EQ(r.corrections[2], 100);
  EXPECT_EQ(r.correction, 300);
}

TEST(ReduceSamples, MeanTruncatesTowardZero) {
  EXPECT_EQ(reduce(1, 2, 3, -3, -4, 0).correction, -3);
  EXPECT_EQ(reduce(1, 2, 3, 3, 4, 0).correction, 3);
  EXPECT_EQ(reduce(1, 2, 3, -1, 0, 0).correction, 0);
}

TEST(ReduceSamples, LatencyMeanIsUnsigned32Bit) {
  // The sum wraps at 2^32 before the division, as the 32-bit arithmetic has it.
  EXPECT_EQ(reduce(0xFFFFFFFFu, 2, 2, 0, 0, 0).latency, 3u / 3u);
  EXPECT_EQ(reduce(0x80000000u, 1, 2, 0, 0, 0).latency, 0x80000003u / 3u);
}

}  // namespace
