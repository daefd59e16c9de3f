// The largest step taken without asking.
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

}  // namespace
