// The program's record of its runs and what it learns from them: the history
// in the registry, the drift estimate, and the breaks in the clock's own run
// (clock_history_win.cpp).
#pragma once
#include <cstdint>
#include "discipline/drift.h"
#include "discipline/history.h"

extern HistoryLog clockHistory;
extern DriftEstimate clockDrift;

// Only the keeper of the clock writes the history; another session's
// instance shows what the keeper wrote.
void setHistoryWriter(bool keeper);
// At window initialisation: "History" and the estimate. The program's own
// start is a break: nothing says how the clock ran while it was not running.
void loadClockHistory();
// A correcting run has ended: its entry is completed (the rate in force, a
// pending break, what is left of a slew), stored, and the drift estimated
// anew ("DriftPpb" follows in rateAfterRun).
void recordRun(HistoryEntry entry);
// The user answered the question about a large step: what the run measured
// at measuredAt did, while its entry is still the newest.
void amendNewestRun(Millis1900 measuredAt, uint8_t action);
// The clock's run was broken: a resume, someone else's step, a new user offset.
void noteClockBreak();
// The start found the rate exactly as this program left it in this boot:
// the clock ran as our runs knew it, and the start is no break.
void continueHistorySpan();
// Our own step: the clock moved, but not against us.
void noteOwnClockStep();
// WM_TIMECHANGE: a break unless the change is ours.
void onTimeChange();
// Each clock tick: a clock that moved against the monotonic counter was set
// by someone else.
void watchClock();

// What the clock's rate is doing now: the rate correction in force (ppb,
// positive slows the clock), the part of the newest run's slew still to go
// (us), and one sentence on who keeps the clock's rate (may be empty).
int64_t rateInForcePpb();
int64_t slewLeftNowUs();
void describeRateKeeping(char* text, size_t size);
