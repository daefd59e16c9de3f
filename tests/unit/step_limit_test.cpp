// The largest step taken without asking, alone and added up over automatic runs.
#include <gtest/gtest.h>

#include <climits>

#include "correction/step_limit.h"

namespace {

TEST(StepLimit, FifteenHoursEitherWayIsTheLastStepTaken) {
  for (const int64_t sign : {1, -1}) {
    EXPECT_EQ(decideStep(sign * 54000000, false), STEP_APPLY) << sign;
    EXPECT_EQ(decideStep(sign * 54000001, false), STEP_REFUSE) << sign;
    EXPECT_EQ(decideStep(sign * 54000001, true), STEP_ASK) << sign;
    EXPECT_EQ(decideStep(sign * 63071999491, false), STEP_REFUSE) << sign;  // two years
  }
  EXPECT_EQ(decideStep(0, false), STEP_APPLY);
  EXPECT_EQ(decideStep(54000000, true), STEP_APPLY);
  EXPECT_EQ(decideStep(INT64_MIN, false), STEP_REFUSE);
  EXPECT_EQ(decideStep(INT64_MAX, true), STEP_ASK);
}

const int64_t HOUR = 3600000;
const uint64_t START = 5000;  // counter ms

TEST(ClockMoves, StepsUnderTheLimitAddUpPastIt) {
  ClockMoves moves;
  startClockMoves(moves, START);
  // Runs close together, alternating in sign: each step alone is allowed.
  const uint64_t now = START + 1;
  for (const int64_t step : {8 * HOUR, -4 * HOUR, 3 * HOUR - 1}) {
    ASSERT_EQ(decideAutomaticStep(moves, step, now), STEP_APPLY) << step;
    noteClockMoved(moves, step);
  }
  EXPECT_EQ(decideAutomaticStep(moves, 1, now), STEP_APPLY);  // 15 h to the millisecond
  EXPECT_EQ(decideAutomaticStep(moves, -2, now), STEP_REFUSE);
  // A resume's step counts like any other.
  noteClockMoved(moves, 1);
  EXPECT_EQ(decideAutomaticStep(moves, -1, now + 1000), STEP_REFUSE);
}

TEST(ClockMoves, AConfirmedCorrectionStartsAFreshCount) {
  ClockMoves moves;
  startClockMoves(moves, START);
  noteClockMoved(moves, 15 * HOUR);
  EXPECT_EQ(decideAutomaticStep(moves, 1000, START + 60000), STEP_REFUSE);
  startClockMoves(moves, START + 60000);
  EXPECT_EQ(decideAutomaticStep(moves, 15 * HOUR, START + 60000), STEP_APPLY);
  EXPECT_EQ(decideAutomaticStep(moves, 15 * HOUR + 1, START + 60000), STEP_REFUSE);
}

TEST(ClockMoves, TheClocksOwnDriftComesOnTopOverCounterTime) {
  ClockMoves moves;
  startClockMoves(moves, START);
  noteClockMoved(moves, INT64_MIN);  // the count saturates instead of wrapping to a small one
  noteClockMoved(moves, INT64_MIN);
  EXPECT_EQ(decideAutomaticStep(moves, 1000, START + 1000), STEP_REFUSE);
  startClockMoves(moves, START);
  noteClockMoved(moves, 15 * HOUR);
  // 2000 s of counter time allow one more second, no earlier.
  EXPECT_EQ(decideAutomaticStep(moves, 1000, START + 1999999), STEP_REFUSE);
  EXPECT_EQ(decideAutomaticStep(moves, 1000, START + 2000000), STEP_APPLY);
  EXPECT_EQ(decideAutomaticStep(moves, 1000, START - 1), STEP_REFUSE);  // no time before the count
  // However long ago, no single step beyond the limit.
  startClockMoves(moves, START);
  EXPECT_EQ(decideAutomaticStep(moves, 15 * HOUR + 1, START + 1000 * 86400000ull), STEP_REFUSE);
  EXPECT_EQ(decideAutomaticStep(moves, -15 * HOUR, UINT64_MAX), STEP_APPLY);
}

}  // namespace
