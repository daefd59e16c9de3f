// The retry plan after failed runs and the resume rule.
#include <gtest/gtest.h>

#include "shell/retry_plan.h"

namespace {

const uint64_t HOURLY = 3600000;
const uint64_t FIVE_MINUTES = 300000;

TEST(RetryPlan, DelaysDoubleUpToTheIntervalAndTheHour) {
  const uint64_t hourly[] = {15000, 30000, 60000, 120000, 240000, 480000, 960000, 1920000,
                             3600000, 3600000};
  for (int32_t n = 1; n <= 10; ++n) EXPECT_EQ(retryDelay(n, HOURLY), hourly[n - 1]) << n;
  EXPECT_EQ(retryDelay(5, FIVE_MINUTES), 240000u);
  EXPECT_EQ(retryDelay(6, FIVE_MINUTES), FIVE_MINUTES);
  // "On Startup" has no interval: only the hour caps it, even after days of failures.
  EXPECT_EQ(retryDelay(9, 0), 3600000u);
  EXPECT_EQ(retryDelay(100000, 0), 3600000u);
  EXPECT_EQ(retryDelay(1, 0), 15000u);
}

TEST(RetryPlan, WantedWhileACorrectionIsExpected) {
  EXPECT_FALSE(retryWanted(0, false, false));
  EXPECT_FALSE(retryWanted(0, true, false));
  EXPECT_FALSE(retryWanted(1, false, false));  // "On Startup" outside start-up mode
  EXPECT_TRUE(retryWanted(1, true, false));
  EXPECT_TRUE(retryWanted(2, false, false));
  EXPECT_TRUE(retryWanted(9, false, false));
  EXPECT_FALSE(retryWanted(10, true, false));
  EXPECT_TRUE(retryWanted(0, false, true));
}

TEST(RetryPlan, FailuresBuildASequenceThatSuccessEnds) {
  RetryPlan plan = {};
  noteRunEnd(plan, RUN_FAILED, true, HOURLY, 1000);
  EXPECT_TRUE(plan.pending);
  EXPECT_FALSE(retryIsDue(plan, 15999));
  EXPECT_TRUE(retryIsDue(plan, 16000));
  noteRunEnd(plan, RUN_FAILED, true, HOURLY, 50000);
  EXPECT_EQ(plan.dueAt, 80000u);
  // A test run in between neither ends the sequence nor starts it anew.
  noteRunEnd(plan, RUN_TEST, true, HOURLY, 60000);
  EXPECT_EQ(plan.dueAt, 80000u);
  noteRunEnd(plan, RUN_FAILED, true, HOURLY, 90000);
  EXPECT_EQ(plan.dueAt, 150000u);
  noteRunEnd(plan, RUN_CORRECTED, true, HOURLY, 160000);
  EXPECT_FALSE(plan.pending);
  EXPECT_FALSE(retryIsDue(plan, UINT64_MAX));
  noteRunEnd(plan, RUN_FAILED, true, HOURLY, 200000);
  EXPECT_EQ(plan.dueAt, 215000u);  // a new sequence starts at 15 s again
}

TEST(RetryPlan, NoRetryAfterARefusedStepOrWhenNotWanted) {
  RetryPlan plan = {};
  noteRunEnd(plan, RUN_FAILED, true, HOURLY, 0);
  noteRunEnd(plan, RUN_STEP_REFUSED, true, HOURLY, 20000);
  EXPECT_FALSE(plan.pending);
  noteRunEnd(plan, RUN_FAILED, true, HOURLY, 30000);
  EXPECT_EQ(plan.dueAt, 45000u);  // the refusal ended the old sequence
  noteRunEnd(plan, RUN_FAILED, false, 0, 40000);  // a manual run at position 0
  EXPECT_FALSE(plan.pending);
  EXPECT_EQ(plan.failures, 0);
  // A test run does not start a sequence either.
  noteRunEnd(plan, RUN_TEST, true, HOURLY, 50000);
  EXPECT_FALSE(plan.pending);
}

TEST(RetryPlan, AScheduleChangeEndsOrBringsForwardAWaitingRetry) {
  const uint64_t FIVE_MINUTES = 300000, DAILY = 86400000;
  RetryPlan plan = {};
  for (int i = 0; i < 6; ++i) noteRunEnd(plan, RUN_FAILED, true, DAILY, 1000);
  EXPECT_EQ(plan.dueAt, 1000u + 480000);
  replanRetry(plan, true, DAILY);
  EXPECT_EQ(plan.dueAt, 481000u);
  replanRetry(plan, true, FIVE_MINUTES);
  EXPECT_EQ(plan.dueAt, 301000u);
  replanRetry(plan, true, DAILY);  // a longer interval again puts it no later
  EXPECT_EQ(plan.dueAt, 301000u);
  replanRetry(plan, false, 0);
  EXPECT_FALSE(retryIsDue(plan, UINT64_MAX));
  noteRunEnd(plan, RUN_FAILED, true, DAILY, 400000);
  EXPECT_EQ(plan.dueAt, 415000u);  // a new sequence
  RetryPlan idle = {};
  replanRetry(idle, true, FIVE_MINUTES);
  EXPECT_FALSE(idle.pending);
}

TEST(ResumeRule, OneRunPerResumeAndOnlyWithAnInterval) {
  EXPECT_FALSE(resumeStartsRun(0, true, false, 0, 1000));
  EXPECT_TRUE(resumeStartsRun(HOURLY, false, false, 0, 1000));
  // The second notice of the same resume.
  EXPECT_FALSE(resumeStartsRun(HOURLY, false, true, 1000, 1500));
  EXPECT_FALSE(resumeStartsRun(HOURLY, false, true, 1000, 1000 + RESUME_REPEAT_MS - 1));
  EXPECT_TRUE(resumeStartsRun(HOURLY, false, true, 1000, 1000 + RESUME_REPEAT_MS));
  EXPECT_TRUE(resumeStartsRun(HOURLY, true, true, 1000, 1500));
}

}  // namespace
