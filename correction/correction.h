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

void applyConsensus();
// WM_CONFIRM_STEP: asks the user about the large step the last run found.
void onConfirmStep();
