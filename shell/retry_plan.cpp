// The retry plan and the resume rule (implements retry_plan.h).
#include "shell/retry_plan.h"

uint64_t retryDelay(int32_t failures, uint64_t interval) {
  uint64_t delay = RETRY_FIRST_MS;
  // Doubling stops at the hour, so a long outage cannot overflow the shift.
  for (int32_t i = 1; i < failures && delay < RETRY_LONGEST_MS; ++i) delay *= 2;
  if (delay > RETRY_LONGEST_MS) delay = RETRY_LONGEST_MS;
  if (interval != 0 && delay > interval) delay = interval;
  return delay;
}

bool retryWanted(int32_t schedulePosition, bool startupMode, bool launchCorrectionFired) {
  if (schedulePosition >= 2 && schedulePosition <= 9) return true;
  if (startupMode && schedulePosition == 1) return true;
  return launchCorrectionFired;
}

void noteRunEnd(RetryPlan& plan, RunOutcome outcome, bool wanted, uint64_t interval,
                uint64_t now) {
  switch (outcome) {
    case RUN_TEST:
      return;
    case RUN_FAILED:
      if (wanted) {
        ++plan.failures;
        plan.pending = true;
        plan.dueAt = now + retryDelay(plan.failures, interval);
        plan.failedAt = now;
        return;
      }
      break;
    case RUN_CORRECTED:
    case RUN_STEP_REFUSED:
      break;
  }
  // A refused step would be refused again: the schedule decides when to look next.
  plan = RetryPlan();
}

bool retryIsDue(const RetryPlan& plan, uint64_t now) { return plan.pending && now >= plan.dueAt; }

void replanRetry(RetryPlan& plan, bool wanted, uint64_t interval) {
  if (!plan.pending) return;
  if (!wanted) {
    plan = RetryPlan();
    return;
  }
  const uint64_t dueAt = plan.failedAt + retryDelay(plan.failures, interval);
  if (dueAt < plan.dueAt) plan.dueAt = dueAt;
}

bool resumeStartsRun(uint64_t interval, bool suspendedSinceLastResume, bool resumeSeenBefore,
                     uint64_t lastResumeAt, uint64_t now) {
  if (interval == 0) return false;
  if (!resumeSeenBefore || suspendedSinceLastResume) return true;
  // Without a suspend notice in between, only a resume well after the last one is new.
  return now - lastResumeAt >= RESUME_REPEAT_MS;
}
