// The history of runs in the registry, the drift learnt from it, and the
// breaks in the clock's own run: resumes, steps by others, restarts
// (implements clock_history.h).
#include <windows.h>

#include "discipline/clock_history.h"
#include "settings/settings.h"
#include "timebase/clock.h"

HistoryLog clockHistory;
DriftEstimate clockDrift;

namespace {

// A time-change notice this soon after our own step is ours.
const uint64_t OWN_CHANGE_MS = 2000;

bool breakPending = true;
bool historyWriter = true;
bool ownStepSeen;
uint64_t ownStepAt;

// The clock and the counter at the last look, to see the clock move against it.
int64_t watchedClockUs;
uint64_t watchedCounterMs;

// The history has changed: it is stored, the drift estimated anew, and its
// uncertainty written once the history supports it ("DriftPpb", the
// compensation that follows it, is the rate keeping's).
void learnFromHistory() {
  // One keeper per machine writes the history: an instance in another
  // session shows it as the keeper wrote it.
  if (!historyWriter) return;
  static uint8_t history[HISTORY_IMAGE_SIZE];
  writeSetting("History", history, static_cast<uint32_t>(packHistory(clockHistory, history)));
  clockDrift = estimateDrift(clockHistory);
  if (!clockDrift.known) return;
  uint8_t image[8];
  packInt64(clockDrift.uncertaintyPpb, image);
  writeSetting("DriftUncertaintyPpb", image, sizeof image);
}

void restartWatch() {
  watchedClockUs = readClockUs();
  watchedCounterMs = readCounterMs();
}

}  // namespace

void loadClockHistory() {
  static uint8_t image[SETTING_SIZE_LIMIT];
  const int32_t size = readSettingBytes("History", image, sizeof image);
  unpackHistory(image, size > 0 ? static_cast<size_t>(size) : 0, clockHistory);
  clockDrift = estimateDrift(clockHistory);
  breakPending = true;
  restartWatch();
}

void recordRun(HistoryEntry entry) {
  if (!historyWriter) return;
  if (breakPending) entry.flags |= HISTORY_BREAK;
  breakPending = false;
  appendHistory(clockHistory, entry);
  learnFromHistory();
}

void amendNewestRun(Millis1900 measuredAt, uint8_t action) {
  const HistoryEntry* newest = newestEntry(clockHistory);
  if (newest == nullptr || newest->measuredAt != measuredAt) return;
  clockHistory.entries[clockHistory.count - 1].action = action;
  learnFromHistory();
}

void setHistoryWriter(bool keeper) { historyWriter = keeper; }

void noteClockBreak() { breakPending = true; }

void continueHistorySpan() { breakPending = false; }

void noteOwnClockStep() {
  // A step from another session's instance: the keeper's notice of it, since
  // the time-change broadcast stays in this session.
  if (!historyWriter) {
    uint32_t steps = 0;
    readSetting("StepsElsewhere", &steps, sizeof steps);
    ++steps;
    writeSetting("StepsElsewhere", &steps, sizeof steps);
  }
  ownStepSeen = true;
  ownStepAt = readCounterMs();
  restartWatch();
}

void onTimeChange() {
  if (ownStepSeen && readCounterMs() - ownStepAt < OWN_CHANGE_MS) return;
  breakPending = true;
  restartWatch();
}

// The keeper looks at the other sessions' steps at every clock tick.
static void watchStepsElsewhere() {
  static bool seenOnce;
  static uint32_t seen;
  if (!historyWriter) return;
  uint32_t steps = 0;
  readSetting("StepsElsewhere", &steps, sizeof steps);
  if (seenOnce && steps != seen) breakPending = true;
  seen = steps;
  seenOnce = true;
}

void watchClock() {
  watchStepsElsewhere();
  const int64_t clockUs = readClockUs();
  const uint64_t counterMs = readCounterMs();
  if (clockJumped(clockUs - watchedClockUs, static_cast<int64_t>(counterMs - watchedCounterMs) * 1000))
    breakPending = true;
  watchedClockUs = clockUs;
  watchedCounterMs = counterMs;
}
