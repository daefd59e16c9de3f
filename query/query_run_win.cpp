// Query runs: starting a correcting or a test run, its announcement, the one
// deadline for the whole run, and its completion when the last query ends.
#include <windows.h>
#include <mmsystem.h>

#include "correction/correction.h"
#include "discipline/rate_keeping_win.h"
#include "query/query.h"
#include "query/query_run.h"
#include "servers/server_list.h"
#include "servers/server_table.h"
#include "shell/clock_history_win.h"
#include "shell/main_window_win.h"
#include "shell/schedule.h"
#include "shell/status.h"
#include "timebase/clock.h"

int32_t pendingCount;
uint8_t runIsTest;
Millis1900 runDeadline;
uint32_t runNumber;
Millis1900 runStartedAt;
int32_t runQueryCount;
static int32_t nextRunOrder;

// While a start operation is starting its queries it counts itself in
// pendingCount. A query that fails inside startQuery then cannot bring the
// count to 0 and complete the run before its later slots have been started,
// which would let the consensus read their results of the previous run.
static bool runStarting;
static bool runHasQuery;  // a query of the run being started has been started

static void holdRunOpen(int32_t queries) {
  runStarting = true;
  runHasQuery = false;
  ++pendingCount;
  ++runNumber;
  runStartedAt = readClock();
  runQueryCount = queries;
  nextRunOrder = 0;
}

int32_t takeRunOrder() { return nextRunOrder++; }

static void releaseRun() {
  // The first samples that are due at once connect before the run may end.
  startDueSamples();
  runStarting = false;
  --pendingCount;
  // A run that started no query at all is neither announced nor completed.
  if (pendingCount == 0 && runHasQuery) completeRun();
}

void countStartedQuery() {
  const bool first = runStarting ? !runHasQuery : pendingCount == 0;
  runHasQuery = true;
  ++pendingCount;
  if (first) announceRun();
}

void countEndedQuery() {
  --pendingCount;
  if (pendingCount == 0) completeRun();
}

void startCorrectingRun() {
  if (pendingCount != 0) return;
  holdRateForRun();
  runIsTest = 0;
  scheduleBase = readClock();
  int32_t queries = 0;
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    if (serverRecords[slot].name[0] != '\0' && serverRecords[slot].enabled != 0) ++queries;
  }
  holdRunOpen(queries);
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    ServerRecord& record = serverRecords[slot];
    if (record.name[0] == '\0') continue;
    if (record.enabled != 0) {
      startQuery(slot);
    } else {
      // A fresh status for every named slot, so the consensus sees only this run.
      record.status = STATUS_DISABLED;
      saveServer(slot);
      serverQueries[slot].dirty = 1;
    }
  }
  releaseRun();
  refreshDirtyRows();
}

void startTestRun() {
  int slots[SERVER_SLOTS];
  const int count = selectedServerSlots(slots, SERVER_SLOTS);
  if (count <= 0) return;
  if (pendingCount != 0) return;
  runIsTest = 1;
  holdRunOpen(count);
  for (int i = 0; i < count; ++i) {
    if (slots[i] >= 0 && slots[i] < SERVER_SLOTS) startQuery(slots[i]);
  }
  releaseRun();
}

void endAllQueries(int status) {
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) endQuery(slot, status);
}

// While a run is active the system timer ticks every millisecond instead of
// every 15.6: the sample timer then starts each sample within a millisecond of
// the moment that makes its server read its clock where it should.
static bool fineTimer;

// The timer resolution calls live in winmm, which is no KnownDLL: linked, a
// winmm.dll planted beside the exe would run elevated. So they are loaded from
// the system folder only, once; without them the timer stays coarse.
using TimePeriodCall = UINT(WINAPI*)(UINT);
static TimePeriodCall beginTimePeriod;
static TimePeriodCall endTimePeriod;

static bool loadTimePeriodCalls() {
  static bool tried;
  if (!tried) {
    tried = true;
    const HMODULE winmm = LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (winmm != nullptr) {
      beginTimePeriod = reinterpret_cast<TimePeriodCall>(
          reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
      endTimePeriod = reinterpret_cast<TimePeriodCall>(
          reinterpret_cast<void*>(GetProcAddress(winmm, "timeEndPeriod")));
    }
  }
  return beginTimePeriod != nullptr && endTimePeriod != nullptr;
}

static void useFineTimer(bool wanted) {
  if (wanted == fineTimer) return;
  if (!loadTimePeriodCalls()) return;
  fineTimer = wanted;
  if (wanted) beginTimePeriod(1);
  else endTimePeriod(1);
}

void announceRun() {
  useFineTimer(true);
  showStatus(runIsTest ? SHOW_TESTING : SHOW_CHECKING);
  setSynchronizeCaption(runIsTest ? "Stop Testing..." : "Stop Correcting...");
}

void checkRunDeadline() {
  if (readClock() > runDeadline) endAllQueries(STATUS_SLOW_RESPONSE);
}

void completeRun() {
  if (!runIsTest) applyConsensus();
  showStatus(SHOW_LAST_CORRECTION);
  if (!runIsTest) refreshClockHistory();
  setSynchronizeCaption("Synchronize Time");
  refreshDirtyRows();
  // The time-change broadcast and the tray update wait on other programs and
  // meanwhile handle what they send us, such as a second instance's request
  // for a correction. A run started that way has just had its announcement
  // undone, busy timer and so its deadline check included: announce it again.
  if (pendingCount > 0) announceRun();
  else useFineTimer(false);
}
