// The schedule slider, the log-on entry that follows it, scheduled runs and
// the launch rule.
#include <windows.h>
#include <commctrl.h>

#include "query/query_run.h"
#include "resources/resource.h"
#include "settings/settings.h"
#include "shell/app.h"
#include "shell/main_window_win.h"
#include "shell/schedule.h"
#include "timebase/clock.h"

int32_t schedulePosition;
uint64_t scheduleInterval;
Millis1900 scheduleBase;
bool exitAfterCorrection;

void applySchedule() {
  const ScheduleChoice choice = scheduleChoice(schedulePosition);
  scheduleInterval = choice.interval;
  // On the raw position: a stored value outside 0..9 still registers autostart.
  updateRegistration(schedulePosition != 0);
  SetDlgItemTextA(mainWindow, IDC_SCHEDULE_TEXT, choice.label);
}

void onScheduleSlider() {
  schedulePosition = static_cast<int32_t>(
      SendDlgItemMessageA(mainWindow, IDC_SCHEDULE_SLIDER, TBM_GETPOS, 0, 0));
  writeSetting("Schedule", &schedulePosition, sizeof schedulePosition);
  applySchedule();
}

void checkScheduleDue() {
  if (scheduleInterval == 0) return;
  if (pendingCount == 0 && scheduleIsDue(readClock(), scheduleBase, scheduleInterval))
    startCorrectingRun();
}

void applyLaunchRule() {
  const bool fires = correctOnLaunch != 0 || (launchMode != 0 && schedulePosition == 1);
  if (!fires) return;
  exitAfterCorrection = schedulePosition <= 1;
  startCorrectingRun();
}
