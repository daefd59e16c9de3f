// The clock's rate: units of both rate calls, the carried fraction, slews,
// runs that hold and record them, and when a correction is slewed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "discipline/rate_keeping.h"

namespace {

const uint64_t CLASSIC = 156250;     // 100 ns a tick of 15.625 ms: one unit 6.4 ppm
const uint64_t PRECISE = 10000000;   // a 10 MHz counter: one unit 0.1 ppm
const uint64_t TICK = 10000;

RateKeeper keeperAt(uint64_t increment, int64_t compensationPpb) {
  RateKeeper k = {};
  k.increment = increment;
  setCompensation(k, compensationPpb, 0);
  keepRate(k, 0, TICK);
  noteRateTaken(k, true, 0);
  return k;
}

TEST(RateUnits, BothCallsRoundToTheNearestUnit) {
  // A clock that loses 300 ppm runs at 1.0003 of its rate: 156,296.875 units.
  EXPECT_EQ(adjustmentForPpb(-300000, CLASSIC), 156297u);
  EXPECT_EQ(ppbOfAdjustment(156297, CLASSIC), -300800);
  EXPECT_EQ(ppbOfAdjustment(156296, CLASSIC), -294400);
  EXPECT_EQ(adjustmentForPpb(78000, CLASSIC), 156238u);  // 156,237.8125
  EXPECT_EQ(adjustmentForPpb(80000, CLASSIC), 156237u);  // 156,237.5: halves away from the nominal
  EXPECT_EQ(adjustmentForPpb(-80000, CLASSIC), 156263u);
  // Far beyond any compensation and slew, held where the products stay small.
  EXPECT_EQ(adjustmentForPpb(INT64_MAX, PRECISE), adjustmentForPpb(5000000, PRECISE));
  EXPECT_EQ(adjustmentForPpb(INT64_MIN, PRECISE), adjustmentForPpb(-5000000, PRECISE));
  EXPECT_EQ(adjustmentForPpb(0, CLASSIC), CLASSIC);
  EXPECT_EQ(adjustmentForPpb(78000, PRECISE), 9999220u);
  EXPECT_EQ(ppbOfAdjustment(9999220, PRECISE), 78000);
  EXPECT_EQ(ppbOfAdjustment(9999999, PRECISE), 100);
}

TEST(RateKeeping, TheCarriedFractionAveragesToTheExactRate) {
  for (uint64_t increment : {CLASSIC, PRECISE}) {
    RateKeeper k = keeperAt(increment, -300000);
    int64_t sum = 0;
    int high = 0;
    const int ticks = 80;
    for (int i = 1; i <= ticks; ++i) {
      const uint64_t set = keepRate(k, i * TICK, TICK);
      sum += ppbOfAdjustment(set, increment);
      if (set == 156297) ++high;
    }
    EXPECT_NEAR(static_cast<double>(sum) / ticks, -300000.0, 100.0) << increment;
    if (increment == CLASSIC) EXPECT_EQ(high, 70);  // 7 of every 8
    EXPECT_EQ(slewLeftUs(k), 0);
  }
}

TEST(RateKeeping, ASlewRemovesItsOffsetAtMostFiveHundredPpmFasterAndReturnsToTheCompensation) {
  RateKeeper k = keeperAt(CLASSIC, 78000);
  HistoryEntry run = {};
  run.action = ACTION_SLEWED;
  run.offsetUs = 499999;  // the clock half a second behind the servers
  applyRunAction(k, run);
  int64_t removedUs = 0;
  uint64_t now = 0;
  int64_t lastLeft = slewLeftUs(k);
  EXPECT_EQ(lastLeft, 499999);
  while (now < 1200000) {
    const uint64_t set = keepRate(k, now, TICK);
    const int64_t slew = ppbOfAdjustment(set, CLASSIC) - 78000;
    // Faster than the compensation (a smaller rate correction), never by more
    // than 500 ppm, and slower by no more than the carried unit.
    EXPECT_LE(slew, 6400);
    EXPECT_GE(slew, -SLEW_RATE_PPB - 6400);
    removedUs += -slew * static_cast<int64_t>(TICK) / 1000000;
    EXPECT_LE(slewLeftUs(k), lastLeft);
    lastLeft = slewLeftUs(k);
    now += TICK;
    if (now == 1000000 + TICK) EXPECT_EQ(slewLeftUs(k), 0) << "half a second takes at most 1000 s";
  }
  EXPECT_NEAR(static_cast<double>(removedUs), 499999.0, 200.0);
  EXPECT_EQ(adjustmentForPpb(78000, CLASSIC), keepRate(k, now, TICK));
}

TEST(RateKeeping, ARunHoldsTheSlewAndItsEntryTellsWhatWasLeftAndTheRateInForce) {
  RateKeeper k = keeperAt(PRECISE, -50000);
  HistoryEntry first = {};
  first.action = ACTION_SLEWED;
  first.offsetUs = -400000;  // the clock 0.4 s ahead: it runs slower
  completeRunEntry(k, first, 0);
  applyRunAction(k, first);
  for (uint64_t now = TICK; now <= 300000; now += TICK) keepRate(k, now, TICK);
  // After 290 s at 500 ppm (from the first tick on), 145 ms are removed and
  // 255 ms left; the next run holds the slew while it measures.
  holdSlew(k, 300000, TICK);
  const int64_t leftAtHold = slewLeftUs(k);
  EXPECT_NEAR(static_cast<double>(leftAtHold), -255000.0, 1000.0);
  for (uint64_t now = 300000 + TICK; now <= 310000; now += TICK) {
    EXPECT_NEAR(static_cast<double>(ppbOfAdjustment(keepRate(k, now, TICK), PRECISE)), -50000.0, 101.0);
  }
  HistoryEntry second = {};
  second.action = ACTION_STEP_REFUSED;
  completeRunEntry(k, second, 310000);
  EXPECT_EQ(second.rateBeforePpb, -50000);
  EXPECT_NEAR(static_cast<double>(second.slewLeftUs), static_cast<double>(leftAtHold), 50.0);
  // Nothing moved: the slew goes on. A step ends it.
  applyRunAction(k, second);
  EXPECT_NE(slewLeftUs(k), 0);
  second.action = ACTION_STEPPED;
  applyRunAction(k, second);
  EXPECT_EQ(slewLeftUs(k), 0);
  EXPECT_NEAR(static_cast<double>(ppbOfAdjustment(keepRate(k, 320000, TICK), PRECISE)), -50000.0, 101.0);
}

TEST(RateKeeping, ARateThatDidNotTakeCountsForNothing) {
  RateKeeper k = keeperAt(CLASSIC, 78000);
  HistoryEntry slew = {};
  slew.action = ACTION_SLEWED;
  slew.offsetUs = 100000;
  applyRunAction(k, slew);
  keepRate(k, TICK, TICK);
  noteRateTaken(k, false, TICK);
  EXPECT_EQ(slewLeftUs(k), 0);
  keepRate(k, 2 * TICK, TICK);
  HistoryEntry next = {};
  completeRunEntry(k, next, 3 * TICK);
  // In force for the first 10 s of the 30: the mean says so.
  EXPECT_EQ(next.rateBeforePpb, 26000);
  releaseRate(k, 3 * TICK);
  HistoryEntry after = {};
  completeRunEntry(k, after, 4 * TICK);
  EXPECT_EQ(after.rateBeforePpb, 0);
}

TEST(RateKeeping, OnlyAnAutomaticRunsSmallCorrectionIsSlewedAndOnlyWithOurRate) {
  EXPECT_TRUE(slewsCorrection(499999, true, true));
  EXPECT_TRUE(slewsCorrection(-499999, true, true));
  EXPECT_FALSE(slewsCorrection(500000, true, true));
  EXPECT_FALSE(slewsCorrection(-500000, true, true));
  EXPECT_FALSE(slewsCorrection(1000, false, true));  // the user's own "Synchronize Time"
  EXPECT_FALSE(slewsCorrection(1000, true, false));  // the rate is not ours
  EXPECT_FALSE(slewsCorrection(INT64_MIN, true, true));

  DriftEstimate drift = {};
  drift.ppb = 78000;
  EXPECT_EQ(compensationFor(drift, -5, false, 0), -5);
  drift.known = true;
  EXPECT_EQ(compensationFor(drift, -5, false, 0), 78000);
  // Once a compensation is known, the estimate is followed within the bound.
  EXPECT_EQ(compensationFor(drift, -5, true, 0), -5 + COMPENSATION_RUN_PPB);
  drift.known = false;
  drift.beyondLimit = true;
  drift.ppb = 999000;
  EXPECT_EQ(compensationFor(drift, -5, false, 0), -5);
}

TEST(RateKeeping, TheCompensationFollowsTheEstimateAtMostAsFastAsACrystalWanders) {
  RateKeeper k = keeperAt(CLASSIC, 0);
  DriftEstimate drift = {};
  drift.known = false;
  drift.ppb = 78000;
  EXPECT_FALSE(followDrift(k, drift, 1000));
  EXPECT_EQ(k.compensationPpb, 0);
  // The first drift known on this PC is taken at once, within the limit.
  drift.known = true;
  drift.ppb = 600000;
  EXPECT_TRUE(followDrift(k, drift, 2000));
  EXPECT_EQ(k.compensationPpb, DRIFT_PLAUSIBLE_PPB);
  // Then only a run's allowance and a few ppm an hour.
  drift.ppb = -400000;
  EXPECT_TRUE(followDrift(k, drift, 2000 + 3600000));
  EXPECT_EQ(k.compensationPpb, DRIFT_PLAUSIBLE_PPB - COMPENSATION_RUN_PPB - COMPENSATION_HOURLY_PPB);
  EXPECT_TRUE(followDrift(k, drift, 2000 + 3600000));  // the same moment again: the allowance only
  EXPECT_EQ(k.compensationPpb, DRIFT_PLAUSIBLE_PPB - 2 * COMPENSATION_RUN_PPB - COMPENSATION_HOURLY_PPB);

  // A restart from "DriftPpb" keeps the bound from its first run on.
  RateKeeper restarted = {};
  restarted.increment = CLASSIC;
  resumeCompensation(restarted, 78000, 50000);
  EXPECT_EQ(restarted.compensationPpb, 78000);
  drift.ppb = 998500;
  EXPECT_TRUE(followDrift(restarted, drift, 60000));
  EXPECT_EQ(restarted.compensationPpb, 78000 + COMPENSATION_RUN_PPB + COMPENSATION_HOURLY_PPB * 10000 / 3600000);
  // A stored figure beyond any crystal is held at the limit.
  resumeCompensation(restarted, -2000000, 0);
  EXPECT_EQ(restarted.compensationPpb, -DRIFT_PLAUSIBLE_PPB);
}

TEST(RateKeeping, ASlewCutShortByASettingThatDidNotTakeOrAResumeDoesNotComeBack) {
  for (int cut = 0; cut < 2; ++cut) {
    RateKeeper k = keeperAt(CLASSIC, 78000);
    HistoryEntry run = {};
    run.action = ACTION_SLEWED;
    run.offsetUs = 300000;
    applyRunAction(k, run);
    keepRate(k, TICK, TICK);
    noteRateTaken(k, true, TICK);
    ASSERT_GT(slewLeftUs(k), 200000);
    if (cut == 0) {
      noteRateTaken(k, false, 2 * TICK);  // the system or another program took the rate
      keepRate(k, 3 * TICK, TICK);
      noteRateTaken(k, true, 3 * TICK);
    } else {
      restartRate(k, 2 * TICK);  // a resume; the rate is set again at once
      keepRate(k, 2 * TICK, TICK);
      noteRateTaken(k, true, 2 * TICK);
    }
    EXPECT_EQ(slewLeftUs(k), 0) << cut;
    // Back at the compensation, within a unit, and no stale slew at 500 ppm.
    for (uint64_t t = 4 * TICK; t < 10 * TICK; t += TICK) {
      const int64_t applied = ppbOfAdjustment(keepRate(k, t, TICK), CLASSIC);
      EXPECT_LE(std::llabs(applied - 78000), 6400) << cut;
      noteRateTaken(k, true, t);
    }
  }
}

}  // namespace
