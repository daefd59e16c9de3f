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
#include "discipline/clock_history.h"
#include "discipline/rate_keeping_win.h"
#include "query/query_run.h"
#include "query/server_address.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "settings/settings.h"
#include "shell/app.h"
#include "shell/clock_history_win.h"
#include "shell/main_window_win.h"
#include "shell/schedule.h"
#include "shell/status.h"
#include "timebase/clock.h"
#include "timebase/offset_text.h"

uint8_t correctionFailed;
Millis1900 lastCorrectionTime;
int64_t lastCorrectionValue;
uint32_t userRunNumber;
uint32_t manualRunNumber;
bool stepBeyondLimit;
bool totalBeyondLimit;

// The large step waiting for the user's answer, and the run that found it.
static int64_t questionedStep;
static bool stepQuestionPending;
static Millis1900 questionedRunAt;

// Each window gets this long to take the time-change notice; hung windows of
// other programs are skipped at once instead of freezing our timers and queries.
static const UINT BROADCAST_WAIT_MS = 3000;
static const UINT EXIT_DELAY_MS = 10000;

// The correction as the status line and the schedule know it: when (0: the
// clock could not be set) and by how much.
static void noteCorrection(Millis1900 setTo, int64_t correction) {
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
}

// Steps the clock; returns whether it was set. A step the user confirmed
// starts the count of what automatic runs move the clock anew.
static bool applyCorrection(int64_t correction, bool confirmed) {
  const Millis1900 setTo = shiftClock(correction);
  noteOwnClockStep();
  countStep(setTo, correction, confirmed);
  noteCorrection(setTo, correction);
  SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0, SMTO_ABORTIFHUNG, BROADCAST_WAIT_MS,
                      nullptr);
  return setTo != 0;
}

static uint8_t countByte(int count) { return static_cast<uint8_t>(count < 0 ? 0 : count > 255 ? 255 : count); }

// The run's entry in the history: what the servers said and what was done.
static void recordConsensus(const ConsensusResult& result, Millis1900 measuredAt, HistoryAction action) {
  HistoryEntry entry = {};
  entry.measuredAt = measuredAt;
  if (result.found) {
    entry.offsetUs = result.offsetUs;
    entry.uncertaintyUs = result.uncertaintyUs;
  }
  entry.action = static_cast<uint8_t>(action);
  entry.agreeing = countByte(result.agreeing);
  entry.usable = countByte(result.usable);
  completeEntryForRate(entry);
  countRateMove(rateMoveOfLastRunMs());
  recordRun(entry);
  rateAfterRun(entry, clockDrift);
}

void applyConsensus() {
  stepBeyondLimit = false;
  totalBeyondLimit = false;
  // Before any correction from this run.
  const Millis1900 measuredAt = readClock();
  OffsetBounds bounds[SERVER_SLOTS], boundsUs[SERVER_SLOTS];
  // The servers' NTP bounds as they hold now; whole-second ones are too wide
  // for the drift since their answers to matter.
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    const ServerQuery& query = serverQueries[slot];
    bounds[slot] = query.bounds;
    boundsUs[slot] = query.protocol == PROTOCOL_NTP ? boundsCarriedTo(query.boundsUs, query.boundsAt, measuredAt)
                                                    : query.boundsUs;
  }
  const ConsensusResult result = computeConsensus(serverRecords, boundsUs);
  for (int i = 0; i < result.excludedCount; ++i) {
    const int slot = result.excluded[i];
    serverRecords[slot].status = STATUS_UNUSED;
    serverQueries[slot].dirty = 1;
    saveServer(slot);
  }
  // What the agreement says about each server holds whether or not the clock
  // then takes the step.
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    const int64_t learned = recordedCorrection(serverRecords, bounds, result, slot);
    if (learned == serverRecords[slot].correction) continue;
    serverRecords[slot].correction = learned;
    serverQueries[slot].dirty = 1;
    saveServer(slot);
  }
  if (!result.found) {
    correctionFailed = 1;
    recordConsensus(result, measuredAt, ACTION_NO_SERVER);
    noteCorrectingRunEnd(RUN_FAILED);
    return;
  }

  const bool userAsked = runNumber == userRunNumber;
  switch (decideRunStep(result.correction, userAsked)) {
    case STEP_APPLY: {
      // A start-up run ends the program soon after: no time for a slew.
      const bool automatic = runNumber != manualRunNumber && !exitAfterCorrection;
      if (slewInsteadOfStep(result.offsetUs, automatic)) {
        // The clock does not jump: the rate removes the offset from now on.
        // It moves the clock all the same, and counts like a step.
        const Millis1900 now = readClock();
        countStep(now, result.correction, false);
        noteCorrection(now, result.correction);
        recordConsensus(result, measuredAt, ACTION_SLEWED);
        break;
      }
      const bool set = applyCorrection(result.correction, userAsked);
      recordConsensus(result, measuredAt, set ? ACTION_STEPPED : ACTION_STEP_REFUSED);
      break;
    }
    case STEP_ASK:
      // This runs inside a network handler, where no box may open: the main
      // window asks once the handler has returned. Until the user says Yes
      // the run has moved nothing.
      questionedStep = result.correction;
      questionedRunAt = measuredAt;
      stepQuestionPending = true;
      recordConsensus(result, measuredAt, ACTION_DECLINED);
      PostMessageA(mainWindow, WM_CONFIRM_STEP, 0, 0);
      noteCorrectingRunEnd(RUN_STEP_REFUSED);
      break;
    case STEP_REFUSE:
      correctionFailed = 1;
      stepBeyondLimit = decideStep(result.correction, false) == STEP_REFUSE;
      totalBeyondLimit = !stepBeyondLimit;
      recordConsensus(result, measuredAt, ACTION_BEYOND_LIMIT);
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
  const Millis1900 runAt = questionedRunAt;
  char offsetText[32];
  formatOffset(step, offsetText);
  char text[200];
  std::snprintf(text, sizeof text,
                "The time servers disagree with this computer's clock by %s.\n\n"
                "Set the clock by that much?",
                offsetText);
  if (MessageBoxA(mainWindow, text, WINDOW_TITLE, MB_YESNO | MB_ICONWARNING) != IDYES) return;
  if (runNumber != askedAfterRun) return;
  const bool set = applyCorrection(step, true);
  if (set) {
    // A slew still under way would now take the clock away again.
    HistoryEntry stepped = {};
    stepped.action = ACTION_STEPPED;
    rateAfterRun(stepped, clockDrift);
  }
  amendNewestRun(runAt, set ? ACTION_STEPPED : ACTION_STEP_REFUSED);
  refreshClockHistory();
  if (pendingCount == 0) showStatus(SHOW_LAST_CORRECTION);
}
