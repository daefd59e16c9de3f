// The clock's rate on Windows: the system's adjustment calls, the privilege
// they need, and the Windows Time service that may be keeping the rate
// already (rate_keeping_win.cpp).
#pragma once
#include <windows.h>

#include <cstdint>

#include "discipline/history.h"
#include "discipline/rate_keeping.h"

extern RateKeeper clockRate;
extern RateKeeping rateKeeping;

// The calls the rate keeping makes, replaceable for tests.
struct ClockRateCalls {
  BOOL(WINAPI* getAdjustment)(PDWORD adjustment, PDWORD increment, PBOOL disabled);
  BOOL(WINAPI* setAdjustment)(DWORD adjustment, BOOL disabled);
  // nullptr where kernel32 has no precise pair (before Windows 10).
  BOOL(WINAPI* getPreciseAdjustment)(PDWORD64 adjustment, PDWORD64 increment, PBOOL disabled);
  BOOL(WINAPI* setPreciseAdjustment)(DWORD64 adjustment, BOOL disabled);
  bool (*enableTimePrivilege)();
  bool (*timeServiceRunning)();
  uint64_t (*counterMs)();  // the monotonic counter
};
// nullptr: the system's own calls.
void useClockRateCalls(const ClockRateCalls* calls);

// Whether this process holds the machine's keeper object: only the keeper
// sets the rate (set by the start-up before anything else, and again when
// the keeper of another session ended).
void setRateKeeper(bool holdsKeeper);
bool rateKeeper();
// At start, before anything else: a rate left in force by a keeper that died
// (a kill, a hang) while nobody keeps it now is healed at once: the stored
// compensation alone, or the system's own rate where none is wanted. True
// when it healed one. A rate found exactly as this program left it in this
// boot is no break in the clock's run (startJoinsEarlierRuns).
bool healRateAtStart();
bool startJoinsEarlierRuns();
// An unhandled exception or the fatal exit: the compensation alone stays (or
// the rate goes back where none is wanted) before the process ends.
void rateAtCrash();

// At window initialisation, after the schedule: the stored drift is
// compensated from the first minute when a schedule is chosen.
void startRateKeeping();
// Every clock tick (periodMs: until the next).
void keepClockRate(uint64_t periodMs);
// The schedule was applied: a schedule takes the rate, none gives it back.
// Until the first call no schedule counts as chosen.
void rateFollowsSchedule(bool scheduled);
// A correcting run starts: another keeper is looked for, a rate that did not
// take is tried again, and a slew waits for the run's result.
void holdRateForRun();
// A correcting run ended: whether its correction is slewed; its entry's rate
// and unfinished slew before it is recorded; then the new compensation and
// the run's slew or step.
bool slewInsteadOfStep(int64_t correctionUs, bool automaticRun);
void completeEntryForRate(HistoryEntry& entry);
// What the compensation moved the clock before the last run beyond what the
// drift's uncertainty explains (ms): it counts like the runs' own moves.
uint64_t rateMoveOfLastRunMs();
void rateAfterRun(const HistoryEntry& entry, const DriftEstimate& drift);
// After a resume the compensation stays and any slew is dropped.
void rateAfterResume();
// The program ends: a slew stops, the compensation stays in force (with "On
// Startup" only where runs of this boot support it; otherwise the rate goes
// back as found).
void leaveRateAtExit();
// The rate is the system's again.
void giveRateBack();
