// Where the servers agree, and when a run's samples connect: stagger, aim and
// the spacing between contacts with one address.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>

#include "query/agreement.h"
#include "query/sample_plan.h"

namespace {

// The obviously correct reference: how many intervals cover the point.
int covering(const std::vector<OffsetBounds>& v, int64_t point) {
  int n = 0;
  for (const OffsetBounds& b : v) n += b.low <= point && point < b.high;
  return n;
}

TEST(Agreement, MatchesCountingAtEveryBound) {
  std::mt19937 random(868);
  for (int round = 0; round < 500; ++round) {
    std::vector<OffsetBounds> v(1 + random() % 12);
    for (OffsetBounds& b : v) {
      b.low = static_cast<int64_t>(random() % 200) - 100;
      b.high = b.low + static_cast<int64_t>(random() % 80);  // some empty
    }
    int best = 0;
    for (const OffsetBounds& b : v) {
      best = std::max(best, covering(v, b.low));
    }
    const Agreement a = findAgreement(v.data(), static_cast<int>(v.size()));
    ASSERT_EQ(a.count, best) << "round " << round;
    if (best == 0) continue;
    // Covered by that many throughout, and by fewer just outside.
    for (int64_t p = a.bounds.low; p < a.bounds.high; ++p) ASSERT_EQ(covering(v, p), best);
    EXPECT_LT(covering(v, a.bounds.low - 1) + covering(v, a.bounds.high), 2 * best + 1);
  }
}

TEST(Agreement, ALiarTouchingTheOthersAndTies) {
  // Half-open: an interval ending where another starts does not meet it.
  const OffsetBounds touching[2] = {{0, 100}, {100, 200}};
  EXPECT_EQ(findAgreement(touching, 2).count, 1);
  // Four agree on [40, 50); the fifth overlaps only three of them.
  const OffsetBounds five[5] = {{0, 50}, {40, 90}, {30, 60}, {10, 55}, {45, 300}};
  const Agreement a = findAgreement(five, 5);
  EXPECT_EQ(a.count, 5);
  EXPECT_EQ(a.bounds.low, 45);
  EXPECT_EQ(a.bounds.high, 50);
  // Two pairs agree equally: the narrower, sharper agreement wins.
  const OffsetBounds pairs[4] = {{0, 100}, {50, 150}, {500, 600}, {590, 700}};
  const Agreement p = findAgreement(pairs, 4);
  EXPECT_EQ(p.count, 2);
  EXPECT_EQ(p.bounds.low, 590);
  EXPECT_EQ(p.bounds.high, 600);
  EXPECT_EQ(findAgreement(pairs, 0).count, 0);
}

TEST(SamplePlan, FirstSamplesSpreadOverHalfASecond) {
  EXPECT_EQ(firstSampleDelay(0, 1), 0);
  const int64_t three[3] = {firstSampleDelay(0, 3), firstSampleDelay(1, 3), firstSampleDelay(2, 3)};
  EXPECT_EQ(three[0], 0);
  EXPECT_EQ(three[1], 166);
  EXPECT_EQ(three[2], 333);
  EXPECT_EQ(firstSampleDelay(49, 50), 490);
  EXPECT_EQ(firstSampleDelay(5, 0), 0);
}

TEST(SamplePlan, StartsSoTheReadingCutsAtTheAim) {
  // A reading at local time r cuts the offsets at -r mod 1000: to cut at 250
  // with a lead of 30 ms, start at 720 mod 1000, at or after earliest.
  EXPECT_EQ(sampleStartFor(5000, 250, 30), 5720);
  EXPECT_EQ(sampleStartFor(5720, 250, 30), 5720);
  EXPECT_EQ(sampleStartFor(5721, 250, 30), 6720);
  EXPECT_EQ(sampleStartFor(5000, -250, 0), 5250);
  EXPECT_EQ(sampleStartFor(-1999, 1250, 1030), -1280);
}

TEST(SamplePlan, SecondSampleHalvesItsServer) {
  const int64_t first[1] = {300};
  const OffsetBounds one[1] = {sampleCore(first, 1)};
  EXPECT_EQ(sampleAim(one, 1, 0, 1), 300);
  // Face-value cores intersect; samples that contradict give their mean.
  const int64_t two[2] = {300, 600};
  EXPECT_EQ(sampleCore(two, 2).low, 100);
  EXPECT_EQ(sampleCore(two, 2).high, 800);
  const int64_t apart[2] = {0, 2000};
  EXPECT_EQ(sampleCore(apart, 2).low, 500);
}

TEST(SamplePlan, ThirdSamplesSplitTheSharedCoreAmongItsServers) {
  // Three servers share [100, 400), less 2 ms at either end for jitter; the
  // fourth is elsewhere and halves its own.
  const OffsetBounds cores[4] = {{0, 400}, {100, 600}, {50, 450}, {2000, 2600}};
  EXPECT_EQ(sampleAim(cores, 4, 0, 2), 176);
  EXPECT_EQ(sampleAim(cores, 4, 1, 2), 250);
  EXPECT_EQ(sampleAim(cores, 4, 2, 2), 324);
  EXPECT_EQ(sampleAim(cores, 4, 3, 2), 2300);
  // Cores that only touch do not count as agreement.
  const OffsetBounds touching[2] = {{0, 500}, {499, 1000}};
  EXPECT_EQ(sampleAim(touching, 2, 0, 2), 250);
  // Fifty servers that agree cut 50 different points.
  OffsetBounds fifty[50];
  for (OffsetBounds& b : fifty) b = {0, 510};
  EXPECT_EQ(sampleAim(fifty, 50, 0, 2), 11);
  EXPECT_EQ(sampleAim(fifty, 50, 49, 2), 498);
}

TEST(SamplePlan, AbsurdOffsetsWrapInsteadOfOverflowing) {
  // An extreme user offset puts the cores at the ends of the 64-bit range.
  const int64_t extreme[3] = {INT64_MAX, INT64_MAX - 1, INT64_MIN};
  const OffsetBounds cores[3] = {sampleCore(extreme, 3), sampleCore(extreme, 1), {INT64_MIN, INT64_MIN + 1}};
  // Under the sanitizers an overflow here ends the test.
  sampleCore(extreme, 2);
  for (int self = 0; self < 3; ++self) sampleAim(cores, 3, self, 2);
}

TEST(ContactSpacing, NoAddressTwiceWithinFourSeconds) {
  ContactLog log;
  std::memset(&log, 0, sizeof log);
  const uint64_t gap = SAMPLE_SPACING_MS + SPACING_MARGIN_MS;
  EXPECT_EQ(nextContactAllowed(log, 0x0100007F, 1000), 1000u);
  recordContact(log, 0x0100007F, 1000);
  EXPECT_EQ(nextContactAllowed(log, 0x0100007F, 1001), 1000 + gap);
  EXPECT_EQ(nextContactAllowed(log, 0x0200007F, 1001), 1001u);  // another address
  // A later run, or a test run, meets the same log.
  recordContact(log, 0x0100007F, 1000 + gap);
  EXPECT_EQ(nextContactAllowed(log, 0x0100007F, 1000 + gap + 5), 1000 + 2 * gap);
  EXPECT_EQ(nextContactAllowed(log, 0x0100007F, 1000 + 3 * gap), 1000 + 3 * gap);
  // Many addresses over time: old entries make room, recent ones stay.
  for (uint32_t a = 0; a < 1000; ++a) recordContact(log, a, 100000 + a * 100);
  EXPECT_EQ(nextContactAllowed(log, 999, 100000 + 999 * 100), 100000 + 999 * 100 + gap);
  EXPECT_EQ(nextContactAllowed(log, 990, 100000 + 999 * 100), 100000 + 990 * 100 + gap);
}

TEST(Agreement, TieRulesAndIntervalsThatDoNotHold) {
  // Where one interval ends and two start, the two count, not three.
  const OffsetBounds meeting[3] = {{0, 10}, {10, 20}, {10, 20}};
  const Agreement m = findAgreement(meeting, 3);
  EXPECT_EQ(m.count, 2);
  EXPECT_EQ(m.bounds.low, 10);
  EXPECT_EQ(m.bounds.high, 20);
  // Equally covered and equally wide: the lowest wins.
  const OffsetBounds equal[2] = {{20, 30}, {0, 10}};
  EXPECT_EQ(findAgreement(equal, 2).bounds.low, 0);
  // Empty and inverted intervals (a core shrunk to nothing) are no opinion.
  const OffsetBounds hollow[4] = {{3, 1}, {3, 1}, {5, 5}, {0, 10}};
  const Agreement h = findAgreement(hollow, 4);
  EXPECT_EQ(h.count, 1);
  EXPECT_EQ(h.bounds.low, 0);
  EXPECT_EQ(h.bounds.high, 10);
  // Past the capacity intervals are left out, never written past the edges.
  OffsetBounds many[AGREEMENT_CAPACITY + 1];
  for (OffsetBounds& b : many) b = {0, 10};
  EXPECT_EQ(findAgreement(many, AGREEMENT_CAPACITY + 1).count, AGREEMENT_CAPACITY);
}

TEST(SamplePlan, ASecondSampleHalvesItsOwnServerEvenWhenOthersAgree) {
  const OffsetBounds cores[2] = {{0, 1000}, {400, 1400}};
  EXPECT_EQ(sampleAim(cores, 2, 0, 1), 500);
  EXPECT_EQ(sampleAim(cores, 2, 1, 1), 900);
}

TEST(ContactSpacing, AFullLogMakesRoomWithItsOldestEntry) {
  ContactLog log;
  std::memset(&log, 0, sizeof log);
  // Every entry recent: the oldest gives way, the newest stays.
  for (uint32_t a = 0; a < CONTACT_LOG_SIZE; ++a) recordContact(log, a + 1, 1000 + a);
  recordContact(log, 5000, 1200);
  EXPECT_EQ(nextContactAllowed(log, CONTACT_LOG_SIZE, 1200),
            1000 + (CONTACT_LOG_SIZE - 1) + SAMPLE_SPACING_MS + SPACING_MARGIN_MS);
  EXPECT_EQ(nextContactAllowed(log, 1, 1200), 1200u);
}

}  // namespace
