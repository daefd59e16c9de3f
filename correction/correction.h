// Applying a correcting run's consensus to the system clock.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

extern uint8_t correctionFailed;
extern Millis1900 lastCorrectionTime;
extern int64_t lastCorrectionValue;

// The run the user started with the window in view: it may ask before a step
// beyond the limit instead of refusing it.
extern uint32_t userRunNumber;
// The run the user started with "Synchronize Time", window in view or not:
// it steps, where automatic runs slew small corrections.
extern uint32_t manualRunNumber;
// The last correcting run failed because its step was beyond the limit, or
// because it would have taken what automatic runs moved the clock beyond it.
extern bool stepBeyondLimit;
extern bool totalBeyondLimit;

// The consensus of the run just completed, applied and reported
// (run_report.h) before the other windows hear of a step.
void applyConsensus();

// The large step the last run leaves to the user, and the run it belongs to.
struct StepQuestion {
  int64_t step;
  uint32_t askedAfterRun;  // runNumber when the question was taken
  Millis1900 runAt;        // when that run measured
};
// Takes the waiting question, once; false when none waits.
bool takeStepQuestion(StepQuestion& question);
// The user said Yes: the step is made unless another run has measured since,
// and reported like a run's end.
void answerStepQuestion(const StepQuestion& question);
