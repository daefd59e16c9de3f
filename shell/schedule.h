// The correction schedule: slider positions, intervals and the due check.
#pragma once
#include <cstdint>
#include "shell/retry_plan.h"
#include "timebase/millis.h"

struct ScheduleChoice {
  const char* label;
  uint64_t interval;  // ms; 0: no scheduled correction
};

// Positions outside 1..9 give "No Scheduled Interval".
ScheduleChoice scheduleChoice(int32_t position);
// Whether the position chooses a schedule ("On Startup" included).
bool scheduleChosenAt(int32_t position);
// now >= base + interval (64-bit), for a non-zero interval.
bool scheduleIsDue(Millis1900 now, Millis1900 base, uint64_t interval);

extern int32_t schedulePosition;
extern uint64_t scheduleInterval;
extern Millis1900 scheduleBase;
extern bool exitAfterCorrection;

// Windows side (schedule_win.cpp).
void applySchedule();
void onScheduleSlider();
void checkScheduleDue();
void applyLaunchRule();
// After every correcting run: plans, or ends, the retries of a failed one.
void noteCorrectingRunEnd(RunOutcome outcome);
void onRetryTimer();
// A power notice (WM_POWERBROADCAST's event); a resume asks for a correction soon.
void onPowerBroadcast(uintptr_t event);
void onResumeTimer();
void stopScheduleTimers();
