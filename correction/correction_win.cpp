// Applying a correcting run's consensus: outliers marked unused, the clock
// shifted by the servers' agreed correction, the correction recorded and
// reported to the shell, then announced to all windows; a step beyond the
// limit refused, or left for the user's answer when the user asked for the run.
#include <windows.h>

#include "correction/clock_moves_win.h"
#include "correction/consensus.h"
#include "correction/correction.h"
#include "correction/run_report.h"
#include "correction/step_limit.h"
#include "discipline/clock_history.h"
#include "discipline/rate_keeping_win.h"
#include "query/query_run.h"
#include "query/server_address.h"
#include "servers/server_table.h"
#include "settings/settings.h"
#include "timebase/clock.h"

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

// The correction as the status line and the report know it: when (0: the
// clock could not be set) and by how much.
static void noteCorrection(Millis1900 setTo, int64_t correction, RunReport& report) {
  lastCorrectionValue = correction;
  lastCorrectionTime = setTo;

  uint8_t image[8];
  packInt64(lastCorrectionTime, image);
  writeSetting("LastCorrectionTime", image, sizeof image);
  packInt64(lastCorrectionValue, image);
  writeSetting("LastCorrectionValue", image, sizeof image);

  report.correctionTried = true;
  report.correctedAt = setTo;
}

// Steps the clock; returns what it was set to, or 0. A step the user
// confirmed starts the count of what automatic runs move the clock anew.
static Millis1900 stepClock(int64_t correction, bool confirmed, RunReport& report) {
  const Millis1900 setTo = shiftClock(correction);
  noteOwnClockStep();
  countStep(setTo, correction, confirmed);
  noteCorrection(setTo, correction, report);
  return setTo;
}

// After a step, set or refused, every window hears of it. Only once the run
// is reported: the broadcast waits on other programs and meanwhile handles
// what they send us, a request for a new run included.
static void announceTimeChange() {
  SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0, SMTO_ABORTIFHUNG, BROADCAST_WAIT_MS,
                      nullptr);
}

static uint8_t countByte(int count) { return static_cast<uint8_t>(count < 0 ? 0 : count > 255 ? 255 : count); }

// The run's entry in the history: what the servers said and what was done.
static HistoryEntry recordConsensus(const ConsensusResult& result, Millis1900 measuredAt, HistoryAction action) {
  HistoryEntry entry = {};
  entry.measuredAt = measuredAt;
  if (result.found) {
    entry.offsetUs = result.offsetUs;
    entry.uncertaintyUs = result.uncertaintyUs;
  }
  entry.action = static_cast<uint8_t>(action);
  entry.agreeing = countByte(result.agreeing);
  entry.usable = countByte(result.usable);
  entry.flags = withHistoryAuthenticated(entry.flags, result.authenticated);
  completeEntryForRate(entry);
  countRateMove(rateMoveOfLastRunMs());
  recordRun(entry);
  rateAfterRun(entry, clockDrift);
  return entry;
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
    boundsUs[slot] = isNtpProtocol(query.protocol) ? boundsCarriedTo(query.boundsUs, query.boundsAt, measuredAt)
                                                    : query.boundsUs;
  }
  // Authenticated servers, where any answered, decide; the movement limits
  // below hold for their correction as for any other.
  bool authenticated[SERVER_SLOTS];
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) authenticated[slot] = serverQueries[slot].authenticated != 0;
  const ConsensusResult result = computeAuthenticatedConsensus(serverRecords, boundsUs, authenticated);
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
  RunReport report = {};
  report.consensus = result;
  if (!result.found) {
    correctionFailed = 1;
    report.entry = recordConsensus(result, measuredAt, ACTION_NO_SERVER);
    reportRunEnd(report);
    return;
  }

  const bool userAsked = runNumber == userRunNumber;
  bool stepped = false;
  switch (decideRunStep(result.correction, userAsked)) {
    case STEP_APPLY: {
      // A start-up run ends the program soon after: no time for a slew.
      const bool automatic = runNumber != manualRunNumber && !runEndsSoon();
      if (slewInsteadOfStep(result.offsetUs, automatic)) {
        // The clock does not jump: the rate removes the offset from now on.
        // It moves the clock all the same, and counts like a step.
        const Millis1900 now = readClock();
        countStep(now, result.correction, false);
        noteCorrection(now, result.correction, report);
        report.entry = recordConsensus(result, measuredAt, ACTION_SLEWED);
        break;
      }
      const Millis1900 setTo = stepClock(result.correction, userAsked, report);
      stepped = true;
      report.entry = recordConsensus(result, measuredAt, setTo != 0 ? ACTION_STEPPED : ACTION_STEP_REFUSED);
      break;
    }
    case STEP_ASK:
      // This runs inside a network handler, where no box may open: the shell
      // asks once the handler has returned. Until the user says Yes the run
      // has moved nothing.
      questionedStep = result.correction;
      questionedRunAt = measuredAt;
      stepQuestionPending = true;
      report.entry = recordConsensus(result, measuredAt, ACTION_DECLINED);
      report.stepQuestion = true;
      break;
    case STEP_REFUSE:
      correctionFailed = 1;
      stepBeyondLimit = decideStep(result.correction, false) == STEP_REFUSE;
      totalBeyondLimit = !stepBeyondLimit;
      report.entry = recordConsensus(result, measuredAt, ACTION_BEYOND_LIMIT);
      break;
  }
  reportRunEnd(report);
  if (stepped) announceTimeChange();
}

bool takeStepQuestion(StepQuestion& question) {
  if (!stepQuestionPending) return false;
  stepQuestionPending = false;
  question.step = questionedStep;
  question.askedAfterRun = runNumber;
  question.runAt = questionedRunAt;
  return true;
}

void answerStepQuestion(const StepQuestion& question) {
  // The box runs a loop of its own, in which another run may end and ask anew:
  // the answer belongs to this step, and only while no other run measured since.
  if (runNumber != question.askedAfterRun) return;
  RunReport report = {};
  report.consensus.found = true;
  report.consensus.correction = question.step;
  const Millis1900 setTo = stepClock(question.step, true, report);
  if (setTo != 0) {
    // A slew still under way would now take the clock away again.
    HistoryEntry stepped = {};
    stepped.action = ACTION_STEPPED;
    rateAfterRun(stepped, clockDrift);
  }
  const uint8_t action = setTo != 0 ? ACTION_STEPPED : ACTION_STEP_REFUSED;
  amendNewestRun(question.runAt, action);
  const HistoryEntry* newest = newestEntry(clockHistory);
  if (newest != nullptr && newest->measuredAt == question.runAt) report.entry = *newest;
  reportRunEnd(report);
  announceTimeChange();
}
