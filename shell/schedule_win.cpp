// The schedule slider, the log-on entry that follows it, scheduled runs, the
// launch rule, retries after a failed run and the correction after a resume.
#include <windows.h>
#include <commctrl.h>

#include "discipline/clock_history.h"
#include "discipline/rate_keeping_win.h"
#include "query/query.h"
#include "query/query_run.h"
#include "resources/resource.h"
#include "settings/settings.h"
#include "shell/app.h"
#include "shell/install_win.h"
#include "shell/main_window_win.h"
#include "shell/run_watch.h"
#include "shell/schedule.h"
#include "timebase/clock.h"

int32_t schedulePosition;
uint64_t scheduleInterval;
Millis1900 scheduleBase;
bool exitAfterCorrection;

namespace {

// A run that is active when a retry or the resume run falls due is waited for
// this often: each of its ends re-plans anyway, but a test run does not.
const UINT ACTIVE_RUN_WAIT_MS = 1000;
// After a resume the network needs a few seconds to come back.
const UINT RESUME_DELAY_MS = 5000;

RetryPlan retryPlan;
bool launchCorrectionFired;
bool resumeSeen;
bool suspendedSinceResume;
uint64_t lastResumeAt;

void armRetryTimer(uint64_t now) {
  KillTimer(mainWindow, TIMER_RETRY);
  if (!retryPlan.pending) return;
  const uint64_t wait = retryPlan.dueAt > now ? retryPlan.dueAt - now : 0;
  SetTimer(mainWindow, TIMER_RETRY, static_cast<UINT>(wait), nullptr);
}

// A slider move re-plans a retry that waits, for the schedule now chosen.
void replanRetryForSchedule() {
  replanRetry(retryPlan, retryWanted(schedulePosition, launchMode == 's', launchCorrectionFired),
              scheduleInterval);
  armRetryTimer(readCounterMs());
}

}  // namespace

void applySchedule() {
  const ScheduleChoice choice = scheduleChoice(schedulePosition);
  scheduleInterval = choice.interval;
  // On the raw position: a stored value outside 0..9 still registers autostart.
  updateRegistration(schedulePosition != 0);
  offerInstall(schedulePosition != 0);
  SetDlgItemTextA(mainWindow, IDC_SCHEDULE_TEXT, choice.label);
  rateFollowsSchedule(scheduleChosenAt(schedulePosition));
}

void onScheduleSlider() {
  schedulePosition = static_cast<int32_t>(
      SendDlgItemMessageA(mainWindow, IDC_SCHEDULE_SLIDER, TBM_GETPOS, 0, 0));
  writeSetting("Schedule", &schedulePosition, sizeof schedulePosition);
  applySchedule();
  replanRetryForSchedule();
}

// Automatic runs are the keeper's alone: an instance in another session
// corrects only when its user asks.
void checkScheduleDue() {
  if (scheduleInterval == 0 || !rateKeeper()) return;
  if (pendingCount == 0 && scheduleIsDue(readClock(), scheduleBase, scheduleInterval))
    startCorrectingRun();
}

void applyLaunchRule() {
  const bool fires = correctOnLaunch != 0 || (launchMode != 0 && schedulePosition == 1);
  if (!fires) return;
  exitAfterCorrection = schedulePosition <= 1;
  if (!rateKeeper()) {
    // The keeper of another session has corrected the clock: nothing to do.
    if (exitAfterCorrection) SetTimer(mainWindow, TIMER_EXIT, 0, nullptr);
    return;
  }
  launchCorrectionFired = true;
  startCorrectingRun();
}

void noteCorrectingRunEnd(RunOutcome outcome) {
  const bool wanted = retryWanted(schedulePosition, launchMode == 's', launchCorrectionFired);
  // The launch correction is wanted until it has been made once.
  if (outcome != RUN_FAILED) launchCorrectionFired = false;
  const uint64_t now = readCounterMs();
  noteRunEnd(retryPlan, outcome, wanted, scheduleInterval, now);
  armRetryTimer(now);
}

void onRetryTimer() {
  const uint64_t now = readCounterMs();
  if (!retryIsDue(retryPlan, now)) {
    armRetryTimer(now);
    return;
  }
  if (pendingCount != 0) {
    SetTimer(mainWindow, TIMER_RETRY, ACTIVE_RUN_WAIT_MS, nullptr);
    return;
  }
  KillTimer(mainWindow, TIMER_RETRY);
  if (rateKeeper()) startCorrectingRun();
}

void onPowerBroadcast(uintptr_t event) {
  if (event == PBT_APMSUSPEND) {
    suspendedSinceResume = true;
    return;
  }
  if (event != PBT_APMRESUMEAUTOMATIC && event != PBT_APMRESUMESUSPEND) return;
  // The clock came back from the hardware clock; the crystal's rate did not change.
  noteClockBreak();
  rateAfterResume();
  // Keys from before the sleep may have expired at the server meanwhile.
  forgetNtsSessions();
  const uint64_t now = readCounterMs();
  if (!resumeStartsRun(scheduleInterval, suspendedSinceResume, resumeSeen, lastResumeAt, now))
    return;
  resumeSeen = true;
  suspendedSinceResume = false;
  lastResumeAt = now;
  SetTimer(mainWindow, TIMER_RESUME, RESUME_DELAY_MS, nullptr);
}

void onResumeTimer() {
  // A correcting run already under way serves as the resume's correction.
  if (pendingCount != 0 && runIsTest != 0) {
    SetTimer(mainWindow, TIMER_RESUME, ACTIVE_RUN_WAIT_MS, nullptr);
    return;
  }
  KillTimer(mainWindow, TIMER_RESUME);
  if (rateKeeper()) startCorrectingRun();
}

void stopScheduleTimers() {
  KillTimer(mainWindow, TIMER_RETRY);
  KillTimer(mainWindow, TIMER_RESUME);
}
