// The largest step the program takes on its own: servers that all claim a
// time far from the clock are more likely wrong (or hostile) than the clock.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

const int64_t STEP_LIMIT_MS = 54000000;  // 15 hours, either way

enum StepDecision { STEP_APPLY, STEP_ASK, STEP_REFUSE };

// Within the limit: apply. Beyond it: ask when the user started the run with
// the window in view, otherwise refuse.
StepDecision decideStep(int64_t correction, bool userAsked);

// The limit also holds for all that automatic runs move the clock together,
// so that servers which answer every run cannot walk the clock away one step
// at a time. Counted since this start or since the last correction the user
// confirmed, on top of what the clock may drift by itself meanwhile (half a
// millisecond a second, the most a working clock is expected to gain or
// lose, CLOCK_DRIFT_ALLOWANCE_PPM). Times are counter milliseconds: the clock
// being moved cannot fake them.

struct ClockMoves {
  uint64_t moved;       // ms, the steps' sizes added up (saturating)
  uint64_t countedFrom; // counter ms of the start or of the last confirmed correction
};

// A fresh count: at start, and when the user confirms a correction.
void startClockMoves(ClockMoves& moves, uint64_t now);
// May an automatic run move the clock by step now? STEP_APPLY or STEP_REFUSE:
// no step beyond the limit, nor one that takes the count beyond it.
StepDecision decideAutomaticStep(const ClockMoves& moves, int64_t step, uint64_t now);
// An automatic step the clock took (a step the system refused moved nothing).
void noteClockMoved(ClockMoves& moves, int64_t step);
