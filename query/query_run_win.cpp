// Query runs: the bookkeeping of a run's queries, its announcement, and its
// completion when the last query ends (implements query_run.h; the queries
// count themselves in and out here, and what the run then means is the room
// above's).
#include <windows.h>
#include <mmsystem.h>

#include "query/query_run.h"
#include "timebase/clock.h"

int32_t pendingCount;
uint8_t runIsTest;
Millis1900 runDeadline;
uint32_t runNumber;
Millis1900 runStartedAt;
int32_t runQueryCount;
static int32_t nextRunOrder;
static RunStages* runStages;

void followRunStages(RunStages* stages) { runStages = stages; }

// While a start operation is starting its queries it counts itself in
// pendingCount. A query that fails inside startQuery then cannot bring the
// count to 0 and complete the run before its later slots have been started,
// which would let the consensus read their results of the previous run.
static bool runStarting;
static bool runHasQuery;  // a query of the run being started has been started

void holdRunOpen(int32_t queries, bool test) {
  runIsTest = test ? 1 : 0;
  runStarting = true;
  runHasQuery = false;
  ++pendingCount;
  ++runNumber;
  runStartedAt = readClock();
  runQueryCount = queries;
  nextRunOrder = 0;
}

int32_t takeRunOrder() { return nextRunOrder++; }

void endRunStart() {
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
  if (runStages != nullptr) runStages->runUnderWay();
}

void completeRun() {
  if (runStages != nullptr) runStages->runComplete();
  // The time-change broadcast and the tray update wait on other programs and
  // meanwhile handle what they send us, such as a second instance's request
  // for a correction. A run started that way may have had its announcement
  // undone, busy timer and so its deadline check included: announce it again.
  if (pendingCount > 0) announceRun();
  else useFineTimer(false);
}
