// What automatic runs have moved the clock in this boot: the step limit's
// count kept in the settings ("ClockMoves") across the program's restarts,
// timed on the counter. Only the keeper of the clock's rate writes it.
#pragma once
#include <cstdint>
#include "correction/step_limit.h"
#include "timebase/millis.h"

// Whether a run may move the clock by correction now: the per-run limit for a
// run the user started with the window in view (userAsked), and the limit on
// the count as well for every other run.
StepDecision decideRunStep(int64_t correction, bool userAsked);
// After a step was tried: setTo is what shiftClock returned. A step the system
// refused moved nothing; one the user confirmed starts a fresh count.
void countStep(Millis1900 setTo, int64_t step, bool confirmed);
// What the rate moved the clock beyond what any correction asked for (ms).
void countRateMove(uint64_t ms);
// Whether this boot's first automatic correction is behind us (certificate
// dates are held from then on).
bool bootFirstCorrectionTaken();
// The count is read again at its next use (the keeper changed).
void reloadClockMoves();
