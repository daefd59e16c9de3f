// The shell's side of the runs (implements run_watch.h, and the RunObserver of
// correction/run_report.h): runs started from the window, the tray and the
// schedule, and in onRunEnded the one place where what a run did reaches the
// status line, the button, the list, Clock History, the retries and the exit.
#include <windows.h>

#include <cstdio>

#include "correction/correction.h"
#include "correction/run_report.h"
#include "correction/runs.h"
#include "query/query_run.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "shell/app.h"
#include "shell/history_window_win.h"
#include "shell/main_window_win.h"
#include "shell/run_watch.h"
#include "shell/schedule.h"
#include "shell/server_list.h"
#include "shell/status.h"
#include "timebase/clock.h"
#include "timebase/offset_text.h"

namespace {

// A start-up run's correction is shown this long before the program ends.
const UINT EXIT_DELAY_MS = 10000;

// What the retries make of a correcting run's end.
RunOutcome outcomeOf(const RunReport& report) {
  if (!report.consensus.found) return RUN_FAILED;
  return report.correctedAt != 0 ? RUN_CORRECTED : RUN_STEP_REFUSED;
}

void onRunUnderWay(bool test) {
  showStatus(test ? SHOW_TESTING : SHOW_CHECKING);
  setSynchronizeCaption(test ? "Stop Testing..." : "Stop Correcting...");
}

void onRunEnded(const RunReport& report) {
  if (!report.test) {
    // The schedule counts from the clock's new reading. A clock that could
    // not be set keeps the run's start as the base, so the schedule retries
    // one interval later rather than on every clock tick.
    if (report.correctedAt != 0) scheduleBase = report.correctedAt;
    noteCorrectingRunEnd(outcomeOf(report));
    if (report.correctionTried && exitAfterCorrection) SetTimer(mainWindow, TIMER_EXIT, EXIT_DELAY_MS, nullptr);
    // The run ends inside a network handler, where no box may open: the
    // question is asked once the handler has returned.
    if (report.stepQuestion) PostMessageA(mainWindow, WM_CONFIRM_STEP, 0, 0);
    refreshClockHistory();
  }
  // The user's answer may come while a new run is under way: that run's
  // announcement stays.
  if (pendingCount == 0) {
    showStatus(SHOW_LAST_CORRECTION);
    setSynchronizeCaption("Synchronize Time");
  }
  refreshDirtyRows();
}

class ShellRunObserver final : public RunObserver {
 public:
  bool endsSoonAfterRun() override { return exitAfterCorrection; }
  void runUnderWay(bool test) override { onRunUnderWay(test); }
  void runEnded(const RunReport& report) override { onRunEnded(report); }
};

ShellRunObserver shellRunObserver;

}  // namespace

void startCorrectingRun() {
  if (pendingCount != 0) return;
  scheduleBase = readClock();
  beginCorrectingRun();
  // The disabled servers' rows show their new status at once.
  refreshDirtyRows();
}

void startTestRun() {
  int slots[SERVER_SLOTS];
  beginTestRun(slots, selectedServerSlots(slots, SERVER_SLOTS));
}

void onConfirmStep() {
  StepQuestion question;
  if (!takeStepQuestion(question)) return;
  char offsetText[32];
  formatOffset(question.step, offsetText);
  char text[200];
  std::snprintf(text, sizeof text,
                "The time servers disagree with this computer's clock by %s.\n\n"
                "Set the clock by that much?",
                offsetText);
  if (MessageBoxA(mainWindow, text, WINDOW_TITLE, MB_YESNO | MB_ICONWARNING) != IDYES) return;
  answerStepQuestion(question);
}

void watchRuns() { reportRunsTo(&shellRunObserver); }
