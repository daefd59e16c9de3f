// A week of a simulated clock disciplined by the program's own code: the
// largest error from the second day on, against the clock stepped only.
// Bounds are generous; the benchmark has the figures.
#include <gtest/gtest.h>

#include "tests/sim/clock_sim.h"

namespace {

ClockSimResult week(double driftPpm, double intervalS, bool ntp, bool discipline, uint64_t increment = 156250) {
  ClockSimConfig config;
  config.driftPpm = driftPpm;
  config.intervalS = intervalS;
  config.ntp = ntp;
  config.discipline = discipline;
  config.increment = increment;
  config.sleepJump = true;
  config.outage = true;
  return runClockSim(config);
}

TEST(DisciplineSimulation, HourlyRunsHoldTheClockWithinMillisecondsOfTheServers) {
  for (uint64_t increment : {156250ull, 10000000ull}) {
    const ClockSimResult ntp = week(78, 3600, true, true, increment);
    EXPECT_LT(ntp.maxErrorMs, 10.0) << increment;
    EXPECT_GT(ntp.slewed, ntp.stepped);
    EXPECT_TRUE(ntp.driftKnown);
    EXPECT_NEAR(static_cast<double>(ntp.driftPpb), 78000.0, 5000.0);
  }
  EXPECT_LT(week(78, 3600, false, true).maxErrorMs, 30.0);
  EXPECT_LT(week(500, 3600, true, true).maxErrorMs, 10.0);
  EXPECT_LT(week(10, 3600, true, true).maxErrorMs, 10.0);
  // The same week stepped only drifts the whole hour between runs.
  EXPECT_GT(week(78, 3600, true, false).maxErrorMs, 200.0);
}

TEST(DisciplineSimulation, ADailyScheduleKeepsTheClockWithinAFractionOfWhatSteppingLeaves) {
  EXPECT_LT(week(78, 86400, true, true).maxErrorMs, 200.0);
  EXPECT_GT(week(78, 86400, true, false).maxErrorMs, 5000.0);
}

TEST(DisciplineSimulation, AStoredDriftCompensatesFromTheFirstMinute) {
  ClockSimConfig config;
  config.days = 1;
  config.judgeFromDays = 0;
  config.storedDriftPpb = 78000;
  EXPECT_LT(runClockSim(config).maxErrorMs, 10.0);
  config.storedDriftPpb = 0;
  EXPECT_GT(runClockSim(config).maxErrorMs, 200.0);
}

}  // namespace
