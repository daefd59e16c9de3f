// What survives a restart within one boot and what a new boot starts afresh:
// the boot stamp, the step limit's count over the boot, and the rate the
// program left in force.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "correction/step_limit.h"
#include "discipline/rate_keeping.h"
#include "timebase/boot_stamp.h"

namespace {

const int64_t HOUR = 3600000;
const Millis1900 CLOCK = 3900000000000LL;  // 2023 in ms since 1900
const uint64_t UPTIME = 2 * 3600000;       // counter ms at the first look

TEST(BootStamp, TheSameBootSurvivesTheClocksOwnDriftButNotAStepOrACounterThatWentBack) {
  const BootStamp stored = stampBoot(CLOCK, UPTIME);
  // A day later the clock drifted up to twice the allowance: 86.4 s at 1000 ppm, plus 1 s.
  const uint64_t day = 24 * 3600000ULL;
  EXPECT_TRUE(sameBoot(stored, stampBoot(CLOCK + static_cast<int64_t>(day) + 87400, UPTIME + day)));
  EXPECT_TRUE(sameBoot(stored, stampBoot(CLOCK + static_cast<int64_t>(day) - 87400, UPTIME + day)));
  EXPECT_FALSE(sameBoot(stored, stampBoot(CLOCK + static_cast<int64_t>(day) + 87402, UPTIME + day)));
  // An hour later: the slack of one second, and 3.6 s of drift.
  EXPECT_TRUE(sameBoot(stored, stampBoot(CLOCK + HOUR + 4600, UPTIME + HOUR)));
  EXPECT_FALSE(sameBoot(stored, stampBoot(CLOCK + HOUR + 4700, UPTIME + HOUR)));
  // A new boot: the counter started again, or booted later than it could drift.
  EXPECT_FALSE(sameBoot(stored, stampBoot(CLOCK + HOUR, UPTIME - 1)));
  EXPECT_FALSE(sameBoot(stored, stampBoot(CLOCK + 10 * HOUR, UPTIME + HOUR)));
  EXPECT_TRUE(sameBoot(stored, stored));
  // Extreme stamps compare without overflow.
  const BootStamp low = {INT64_MIN, 0}, high = {INT64_MAX, 0};
  EXPECT_FALSE(sameBoot(low, high));
  EXPECT_FALSE(sameBoot(high, low));
}

TEST(BootStamp, ItsImageIsLittleEndian) {
  BootStamp stamp = {0x0102030405060708LL, 0x1112131415161718ULL};
  uint8_t image[BOOT_STAMP_IMAGE_SIZE];
  packBootStamp(stamp, image);
  const uint8_t expected[BOOT_STAMP_IMAGE_SIZE] = {8, 7, 6, 5, 4, 3, 2, 1, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11};
  EXPECT_EQ(std::memcmp(image, expected, sizeof image), 0);
  const BootStamp back = unpackBootStamp(image);
  EXPECT_EQ(back.bootedAt, stamp.bootedAt);
  EXPECT_EQ(back.counterMs, stamp.counterMs);
}

ClockMoves restarted(const ClockMoves& moves, const BootStamp& written, const BootStamp& now) {
  uint8_t image[CLOCK_MOVES_IMAGE_SIZE];
  packClockMoves(moves, written, image);
  return restoreClockMoves(image, sizeof image, now);
}

TEST(BootCount, TheBootsFirstCorrectionIsBoundedByTheStepLimitAloneAndTheRestByTheTotal) {
  ClockMoves moves;
  startBootMoves(moves, UPTIME);
  EXPECT_EQ(decideAutomaticStep(moves, 15 * HOUR, UPTIME), STEP_APPLY);
  EXPECT_EQ(decideAutomaticStep(moves, 15 * HOUR + 1, UPTIME), STEP_REFUSE);
  noteClockMoved(moves, -15 * HOUR);  // the hardware clock was far off
  EXPECT_TRUE(moves.firstTaken);
  EXPECT_EQ(moves.moved, 0u);
  EXPECT_EQ(decideAutomaticStep(moves, 15 * HOUR, UPTIME), STEP_APPLY);
  noteClockMoved(moves, 10 * HOUR);
  EXPECT_EQ(decideAutomaticStep(moves, 5 * HOUR, UPTIME), STEP_APPLY);
  EXPECT_EQ(decideAutomaticStep(moves, 5 * HOUR + 1, UPTIME), STEP_REFUSE);
  // What the rate moved counts, and does not stand for the boot's first correction.
  ClockMoves fresh;
  startBootMoves(fresh, UPTIME);
  noteRateMoved(fresh, 7);
  EXPECT_FALSE(fresh.firstTaken);
  EXPECT_EQ(fresh.moved, 7u);
  EXPECT_EQ(decideAutomaticStep(fresh, 15 * HOUR, UPTIME), STEP_APPLY);
  noteRateMoved(moves, 5 * HOUR);
  EXPECT_EQ(decideAutomaticStep(moves, 1, UPTIME), STEP_REFUSE);
}

TEST(BootCount, ARestartInTheSameBootGoesOnCountingAndANewBootStartsAfresh) {
  ClockMoves moves;
  startBootMoves(moves, UPTIME);
  noteClockMoved(moves, 3 * HOUR);
  noteClockMoved(moves, 14 * HOUR);
  // Written after our own step moved the clock: the boot moment as it shows then.
  const BootStamp written = stampBoot(CLOCK + 17 * HOUR, UPTIME + 60000);
  const ClockMoves sameBootMoves = restarted(moves, written, stampBoot(CLOCK + 17 * HOUR + 60000, UPTIME + 120000));
  EXPECT_TRUE(sameBootMoves.firstTaken);
  EXPECT_EQ(sameBootMoves.moved, static_cast<uint64_t>(14 * HOUR));
  EXPECT_EQ(sameBootMoves.countedFrom, UPTIME);
  EXPECT_EQ(decideAutomaticStep(sameBootMoves, HOUR + 60, UPTIME + 120000), STEP_APPLY);  // 60 ms of drift allowed
  EXPECT_EQ(decideAutomaticStep(sameBootMoves, HOUR + 61, UPTIME + 120000), STEP_REFUSE);

  const ClockMoves newBoot = restarted(moves, written, stampBoot(CLOCK + 30 * HOUR, 50000));
  EXPECT_FALSE(newBoot.firstTaken);
  EXPECT_EQ(newBoot.moved, 0u);
  EXPECT_EQ(newBoot.countedFrom, 50000u);

  // No record, a record of another size, a count from the future.
  const BootStamp now = stampBoot(CLOCK, UPTIME);
  EXPECT_FALSE(restoreClockMoves(nullptr, 0, now).firstTaken);
  uint8_t image[CLOCK_MOVES_IMAGE_SIZE];
  packClockMoves(moves, now, image);
  EXPECT_FALSE(restoreClockMoves(image, CLOCK_MOVES_IMAGE_SIZE - 1, now).firstTaken);
  // Any other byte than "not yet" is read as the stricter "done".
  image[CLOCK_MOVES_IMAGE_SIZE - 1] = 2;
  EXPECT_TRUE(restoreClockMoves(image, CLOCK_MOVES_IMAGE_SIZE, now).firstTaken);
  ClockMoves ahead = moves;
  ahead.countedFrom = UPTIME + 999999;
  EXPECT_EQ(restarted(ahead, now, now).countedFrom, UPTIME);
}

TEST(BootCount, TheUsersConfirmedCorrectionStartsAFreshCount) {
  ClockMoves moves;
  startBootMoves(moves, UPTIME);
  noteClockMoved(moves, HOUR);
  noteClockMoved(moves, 15 * HOUR);
  startClockMoves(moves, UPTIME + 5000);
  EXPECT_TRUE(moves.firstTaken);
  EXPECT_EQ(moves.moved, 0u);
  EXPECT_EQ(decideAutomaticStep(moves, 15 * HOUR, UPTIME + 5000), STEP_APPLY);
}

RateSetting enabled(uint64_t adjustment) { return RateSetting{adjustment, false}; }
const RateSetting DISABLED = {156250, true};

TEST(RateOwners, AValueNeitherOursNorTheOneFoundIsAnotherKeepers) {
  RateOwnership owner = {DISABLED, enabled(156200), true};
  EXPECT_FALSE(setByAnotherKeeper(enabled(156200), owner));
  EXPECT_FALSE(setByAnotherKeeper(RateSetting{1, true}, owner));  // "disabled" whatever its value
  EXPECT_TRUE(setByAnotherKeeper(enabled(156201), owner));
  EXPECT_TRUE(setByAnotherKeeper(enabled(156250), owner));  // enabled at nominal is not "disabled"
  owner.setBefore = false;
  EXPECT_TRUE(setByAnotherKeeper(enabled(156200), owner));
  owner.found = enabled(156100);
  EXPECT_FALSE(setByAnotherKeeper(enabled(156100), owner));
  EXPECT_TRUE(setByAnotherKeeper(DISABLED, owner));
}

TEST(RateOwners, TakingTheRateOwnsWhatTheStartHealedAndRemembersWhatAnotherLeft) {
  // Another program's value, or the system's: it is what backing off restores.
  RateOwnership owner = {};
  takeOwnership(owner, enabled(156111), false, false);
  EXPECT_FALSE(owner.setBefore);
  EXPECT_EQ(owner.found.adjustment, 156111u);
  EXPECT_FALSE(setByAnotherKeeper(enabled(156111), owner));
  // Our own last setting, still in force: nothing changes.
  owner.lastSet = enabled(156200);
  owner.setBefore = true;
  takeOwnership(owner, enabled(156200), false, true);
  EXPECT_TRUE(owner.setBefore);
  EXPECT_EQ(owner.found.adjustment, 156111u);
  // Kept until another value came: what was found at first stays the one to restore.
  takeOwnership(owner, enabled(156180), true, false);
  EXPECT_FALSE(owner.setBefore);
  EXPECT_EQ(owner.found.adjustment, 156111u);
  // Healed at start, or found as we left it: ours to replace, the system's
  // "disabled" to restore.
  owner = RateOwnership();
  takeOwnership(owner, enabled(156238), false, true);
  EXPECT_TRUE(owner.setBefore);
  EXPECT_TRUE(owner.found.disabled);
  EXPECT_FALSE(setByAnotherKeeper(enabled(156238), owner));
  RateSetting write = enabled(0);
  EXPECT_TRUE(settingToRestore(enabled(156238), owner, write));
  EXPECT_TRUE(write.disabled);
  // A start that gave the rate back owns no value.
  owner = RateOwnership();
  takeOwnership(owner, DISABLED, false, true);
  EXPECT_FALSE(owner.setBefore);
  EXPECT_FALSE(setByAnotherKeeper(DISABLED, owner));
}

TEST(RateOwners, BackingOffReplacesOnlyOurOwnValueWithTheOneFound) {
  RateOwnership owner = {DISABLED, enabled(156200), true};
  RateSetting write = enabled(0);
  ASSERT_TRUE(settingToRestore(enabled(156200), owner, write));
  EXPECT_TRUE(write.disabled);
  // Another keeper's value, or the one found already: nothing is written.
  EXPECT_FALSE(settingToRestore(enabled(156180), owner, write));
  EXPECT_FALSE(settingToRestore(DISABLED, owner, write));
  owner.found = enabled(156000);
  ASSERT_TRUE(settingToRestore(enabled(156200), owner, write));
  EXPECT_FALSE(write.disabled);
  EXPECT_EQ(write.adjustment, 156000u);
  // Ours and the one found at once: nothing to put back.
  owner.lastSet = owner.found;
  EXPECT_FALSE(settingToRestore(enabled(156000), owner, write));
  owner.lastSet = enabled(156200);
  owner.setBefore = false;
  EXPECT_FALSE(settingToRestore(enabled(156200), owner, write));
}

TEST(RateOwners, ARateLeftInForceWithNobodyKeepingItWasLeftBehind) {
  EXPECT_TRUE(rateLeftBehind(enabled(156200), false, false));
  EXPECT_FALSE(rateLeftBehind(DISABLED, false, false));
  EXPECT_FALSE(rateLeftBehind(enabled(156200), true, false));
  EXPECT_FALSE(rateLeftBehind(enabled(156200), false, true));
}

TEST(RateOwners, TheRateFoundAsWeLeftItInThisBootWasOursAllAlong) {
  const BootStamp boot = stampBoot(CLOCK, UPTIME);
  const BootStamp later = stampBoot(CLOCK + HOUR, UPTIME + HOUR);
  uint8_t image[RATE_LEFT_IMAGE_SIZE];
  const RateSetting left = enabled(0x0102030405060708ULL);
  packRateLeft(&left, boot, image);
  EXPECT_EQ(image[BOOT_STAMP_IMAGE_SIZE], 8);
  EXPECT_EQ(image[BOOT_STAMP_IMAGE_SIZE + 7], 1);
  EXPECT_TRUE(rateOursAllAlong(image, sizeof image, later, left));
  EXPECT_FALSE(rateOursAllAlong(image, sizeof image, later, enabled(left.adjustment + 1)));
  EXPECT_FALSE(rateOursAllAlong(image, sizeof image, later, DISABLED));
  EXPECT_FALSE(rateOursAllAlong(image, sizeof image, stampBoot(CLOCK + HOUR, 1000), left));  // rebooted
  EXPECT_FALSE(rateOursAllAlong(image, sizeof image - 1, later, left));
  packRateLeft(&DISABLED, boot, image);
  EXPECT_TRUE(rateOursAllAlong(image, sizeof image, later, DISABLED));
  EXPECT_FALSE(rateOursAllAlong(image, sizeof image, later, enabled(156250)));
  // "No longer in force": a start after a kill finds nothing to trust.
  packRateLeft(nullptr, boot, image);
  EXPECT_FALSE(rateOursAllAlong(image, sizeof image, later, DISABLED));
  EXPECT_FALSE(rateOursAllAlong(image, sizeof image, later, enabled(0)));
}


}  // namespace
