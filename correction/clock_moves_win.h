// What automatic runs have moved the clock in this process: the step limit's
// count kept over the runs, timed on the counter.
#pragma once
#include <cstdint>
#include "correction/step_limit.h"
#include "timebase/millis.h"

// Whether a run may move the clock by correction now: the per-run limit for a
// run the user started with the window in view (userAsked), and the limit on
// the count as well for every other run. The count starts at the first call.
StepDecision decideRunStep(int64_t correction, bool userAsked);
// After a step was tried: setTo is what shiftClock returned. A step the system
// refused moved nothing; one the user confirmed starts a fresh count.
void countStep(Millis1900 setTo, int64_t step, bool confirmed);
