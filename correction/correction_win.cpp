// Applying a correcting run's consensus: outliers marked unused, the clock
// shifted by the servers' agreed correction, the correction recorded and
// announced to all windows; a step beyond the limit refused, or put to the
// user when the user asked for the run.
#include <windows.h>

#include <cstdio>

#include "correction/clock_moves_win.h"
#include "correction/consensus.h"
#include "correction/correction.h"
#include "correction/step_limit.h"
#include "query/query_run.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "settings/settings.h"
#include "shell/app.h"
#include "shell/main_window_win.h"
#include "shell/schedule.h"
#include "shell/status.h"
#include "timebase/clock.h"
#include "timebase/offset_text.h"

uint8_t correctionFailed;
Millis1900 lastCorrectionTime;
int64_t lastCorrectionValue;
uint32_t userRunNumber;
bool stepBeyondLimit;
bool totalBeyondLimit;

// The large step waiting for the user's answer.
static int64_t questionedStep;
static bool stepQuestionPending;

// Each window gets this long to take the time-change notice; hung windows of
// other programs are skipped at once instead of freezing our timers and queries.
static const UINT BROADCAST_WAIT_MS = 3000;
static const UINT EXIT_DELAY_MS = 10000;

static void applyCorrection(int64_t correction, bool confirmed) {
  const Millis1900 setTo = shiftClock(correction);
  countStep(setTo, correction, confirmed);
  lastCorrectionValue = correction;
  lastCorrectionTime = setTo;
  // A clock that could not be set keeps the run's start as the base, so the
  // schedule retries one interval later rather than on every clock tick.
  if (setTo != 0) scheduleBase = setTo;

  uint8_t image[8];
  packInt64(lastCorrectionTime, image);
  writeSetting("LastCorrectionTime", image, sizeof image);
  packInt64(lastCorrectionValue, image);
  writeSetting("LastCorrectionValue", image, sizeof image);

  noteCorrectingRunEnd(setTo != 0 ? RUN_CORRECTED : RUN_STEP_REFUSED);
  if (exitAfterCorrection) SetTimer(mainWindow, TIMER_EXIT, EXIT_DELAY_MS, nullptr);
  SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0, SMTO_ABORTIFHUNG, BROADCAST_WAIT_MS,
                      nullptr);
}

void applyConsensus() {
  stepBeyondLimit = false;
  totalBeyondLimit = false;
  OffsetBounds bounds[SERVER_SLOTS];
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) bounds[slot] = serverQueries[slot].bounds;
  const ConsensusResult result = computeConsensus(serverRecords, bounds);
  for (int i = 0; i < result.excludedCount; ++i) {
    const int slot = result.excluded[i];
    serverRecords[slot].status = STATUS_UNUSED;
    serverQueries[slot].dirty = 1;
    saveServer(slot);
  }
  if (!result.found) {
    correctionFailed = 1;
    noteCorrectingRunEnd(RUN_FAILED);
    return;
  }

  const bool userAsked = runNumber == userRunNumber;
  switch (decideRunStep(result.correction, userAsked)) {
    case STEP_APPLY:
      applyCorrection(result.correction, userAsked);
      break;
    case STEP_ASK:
      // This runs inside a network handler, where no box may open: the main
      // window asks once the handler has returned.
      questionedStep = result.correction;
      stepQuestionPending = true;
      PostMessageA(mainWindow, WM_CONFIRM_STEP, 0, 0);
      noteCorrectingRunEnd(RUN_STEP_REFUSED);
      break;
    case STEP_REFUSE:
      correctionFailed = 1;
      stepBeyondLimit = decideStep(result.correction, false) == STEP_REFUSE;
      totalBeyondLimit = !stepBeyondLimit;
      noteCorrectingRunEnd(RUN_STEP_REFUSED);
      break;
  }
}

void onConfirmStep() {
  if (!stepQuestionPending) return;
  stepQuestionPending = false;
  // The box runs a loop of its own, in which another run may end and ask anew:
  // the answer belongs to this step, and only while no other run measured since.
  const int64_t step = questionedStep;
  const uint32_t askedAfterRun = runNumber;
  char offsetText[32];
  formatOffset(step, offsetText);
  char text[200];
  std::snprintf(text, sizeof text,
                "The time servers disagree with this computer's clock by %s.\n\n"
                "Set the clock by that much?",
                offsetText);
  if (MessageBoxA(mainWindow, text, WINDOW_TITLE, MB_YESNO | MB_ICONWARNING) != IDYES) return;
  if (runNumber != askedAfterRun) return;
  applyCorrection(step, true);
  if (pendingCount == 0) showStatus(SHOW_LAST_CORRECTION);
}
