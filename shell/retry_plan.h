// When to try a failed correction again, and whether a resume asks for a run.
// Times are milliseconds of the monotonic counter: the wall clock is what the
// program corrects and may jump under it.
#pragma once
#include <cstdint>

const uint64_t RETRY_FIRST_MS = 15000;
const uint64_t RETRY_LONGEST_MS = 3600000;

enum RunOutcome {
  RUN_CORRECTED,     // the clock was set (or the user was asked about a large step)
  RUN_FAILED,        // no server answered usefully
  RUN_STEP_REFUSED,  // the platform or the step limit refused the step
  RUN_TEST           // a test run: the sequence stays as it was
};

struct RetryPlan {
  int32_t failures;  // failed runs in a row
  bool pending;      // a retry waits for dueAt
  uint64_t dueAt;
  uint64_t failedAt;  // when the last failed run ended
};

// The wait before retry number `failures` (1 for the first): 15 s doubling,
// never longer than a non-zero interval nor one hour.
uint64_t retryDelay(int32_t failures, uint64_t interval);

// Whether a failed run is worth retrying now: an interval is scheduled, or
// "On Startup" in start-up mode, or the correction at launch fired.
bool retryWanted(int32_t schedulePosition, bool startupMode, bool launchCorrectionFired);

// Updates the plan after a run ended at `now`.
void noteRunEnd(RetryPlan& plan, RunOutcome outcome, bool wanted, uint64_t interval,
                uint64_t now);

bool retryIsDue(const RetryPlan& plan, uint64_t now);

// The schedule changed while a retry waits: no longer wanted, the sequence
// ends; a shorter interval brings the retry forward to where it puts it.
void replanRetry(RetryPlan& plan, bool wanted, uint64_t interval);

// A resume starts a run only with an interval, and only once per resume:
// Windows sends a second notice for the same resume when a user is present.
const uint64_t RESUME_REPEAT_MS = 60000;
bool resumeStartsRun(uint64_t interval, bool suspendedSinceLastResume, bool resumeSeenBefore,
                     uint64_t lastResumeAt, uint64_t now);
