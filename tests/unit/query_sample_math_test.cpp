// The arithmetic of one query: answer bytes and their era, what a sample
// proves about the offset, and the reduction of three samples.
#include <gtest/gtest.h>

#include <climits>

#include "query/sample_math.h"

namespace {

const int64_t Y2000 = 3155673600;        // 2000-01-01 in seconds since 1900
const int64_t WRAP = int64_t{1} << 32;   // 2036-02-07 06:28:16 UTC

TEST(TimeAnswer, BigEndianSeconds) {
  const uint8_t y2000[4] = {0xBC, 0x17, 0xC2, 0x00};
  EXPECT_EQ(decodeTimeAnswer(y2000), 3155673600u);
  const uint8_t order[4] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(decodeTimeAnswer(order), 0x01020304u);
}

TEST(TimeAnswer, EraNearestTheLocalClock) {
  // Before the wrap, answers read as they are, also a little ahead or behind.
  EXPECT_EQ(answerSeconds(static_cast<uint32_t>(Y2000), Y2000 * 1000 + 999), Y2000);
  EXPECT_EQ(answerSeconds(0xFFFFFFFFu, (WRAP - 10) * 1000), WRAP - 1);
  // A server past the wrap answers small numbers: they belong to the next era.
  EXPECT_EQ(answerSeconds(5, (WRAP - 10) * 1000), WRAP + 5);
  // A local clock past the wrap reads a server still before it, and one after.
  EXPECT_EQ(answerSeconds(0xFFFFFFF0u, (WRAP + 3) * 1000), WRAP - 16);
  EXPECT_EQ(answerSeconds(7, (WRAP + 3) * 1000), WRAP + 7);
  // An epoch answer today is nearer 2036 than 1900; half an era away is the earlier era.
  EXPECT_EQ(answerSeconds(0, Y2000 * 1000), WRAP);
  EXPECT_EQ(answerSeconds(0x80000000u, 0), -(int64_t{1} << 31));
  EXPECT_EQ(answerSeconds(1, -1500), 1);  // local clock before 1900
  // That clock is in second -2, not -1: an answer half an era from it is the earlier era.
  EXPECT_EQ(answerSeconds(0x7FFFFFFEu, -1500), -2 - (int64_t{1} << 31));
}

TEST(SampleCorrection, MiddleOfTheSecondAdvancedByHalfTheLatency) {
  const Millis1900 answered = Y2000 * 1000 + 250;  // a quarter second past the answer's second
  EXPECT_EQ(sampleCorrection(static_cast<uint32_t>(Y2000), answered, 0, 0), 250);
  EXPECT_EQ(sampleCorrection(static_cast<uint32_t>(Y2000), answered, 45, 0), 250 + 22);
  EXPECT_EQ(sampleCorrection(static_cast<uint32_t>(Y2000), answered, 45, -2000), 250 + 22 - 2000);
  // After the wrap a small answer is still a small correction.
  EXPECT_EQ(sampleCorrection(3, (WRAP + 3) * 1000 + 100, 0, 0), 400);
  // Absurd offsets wrap at 64 bits instead of overflowing.
  EXPECT_EQ(sampleCorrection(static_cast<uint32_t>(Y2000), Y2000 * 1000, 0, INT64_MAX), INT64_MIN + 499);
}

TEST(SampleBounds, FromTheConnectionToTheAnswer) {
  // Connected at .100, answered at .140 of the second before the answer's:
  // the server read somewhere in between, so the offset lies in
  // [1000 - 140 - 1, 2000 - 100), with the slack on either side.
  const Millis1900 second = (Y2000 - 1) * 1000;
  const OffsetBounds b = sampleBounds(static_cast<uint32_t>(Y2000), second + 100, second + 140, 0);
  EXPECT_EQ(b.low, 859 - NOTIFY_SLACK_MS);
  EXPECT_EQ(b.high, 1900 + NOTIFY_SLACK_MS);
  const OffsetBounds shifted = sampleBounds(static_cast<uint32_t>(Y2000), second + 100, second + 140, 3000);
  EXPECT_EQ(shifted.low, 3859 - NOTIFY_SLACK_MS);
  EXPECT_EQ(shifted.high, 4900 + NOTIFY_SLACK_MS);
}

TEST(SampleBounds, AlwaysHoldTheTrueOffset) {
  // A server offset by theta reads its clock at r, between the stamps; for
  // every phase of the second and every offset the bounds contain theta.
  for (int64_t theta = -2300; theta <= 2300; theta += 97) {
    for (int64_t r = 1000000; r < 1001000; r += 37) {
      const int64_t serverMs = r + theta;
      const uint32_t seconds = static_cast<uint32_t>(Y2000 + serverMs / 1000);
      const Millis1900 base = Y2000 * 1000;
      const OffsetBounds b = sampleBounds(seconds, base + r - 3, base + r + 2, 0);
      EXPECT_LE(b.low, theta) << theta << " " << r;
      EXPECT_GT(b.high, theta) << theta << " " << r;
    }
  }
}

TEST(ReduceSamples, MidpointOfTheIntersection) {
  const uint32_t latencies[3] = {50, 30, 31};
  const int64_t corrections[3] = {0, 0, 0};
  const OffsetBounds bounds[3] = {{-400, 620}, {100, 1150}, {-900, 180}};
  const ServerEstimate e = reduceSamples(latencies, corrections, bounds);
  EXPECT_EQ(e.bounds.low, 100);
  EXPECT_EQ(e.bounds.high, 180);
  EXPECT_EQ(e.correction, 140);
  EXPECT_EQ(e.latency, 37u);  // 111 / 3
  // The sum of the latencies wraps at 2^32 before the division.
  const uint32_t wide[3] = {0xFFFFFFFFu, 2, 2};
  EXPECT_EQ(reduceSamples(wide, corrections, bounds).latency, 1u);
}

TEST(ReduceSamples, SamplesThatContradictEachOtherGiveTheirMean) {
  const uint32_t latencies[3] = {1, 1, 1};
  const int64_t corrections[3] = {-200, 300, 500};
  const OffsetBounds bounds[3] = {{-700, 300}, {300, 1300}, {0, 1000}};  // [300, 300) is empty
  const ServerEstimate e = reduceSamples(latencies, corrections, bounds);
  EXPECT_EQ(e.correction, 200);
  EXPECT_EQ(e.bounds.low, -300);
  EXPECT_EQ(e.bounds.high, 700);
  const int64_t negative[3] = {-3, -4, -1};  // truncates toward zero
  EXPECT_EQ(reduceSamples(latencies, negative, bounds).correction, -2);
}

TEST(OffsetBoundsMidpoint, RoundsDownAndNeverOverflows) {
  EXPECT_EQ(boundsMidpoint({-3, 0}), -2);
  EXPECT_EQ(boundsMidpoint({INT64_MIN, INT64_MAX}), -1);
  EXPECT_EQ(boundsAround(INT64_MAX).low, INT64_MAX - 500);
}

}  // namespace

namespace {

TEST(SampleMath, BoundsCarriedLaterWidenByTheMostACrystalDrifts) {
  // 8 s at 500 ppm: 4 ms either way, whichever way time runs; 1 ms: 0.5 us, up.
  const OffsetBounds b = {1000, 1200};
  const OffsetBounds later = boundsCarriedTo(b, 5000, 13000);
  EXPECT_EQ(later.low, -3000);
  EXPECT_EQ(later.high, 5200);
  const OffsetBounds earlier = boundsCarriedTo(b, 13000, 5000);
  EXPECT_EQ(earlier.low, -3000);
  EXPECT_EQ(earlier.high, 5200);
  const OffsetBounds now = boundsCarriedTo(b, 5000, 5001);
  EXPECT_EQ(now.low, 999);
  EXPECT_EQ(now.high, 1201);
  // Absurd spans saturate instead of wrapping.
  const OffsetBounds far = boundsCarriedTo({INT64_MIN + 5, INT64_MAX - 5}, INT64_MIN, INT64_MAX);
  EXPECT_EQ(far.low, INT64_MIN);
  EXPECT_EQ(far.high, INT64_MAX);
}

}  // namespace
