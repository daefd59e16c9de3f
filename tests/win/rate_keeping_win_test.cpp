// The clock's rate against a fake of the system's adjustment calls: the
// units of both pairs, the carried fraction, a setting that does not take,
// the privilege, another keeper, and giving the rate back.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discipline/clock_history.h"
#include "discipline/rate_keeping_win.h"
#include "settings/settings.h"
#include "wine_only.h"

namespace {

struct FakeSystem {
  uint64_t increment = 156250;
  uint64_t adjustment = 156250;
  bool disabled = true;
  bool ignoresSettings = false;  // returns success and keeps its own rate
  bool privilegeEnabled = false;
  bool timeService = false;
  uint64_t now = 1000000;
  std::vector<uint64_t> settings;  // every adjustment set while enabled
  int giveBacks = 0;
  int setsWithoutPrivilege = 0;
};

FakeSystem fake;

void noteSet(uint64_t adjustment, BOOL disabled) {
  if (!fake.privilegeEnabled) ++fake.setsWithoutPrivilege;
  if (disabled) ++fake.giveBacks;
  else fake.settings.push_back(adjustment);
  if (fake.ignoresSettings) return;
  fake.disabled = disabled != FALSE;
  fake.adjustment = disabled ? fake.increment : adjustment;
}

BOOL WINAPI getClassic(PDWORD adjustment, PDWORD increment, PBOOL disabled) {
  *adjustment = static_cast<DWORD>(fake.adjustment);
  *increment = static_cast<DWORD>(fake.increment);
  *disabled = fake.disabled;
  return TRUE;
}
BOOL WINAPI setClassic(DWORD adjustment, BOOL disabled) {
  noteSet(adjustment, disabled);
  return TRUE;
}
BOOL WINAPI getPrecise(PDWORD64 adjustment, PDWORD64 increment, PBOOL disabled) {
  *adjustment = fake.adjustment;
  *increment = fake.increment;
  *disabled = fake.disabled;
  return TRUE;
}
BOOL WINAPI setPrecise(DWORD64 adjustment, BOOL disabled) {
  noteSet(adjustment, disabled);
  return TRUE;
}
bool enablePrivilege() {
  fake.privilegeEnabled = true;
  return true;
}
bool timeService() { return fake.timeService; }
uint64_t counter() { return fake.now; }

DriftEstimate knownDrift(int64_t ppb) {
  DriftEstimate drift = {};
  drift.known = true;
  drift.ppb = ppb;
  return drift;
}

class RateKeepingWin : public ::testing::Test {
 protected:
  void use(bool precise) {
    ClockRateCalls calls = {getClassic, setClassic, nullptr, nullptr, enablePrivilege, timeService, counter};
    if (precise) {
      calls.getPreciseAdjustment = getPrecise;
      calls.setPreciseAdjustment = setPrecise;
      fake.increment = fake.adjustment = 10000000;
    }
    useClockRateCalls(&calls);
  }
  // A schedule is chosen and the estimate knows the drift.
  void keepWithDrift(int64_t driftPpb) {
    rateFollowsSchedule(true);
    HistoryEntry nothing = {};
    nothing.action = ACTION_STEP_REFUSED;
    rateAfterRun(nothing, knownDrift(driftPpb));
  }
  // A run at 78 ppm whose 300 ms are being slewed.
  void slewAt78Ppm() {
    HistoryEntry slew = {};
    slew.action = ACTION_SLEWED;
    slew.offsetUs = 300000;
    rateAfterRun(slew, knownDrift(78000));
  }
  // The rate keeping writes what it leaves in force to the settings.
  void SetUp() override {
    SKIP_UNLESS_UNDER_WINE();
    fake = FakeSystem();
  }
  void TearDown() override {
    if (IsSkipped()) return;
    useClockRateCalls(nullptr);
    rateFollowsSchedule(false);
  }
};

TEST_F(RateKeepingWin, TheOlderPairCarriesTheFractionOfItsCoarseUnit) {
  use(false);
  keepWithDrift(-300000);  // loses 300 ppm: 156,296.875 on average
  ASSERT_EQ(rateKeeping, RATE_KEPT);
  EXPECT_EQ(fake.setsWithoutPrivilege, 0);
  fake.settings.clear();
  for (int i = 0; i < 80; ++i) {
    fake.now += 10000;
    keepClockRate(10000);
  }
  ASSERT_EQ(fake.settings.size(), 80u);
  uint64_t sum = 0;
  for (uint64_t s : fake.settings) {
    EXPECT_TRUE(s == 156296 || s == 156297) << s;
    sum += s;
  }
  EXPECT_NEAR(static_cast<double>(sum) / 80.0, 156296.875, 0.02);
  EXPECT_EQ(rateInForcePpb(), -300000);
}

TEST_F(RateKeepingWin, ThePrecisePairIsUsedWhereKernel32HasIt) {
  use(true);
  keepWithDrift(78000);
  ASSERT_EQ(rateKeeping, RATE_KEPT);
  ASSERT_FALSE(fake.settings.empty());
  EXPECT_EQ(fake.settings.back(), 9999220u);  // 0.1 ppm units
  EXPECT_TRUE(slewInsteadOfStep(400000, true));
  EXPECT_FALSE(slewInsteadOfStep(400000, false));
}

TEST_F(RateKeepingWin, ASettingThatDoesNotTakeLeavesTheClockToSteps) {
  use(false);
  fake.ignoresSettings = true;  // as Wine does: success, and always 156,250 and disabled
  keepWithDrift(78000);
  EXPECT_EQ(rateKeeping, RATE_NOT_TAKEN);
  EXPECT_FALSE(slewInsteadOfStep(1000, true));
  EXPECT_EQ(rateInForcePpb(), 0);
  HistoryEntry entry = {};
  fake.now += 60000;
  keepClockRate(10000);
  completeEntryForRate(entry);
  EXPECT_EQ(entry.rateBeforePpb, 0);
  char text[200];
  describeRateKeeping(text, sizeof text);
  EXPECT_STRNE(text, "");
}

TEST_F(RateKeepingWin, WindowsTimeKeepsTheRateAndWeSetNothing) {
  use(false);
  fake.timeService = true;
  keepWithDrift(78000);
  EXPECT_EQ(rateKeeping, RATE_OTHER_KEEPER);
  EXPECT_TRUE(fake.settings.empty());
  EXPECT_FALSE(slewInsteadOfStep(1000, true));
  // Once it stops, the next run takes the rate.
  fake.timeService = false;
  holdRateForRun();
  EXPECT_EQ(rateKeeping, RATE_KEPT);
}

TEST_F(RateKeepingWin, NoScheduleGivesTheRateBackAndExitLeavesTheCompensation) {
  use(false);
  keepWithDrift(78000);
  slewAt78Ppm();
  EXPECT_LT(156238u, fake.adjustment);  // slewing: faster than the compensation
  leaveRateAtExit();
  EXPECT_EQ(fake.adjustment, 156238u);  // 78 ppm slower, no slew
  EXPECT_FALSE(fake.disabled);
  rateFollowsSchedule(false);
  EXPECT_EQ(fake.giveBacks, 1);
  EXPECT_TRUE(fake.disabled);
  EXPECT_EQ(rateKeeping, RATE_FREE);
}

// ---- one keeper, and never over another's value ----------------------------------

void storeStart(int32_t schedule, int64_t driftPpb) {
  writeSetting("Schedule", &schedule, sizeof schedule);
  writeSetting("DriftPpb", &driftPpb, sizeof driftPpb);
  const uint8_t none[RATE_LEFT_IMAGE_SIZE] = {};
  writeSetting("RateLeft", none, sizeof none);
}

// Someone else's call: what the system then reports.
void anotherWrites(uint64_t adjustment, bool disabled) {
  fake.adjustment = adjustment;
  fake.disabled = disabled;
}

TEST_F(RateKeepingWin, ARateLeftByAKeeperThatDiedIsHealedAtStart) {
  use(false);
  anotherWrites(156250 - 78 - 500 * 156250 / 1000000, false);  // a slew left running
  storeStart(4, 78000);
  EXPECT_TRUE(healRateAtStart());
  EXPECT_EQ(fake.adjustment, 156238u);  // the compensation alone
  EXPECT_FALSE(fake.disabled);
  EXPECT_FALSE(startJoinsEarlierRuns());
  // No schedule: the rate goes back to the system.
  anotherWrites(156100, false);
  storeStart(0, 78000);
  EXPECT_TRUE(healRateAtStart());
  EXPECT_TRUE(fake.disabled);
  // Windows Time running, or another instance keeping it: nothing is touched.
  anotherWrites(156100, false);
  storeStart(4, 78000);
  fake.timeService = true;
  EXPECT_FALSE(healRateAtStart());
  fake.timeService = false;
  setRateKeeper(false);
  EXPECT_FALSE(healRateAtStart());
  EXPECT_EQ(fake.adjustment, 156100u);
  EXPECT_FALSE(fake.disabled);
}

TEST_F(RateKeepingWin, TheRateFoundAsWeLeftItInThisBootJoinsTheRunsAndIsNoHeal) {
  use(false);
  storeStart(4, 78000);
  startRateKeeping();
  keepWithDrift(78000);
  leaveRateAtExit();
  ASSERT_EQ(fake.adjustment, 156238u);
  const size_t settingsBefore = fake.settings.size();
  useClockRateCalls(nullptr);
  use(false);
  EXPECT_FALSE(healRateAtStart());
  EXPECT_TRUE(startJoinsEarlierRuns());
  EXPECT_EQ(fake.settings.size(), settingsBefore);
  // A kill after the rate was taken again leaves no record to trust.
  startRateKeeping();
  rateFollowsSchedule(true);
  anotherWrites(156200, false);
  useClockRateCalls(nullptr);
  use(false);
  EXPECT_TRUE(healRateAtStart());
  EXPECT_EQ(fake.adjustment, 156238u);
}

// As the program starts: the heal, the rate keeping, then the schedule.
void startAsTheProgramDoes() {
  healRateAtStart();
  startRateKeeping();
  rateFollowsSchedule(true);
}

TEST_F(RateKeepingWin, WhatAStartHealedOrFoundAsWeLeftItIsOursToKeepAndToGiveBack) {
  use(false);
  anotherWrites(156250 - 78 - 500 * 156250 / 1000000, false);  // a slew left by a keeper that died
  storeStart(4, 78000);
  startAsTheProgramDoes();
  EXPECT_EQ(rateKeeping, RATE_KEPT);
  fake.settings.clear();
  fake.now += 10000;
  keepClockRate(10000);
  EXPECT_EQ(rateKeeping, RATE_KEPT);
  EXPECT_EQ(fake.settings.size(), 1u);
  // What the system had before any keeper of ours is its own "disabled".
  rateFollowsSchedule(false);
  EXPECT_TRUE(fake.disabled);

  // Left at exit and found so in the same boot.
  startAsTheProgramDoes();
  leaveRateAtExit();
  ASSERT_FALSE(fake.disabled);
  useClockRateCalls(nullptr);
  use(false);
  startAsTheProgramDoes();
  ASSERT_TRUE(startJoinsEarlierRuns());
  EXPECT_EQ(rateKeeping, RATE_KEPT);
  rateFollowsSchedule(false);
  EXPECT_TRUE(fake.disabled);
}

TEST_F(RateKeepingWin, AnotherWriterSeenBeforeOurNextWriteIsLeftAlone) {
  use(false);
  keepWithDrift(78000);
  ASSERT_EQ(rateKeeping, RATE_KEPT);
  anotherWrites(156100, false);
  fake.settings.clear();
  fake.now += 10000;
  keepClockRate(10000);
  EXPECT_TRUE(fake.settings.empty());
  EXPECT_EQ(rateKeeping, RATE_OTHER_PROGRAM);
  char text[200];
  describeRateKeeping(text, sizeof text);
  EXPECT_NE(std::string(text).find("Another program"), std::string::npos) << text;
  // Its value stands: a run does not take the rate back, and backing off writes nothing.
  holdRateForRun();
  rateFollowsSchedule(false);
  leaveRateAtExit();
  EXPECT_TRUE(fake.settings.empty());
  EXPECT_EQ(fake.giveBacks, 0);
  EXPECT_EQ(fake.adjustment, 156100u);
}

TEST_F(RateKeepingWin, WindowsTimeStartedBetweenRunsIsSeenAtTheNextTick) {
  use(false);
  keepWithDrift(78000);
  fake.settings.clear();
  fake.timeService = true;
  fake.now += 10000;
  keepClockRate(10000);
  EXPECT_EQ(rateKeeping, RATE_OTHER_KEEPER);
  EXPECT_TRUE(fake.settings.empty());
  // Our value went back as found, before the service sets its own.
  EXPECT_TRUE(fake.disabled);
  anotherWrites(156300, false);
  fake.now += 10000;
  keepClockRate(10000);
  rateFollowsSchedule(false);
  EXPECT_EQ(fake.giveBacks, 1);
  EXPECT_EQ(fake.adjustment, 156300u);
}

TEST_F(RateKeepingWin, BackingOffRestoresTheValueFound) {
  use(false);
  anotherWrites(156111, false);  // what the PC had before us
  keepWithDrift(78000);
  ASSERT_EQ(fake.adjustment, 156238u);
  rateFollowsSchedule(false);
  EXPECT_EQ(fake.adjustment, 156111u);
  EXPECT_FALSE(fake.disabled);
  EXPECT_EQ(fake.giveBacks, 0);
}

TEST_F(RateKeepingWin, TheCrashFilterLeavesTheCompensationAlone) {
  use(false);
  keepWithDrift(78000);
  slewAt78Ppm();
  ASSERT_NE(fake.adjustment, 156238u);
  rateAtCrash();
  EXPECT_EQ(fake.adjustment, 156238u);
  EXPECT_FALSE(fake.disabled);
}

TEST_F(RateKeepingWin, AnInstanceThatDoesNotHoldTheKeeperNeverSetsTheRate) {
  use(false);
  setRateKeeper(false);
  startRateKeeping();
  keepWithDrift(78000);
  holdRateForRun();
  fake.now += 10000;
  keepClockRate(10000);
  rateFollowsSchedule(false);
  leaveRateAtExit();
  rateAtCrash();
  EXPECT_TRUE(fake.settings.empty());
  EXPECT_EQ(fake.giveBacks, 0);
  EXPECT_EQ(rateKeeping, RATE_OTHER_INSTANCE);
  EXPECT_FALSE(slewInsteadOfStep(1000, true));
}

TEST_F(RateKeepingWin, AStepInAnotherSessionIsABreakInTheKeepersHistory) {
  const uint8_t none[1] = {0};
  writeSetting("History", none, 0);
  loadClockHistory();
  HistoryEntry run = {};
  run.action = ACTION_STEPPED;
  recordRun(run);  // the start's break is behind us
  watchClock();
  // The other session's instance steps: it writes no history, only its notice.
  setHistoryWriter(false);
  noteOwnClockStep();
  recordRun(run);
  setHistoryWriter(true);
  ASSERT_EQ(clockHistory.count, 1);
  watchClock();
  recordRun(run);
  ASSERT_EQ(clockHistory.count, 2);
  EXPECT_TRUE(clockHistory.entries[1].flags & HISTORY_BREAK);
  // Nothing new elsewhere: no break.
  watchClock();
  recordRun(run);
  EXPECT_FALSE(clockHistory.entries[2].flags & HISTORY_BREAK);
}

}  // namespace
