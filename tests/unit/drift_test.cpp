// The drift estimate on synthetic histories: a clock of known rate measured
// with noise, and what happens to the offsets between runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "discipline/drift.h"
#include "discipline/history_plot.h"

namespace {

const Millis1900 START = 3990000000000ll;  // late 2026

// A clock that gains driftPpb, measured by runs of a given uncertainty; what
// each run does to it is up to the test.
struct SyntheticClock {
  double driftPpb;
  double offsetUs = 0;  // servers minus this clock
  double ratePpb = 0;   // the rate correction in force
  Millis1900 now = START;
  std::mt19937 random{7};
  HistoryLog log = {};
  uint8_t pendingFlags = 0;
  int32_t pendingSlewLeft = 0;

  explicit SyntheticClock(double ppb) : driftPpb(ppb) {}

  void wait(double seconds) {
    offsetUs += (ratePpb - driftPpb) * seconds / 1000.0;
    now += static_cast<Millis1900>(seconds * 1000.0);
  }
  // A jump of the clock that no run made: a resume, or someone else's step.
  void jump(double us, bool marked) {
    offsetUs -= us;
    if (marked) pendingFlags |= HISTORY_BREAK;
  }
  // A slew may fall short of its offset by leftUs when the next run measures.
  HistoryEntry& run(HistoryAction action, double noiseUs = 300, double extraUs = 0, int32_t leftUs = 0) {
    std::uniform_real_distribution<double> noise(-noiseUs, noiseUs);
    HistoryEntry e = {};
    e.measuredAt = now;
    e.offsetUs = static_cast<int64_t>(std::llround(offsetUs + noise(random) + extraUs));
    e.uncertaintyUs = static_cast<uint32_t>(noiseUs);
    e.action = static_cast<uint8_t>(action);
    e.rateBeforePpb = static_cast<int32_t>(ratePpb);
    e.flags = pendingFlags;
    e.slewLeftUs = pendingSlewLeft;
    pendingFlags = 0;
    pendingSlewLeft = action == ACTION_SLEWED ? leftUs : 0;
    if (action == ACTION_STEPPED || action == ACTION_SLEWED)
      offsetUs -= static_cast<double>(appliedByRun(e, nullptr, pendingSlewLeft));
    appendHistory(log, e);
    return log.entries[log.count - 1];
  }
};

void expectNear(const DriftEstimate& d, double ppb, double tolerancePpb) {
  EXPECT_TRUE(d.fitted);
  EXPECT_NEAR(static_cast<double>(d.ppb), ppb, tolerancePpb);
}

TEST(DriftEstimate, FindsAKnownRateThroughNoiseWhateverTheRunsDid) {
  // Steps taken, steps refused, and a rate correction already in force: the
  // estimate is the crystal's own rate in every case, with its sign.
  for (HistoryAction action : {ACTION_STEPPED, ACTION_STEP_REFUSED, ACTION_DECLINED, ACTION_SLEWED}) {
    for (double ppb : {78000.0, -120000.0}) {
      SyntheticClock clock(ppb);
      clock.ratePpb = action == ACTION_SLEWED ? 70000 : 0;
      for (int i = 0; i < 13; ++i) {
        clock.run(action);
        clock.wait(10);
      }
      const DriftEstimate d = estimateDrift(clock.log);
      expectNear(d, ppb, 25000);
      EXPECT_TRUE(d.known) << action;
      EXPECT_EQ(d.used, 13);
      EXPECT_GT(d.uncertaintyPpb, 0);
      EXPECT_LE(d.uncertaintyPpb, DRIFT_KNOWN_LIMIT_PPB);
    }
  }
}

TEST(DriftEstimate, OneBadRunIsLeftOut) {
  SyntheticClock clock(50000);
  for (int i = 0; i < 8; ++i) {
    clock.run(ACTION_STEP_REFUSED, 300, i == 5 ? 40000 : 0);
    clock.wait(3600);
  }
  const DriftEstimate d = estimateDrift(clock.log);
  EXPECT_EQ(d.excluded, 1);
  EXPECT_EQ(d.used, 7);
  expectNear(d, 50000, 500);
}

TEST(DriftEstimate, BreaksSeparateTheOffsetsButKeepTheRate) {
  // A resume from sleep (the clock 2 s off) and someone else's step back by
  // 30 s, both marked: the runs on either side still share one rate.
  SyntheticClock clock(-78000);
  for (int i = 0; i < 12; ++i) {
    if (i == 4) clock.jump(2000000, true);
    if (i == 8) clock.jump(-30000000, true);
    if (i == 11) clock.jump(1500000, true);  // a run alone in its span says nothing
    clock.run(ACTION_STEPPED);
    clock.wait(600);
  }
  const DriftEstimate d = estimateDrift(clock.log);
  expectNear(d, -78000, 1000);
  EXPECT_EQ(d.excluded, 0);
  EXPECT_EQ(d.used, 11);
  EXPECT_TRUE(d.known);

  // The same jumps unmarked would wreck the estimate: the marks are what count.
  SyntheticClock unmarked(-78000);
  for (int i = 0; i < 12; ++i) {
    if (i == 4) unmarked.jump(2000000, false);
    if (i == 8) unmarked.jump(-30000000, false);
    unmarked.run(ACTION_STEPPED);
    unmarked.wait(600);
  }
  EXPECT_GT(std::fabs(static_cast<double>(estimateDrift(unmarked.log).ppb) + 78000), 5000);
}

TEST(DriftEstimate, ASlewStillUnderWayCountsOnlyWhatItRemoved) {
  // Every fifth run comes while the slew before it is still 30 ms short; the
  // run says so, and the estimate takes only what was removed.
  SyntheticClock clock(30000);
  for (int i = 0; i < 12; ++i) {
    clock.run(ACTION_SLEWED, 300, 0, i % 5 == 2 ? 30000 : 0);
    clock.wait(300);
  }
  expectNear(estimateDrift(clock.log), 30000, 2000);
  // Read as if those slews had finished, the runs would tell another rate.
  for (int i = 0; i < clock.log.count; ++i) clock.log.entries[i].slewLeftUs = 0;
  EXPECT_GT(std::fabs(static_cast<double>(estimateDrift(clock.log).ppb) - 30000), 10000);
}

TEST(DriftEstimate, ARunMeasuredNoLaterThanTheOneBeforeStartsANewSpan) {
  // Someone set the clock back by exactly the time between two runs, and the
  // runs had no uncertainty to speak of: still no division by nothing.
  SyntheticClock clock(60000);
  for (int i = 0; i < 10; ++i) {
    if (i == 5) {
      clock.now -= 600000;
      clock.offsetUs += 600000000;
    }
    clock.run(ACTION_STEPPED, 0);
    clock.wait(600);
  }
  for (int i = 0; i < clock.log.count; ++i) clock.log.entries[i].uncertaintyUs = 0;
  expectNear(estimateDrift(clock.log), 60000, 1000);
}

TEST(DriftEstimate, AStepIsTheCorrectionToTheNearestMillisecond) {
  HistoryEntry e = {};
  e.action = ACTION_STEPPED;
  const int64_t rows[][2] = {{-1234, -1000}, {-1500, -1000}, {-1501, -2000}, {1499, 1000}, {1500, 2000}};
  for (const auto& row : rows) {
    e.offsetUs = row[0];
    EXPECT_EQ(appliedByRun(e, nullptr, 0), row[1]) << row[0];
  }
  e.action = ACTION_STEP_REFUSED;
  EXPECT_EQ(appliedByRun(e, nullptr, 0), 0);
}

TEST(ClockWatch, OnlyAMoveBeyondAnyRateIsSomeoneElsesStep) {
  EXPECT_FALSE(clockJumped(10015000, 10000000));  // 15 ms in 10 s: a fast crystal and a slew
  EXPECT_TRUE(clockJumped(10045000, 10000000));
  EXPECT_TRUE(clockJumped(9955000, 10000000));
  EXPECT_FALSE(clockJumped(3607000000, 3600000000));  // 2000 ppm of an hour
  EXPECT_TRUE(clockJumped(3607300000, 3600000000));
  EXPECT_TRUE(clockJumped(INT64_MIN, INT64_MAX));
  // The allowance grows within the second too: 20 ms + 2000 ppm of 10.5 s.
  EXPECT_FALSE(clockJumped(10541000, 10500000));
  EXPECT_TRUE(clockJumped(10541001, 10500000));
  EXPECT_FALSE(clockJumped(10540500, 10500000));
}

TEST(DriftEstimate, TooLittleHistoryIsNotKnown) {
  HistoryLog empty = {};
  EXPECT_FALSE(estimateDrift(empty).fitted);

  SyntheticClock one(40000);
  one.run(ACTION_STEPPED);
  EXPECT_FALSE(estimateDrift(one.log).fitted);
  // Two runs a day apart already tell a daily schedule how to hold the
  // clock, sure enough to act on.
  one.wait(86400);
  one.run(ACTION_STEPPED);
  const DriftEstimate d = estimateDrift(one.log);
  EXPECT_TRUE(d.known);
  expectNear(d, 40000, 100);

  // Runs only in separate spans, or without an offset, say nothing of the rate.
  SyntheticClock apart(40000);
  for (int i = 0; i < 5; ++i) {
    apart.jump(0, true);
    apart.run(ACTION_STEPPED);
    apart.run(ACTION_NO_SERVER);
    apart.wait(600);
  }
  EXPECT_FALSE(estimateDrift(apart.log).fitted);

  // Runs of Time Protocol servers a few seconds apart: fitted, but not sure yet.
  SyntheticClock coarse(40000);
  for (int i = 0; i < 4; ++i) {
    coarse.run(ACTION_STEP_REFUSED, 20000);
    coarse.wait(10);
  }
  EXPECT_FALSE(estimateDrift(coarse.log).known);
}

TEST(DriftEstimate, ARateBeyondAnyCrystalIsNotActedOn) {
  SyntheticClock clock(3000000);  // 3000 ppm
  for (int i = 0; i < 6; ++i) {
    clock.run(ACTION_STEP_REFUSED);
    clock.wait(60);
  }
  const DriftEstimate d = estimateDrift(clock.log);
  expectNear(d, 3000000, 5000);
  EXPECT_FALSE(d.known);
  EXPECT_TRUE(d.beyondLimit);
  // Kernels hold a frequency correction within 500 ppm: so does the program.
  for (double ppb : {-510000.0, 490000.0}) {
    SyntheticClock near(ppb);
    for (int i = 0; i < 6; ++i) {
      near.run(ACTION_STEP_REFUSED);
      near.wait(600);
    }
    const DriftEstimate e = estimateDrift(near.log);
    EXPECT_EQ(e.known, ppb > 0) << ppb;
    EXPECT_EQ(e.beyondLimit, ppb < 0) << ppb;
  }
  // Not sure enough is neither known nor beyond the limit.
  SyntheticClock coarse(3000000);
  coarse.run(ACTION_STEP_REFUSED, 200000);
  coarse.wait(10);
  coarse.run(ACTION_STEP_REFUSED, 200000);
  EXPECT_FALSE(estimateDrift(coarse.log).beyondLimit);
}

TEST(DriftCompensation, TheFirstDriftIsTakenAtOnceAndLaterOnesFollowedWithinTheBound) {
  EXPECT_EQ(nextCompensationPpb(78000, 5, false, 0), 78000);
  EXPECT_EQ(nextCompensationPpb(600000, 0, false, 0), DRIFT_PLAUSIBLE_PPB);
  EXPECT_EQ(nextCompensationPpb(-600000, 0, false, 0), -DRIFT_PLAUSIBLE_PPB);
  // Servers 999 ppm fast against a drift known to be 78 ppm: a run's
  // allowance, plus 4 ppm an hour, counted for at most six hours.
  const int64_t hour = 3600000;
  EXPECT_EQ(nextCompensationPpb(998500, 78000, true, 0), 78500);
  EXPECT_EQ(nextCompensationPpb(998500, 78000, true, hour / 2), 80500);
  EXPECT_EQ(nextCompensationPpb(998500, 78000, true, hour), 82500);
  EXPECT_EQ(nextCompensationPpb(-998500, 78000, true, hour), 73500);
  EXPECT_EQ(nextCompensationPpb(998500, 78000, true, 6 * hour), 78000 + 500 + 24000);
  EXPECT_EQ(nextCompensationPpb(998500, 78000, true, 7 * hour), 78000 + 500 + 24000);
  EXPECT_EQ(nextCompensationPpb(998500, 78000, true, -hour), 78500);
  // Within the bound the estimate is taken as it is.
  EXPECT_EQ(nextCompensationPpb(82500, 78000, true, hour), 82500);
  EXPECT_EQ(nextCompensationPpb(73500, 78000, true, hour), 73500);
  EXPECT_EQ(nextCompensationPpb(78400, 78000, true, 0), 78400);
  // A compensation beyond the limit is first brought within it; no figure overflows.
  EXPECT_EQ(nextCompensationPpb(0, 900000, true, 0), DRIFT_PLAUSIBLE_PPB - 500);
  EXPECT_EQ(nextCompensationPpb(INT64_MAX, INT64_MIN, true, INT64_MAX), -DRIFT_PLAUSIBLE_PPB + 24500);
  EXPECT_EQ(nextCompensationPpb(INT64_MIN, INT64_MAX, true, INT64_MIN), DRIFT_PLAUSIBLE_PPB - 500);
}

TEST(DriftCompensation, TheMovementBeyondTheDriftsUncertainty) {
  const int64_t hour = 3600000;
  EXPECT_EQ(unexplainedMovementUs(100000, 20000, hour), 288000);
  EXPECT_EQ(unexplainedMovementUs(-100000, 20000, hour), 288000);
  EXPECT_EQ(unexplainedMovementUs(20000, 20000, hour), 0);
  EXPECT_EQ(unexplainedMovementUs(-19999, 20000, hour), 0);
  EXPECT_EQ(unexplainedMovementUs(100000, -5, hour), 360000);
  EXPECT_EQ(unexplainedMovementUs(100000, 0, 0), 0);
  EXPECT_EQ(unexplainedMovementUs(100000, 0, -hour), 0);
  // Whole microseconds, cut off; every part of the product counts.
  EXPECT_EQ(unexplainedMovementUs(1, 0, 999999), 0);
  EXPECT_EQ(unexplainedMovementUs(1, 0, 1000000), 1);
  EXPECT_EQ(unexplainedMovementUs(1500000, 0, 1), 1);
  EXPECT_EQ(unexplainedMovementUs(1000001, 0, 1000000), 1000001);
  EXPECT_EQ(unexplainedMovementUs(999999, 0, 2000000000000), 1999998000000);
  EXPECT_EQ(unexplainedMovementUs(999999, 0, 1999999), 1999997);
  // At the ends of 64 bits: exact up to INT64_MAX, held there beyond.
  EXPECT_EQ(unexplainedMovementUs(INT64_MAX, 0, 1000000), INT64_MAX);
  EXPECT_EQ(unexplainedMovementUs(INT64_MAX, 1, 1000000), INT64_MAX - 1);
  EXPECT_EQ(unexplainedMovementUs(INT64_MIN, 0, 1000000), INT64_MAX);
  EXPECT_EQ(unexplainedMovementUs(INT64_MIN, 0, INT64_MAX), INT64_MAX);
  EXPECT_EQ(unexplainedMovementUs(1000000, 0, INT64_MAX), INT64_MAX);
  EXPECT_EQ(unexplainedMovementUs(999999, 0, INT64_MAX), 9223362813482738952);
  EXPECT_EQ(unexplainedMovementUs(4000000, 0, 4611686018427387905), INT64_MAX);  // 2^64 + 4 ppb x ms
}

TEST(DriftCompensation, OnStartupADriftIsAppliedOnlyWhereRunsSinceTheLastBreakSupportIt) {
  // The newest span's runs with an offset.
  SyntheticClock clock(78000);
  EXPECT_EQ(runsInNewestSpan(clock.log), 0);
  clock.run(ACTION_STEPPED);
  clock.wait(60);
  clock.run(ACTION_STEPPED);
  EXPECT_EQ(runsInNewestSpan(clock.log), 2);
  clock.jump(0, true);
  clock.run(ACTION_STEPPED);
  EXPECT_EQ(runsInNewestSpan(clock.log), 1);
  clock.wait(60);
  clock.run(ACTION_NO_SERVER);
  EXPECT_EQ(runsInNewestSpan(clock.log), 1);
  clock.wait(60);
  clock.run(ACTION_SLEWED);
  EXPECT_EQ(runsInNewestSpan(clock.log), 2);
  clock.jump(0, true);
  clock.run(ACTION_NO_SERVER);
  EXPECT_EQ(runsInNewestSpan(clock.log), 0);

  EXPECT_FALSE(applyDriftOnStartup(false, true, true));
  EXPECT_FALSE(applyDriftOnStartup(true, false, false));
  EXPECT_TRUE(applyDriftOnStartup(true, true, false));
  EXPECT_TRUE(applyDriftOnStartup(true, false, true));
}

TEST(ClockErrorNow, CarriesTheLastOffsetForwardAtTheDriftLeft) {
  SyntheticClock clock(78000);
  for (int i = 0; i < 6; ++i) {
    clock.run(ACTION_STEPPED, 500);
    clock.wait(600);
  }
  const DriftEstimate d = estimateDrift(clock.log);
  const Millis1900 hourLater = clock.log.entries[clock.log.count - 1].measuredAt + 3600000;
  // Uncompensated, the clock gains 78 ppm: an hour later it is 281 ms ahead.
  const ClockErrorNow free = estimateErrorNow(clock.log, d, 0, 0, hourLater);
  ASSERT_TRUE(free.known);
  EXPECT_NEAR(static_cast<double>(free.offsetUs), -280800, 3000);
  EXPECT_GE(free.boundUs, 280800);
  // With the drift cancelled, only the uncertainties remain.
  const ClockErrorNow held = estimateErrorNow(clock.log, d, 0, d.ppb, hourLater);
  EXPECT_LT(std::llabs(held.offsetUs), 1000);
  EXPECT_LT(held.boundUs, free.boundUs / 10);
  EXPECT_GE(held.boundUs, 500);
  // A later run without a server moved nothing: the step before still counts.
  clock.wait(1800);
  clock.run(ACTION_NO_SERVER);
  EXPECT_EQ(estimateErrorNow(clock.log, d, 0, 0, hourLater).offsetUs, free.offsetUs);
  // A slew still under way has removed only what it has removed.
  HistoryEntry& slewed = clock.run(ACTION_SLEWED);
  slewed.offsetUs = 40000;
  const ClockErrorNow slewing = estimateErrorNow(clock.log, d, 15000, d.ppb, slewed.measuredAt);
  EXPECT_EQ(slewing.offsetUs, 15000);
  // A run without an offset is no place to start from.
  HistoryLog none = {};
  HistoryEntry failed = {};
  failed.action = ACTION_NO_SERVER;
  appendHistory(none, failed);
  EXPECT_FALSE(estimateErrorNow(none, d, 0, 0, hourLater).known);
}

TEST(DriftEstimate, EntriesAtTheEndsOfSixtyFourBitsNeitherOverflowNorCount) {
  // Whatever a log holds, the fit, the error now and the plot do no signed
  // arithmetic that overflows (the sanitizers would abort), and runs that no
  // run could have written are passed over.
  const int64_t extremes[] = {INT64_MIN, INT64_MIN + 1, -1, INT64_MAX};
  for (int64_t extreme : extremes) {
    for (int field = 0; field < 3; ++field) {
      SyntheticClock clock(78000);
      for (int i = 0; i < 9; ++i) {
        HistoryEntry& e = clock.run(i % 2 == 0 ? ACTION_SLEWED : ACTION_STEPPED);
        if (i == 4 || i == 8) {
          if (field == 0) e.offsetUs = extreme;
          if (field == 1) e.measuredAt = extreme;
          if (field == 2) e.offsetUs = e.measuredAt = extreme;
          e.rateBeforePpb = INT32_MIN;
          e.slewLeftUs = -SLEW_LEFT_LIMIT_US;
          e.uncertaintyUs = UINT32_MAX;
        }
        clock.wait(600);
      }
      const DriftEstimate d = estimateDrift(clock.log);
      // -1 is a time and an offset like any other (if a strange one).
      if (extreme != -1) expectNear(d, 78000, 2000);
      for (Millis1900 now : {clock.now, INT64_MIN, INT64_MAX}) {
        const ClockErrorNow error = estimateErrorNow(clock.log, d, INT64_MIN, INT64_MAX, now);
        EXPECT_TRUE(error.known);
        EXPECT_GE(error.boundUs, 0);
      }
      HistoryPlot plot;
      const PlotArea area = {0, 0, 399, 199};
      // The newest run's slew, still to go, as far off as 64 bits go.
      for (int64_t left : {INT64_MIN, INT64_MAX}) {
        planHistoryPlot(clock.log, d, left, INT64_MIN, INT64_MAX, area, 12, plot);
        EXPECT_EQ(plot.runCount, 9);
      }
    }
  }
  // Only entries no run writes: nothing to fit, nothing to start from.
  HistoryLog log = {};
  HistoryEntry e = {};
  e.measuredAt = INT64_MIN;
  e.offsetUs = INT64_MAX;
  appendHistory(log, e);
  e.measuredAt = INT64_MAX;
  e.offsetUs = INT64_MIN;
  appendHistory(log, e);
  EXPECT_FALSE(estimateDrift(log).fitted);
  EXPECT_FALSE(estimateErrorNow(log, estimateDrift(log), 0, 0, 0).known);
  // Possible entries at the edges of the era and of the calendar.
  HistoryLog edges = {};
  e.measuredAt = -FILETIME_TO_1900_MS;
  e.offsetUs = -HISTORY_OFFSET_LIMIT_US;
  e.action = ACTION_SLEWED;
  appendHistory(edges, e);
  e.measuredAt = INT64_MAX / 10000 - FILETIME_TO_1900_MS;
  e.offsetUs = HISTORY_OFFSET_LIMIT_US;
  appendHistory(edges, e);
  const DriftEstimate wide = estimateDrift(edges);
  EXPECT_TRUE(wide.fitted);
  EXPECT_FALSE(wide.known);
  EXPECT_TRUE(estimateErrorNow(edges, wide, 0, 0, INT64_MIN).known);
}

TEST(ClockErrorNow, TheBoundIsTheOffsetTheRunsUncertaintyAndTwoDeviationsOfTheDrift) {
  HistoryLog log = {};
  HistoryEntry e = {};
  e.measuredAt = START;
  e.offsetUs = 1000;
  e.uncertaintyUs = 500;
  e.action = ACTION_STEP_REFUSED;
  appendHistory(log, e);
  DriftEstimate d = {};
  d.fitted = true;
  d.uncertaintyPpb = 1000;
  const ClockErrorNow hour = estimateErrorNow(log, d, 0, 0, START + 3600000);
  EXPECT_EQ(hour.offsetUs, 1000);
  EXPECT_EQ(hour.boundUs, 1000 + 500 + 2 * 3600);
  // Asked for a time before the run, the bound is the one at the run.
  const ClockErrorNow before = estimateErrorNow(log, d, 0, 0, START - 3600000);
  EXPECT_EQ(before.offsetUs, 1000);
  EXPECT_EQ(before.boundUs, 1500);
  // No drift fitted: 100 ppm either way.
  d.fitted = false;
  EXPECT_EQ(estimateErrorNow(log, d, 0, 0, START + 3600000).boundUs, 1500 + 360000);
}

}  // namespace
