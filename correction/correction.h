// Applying a correcting run's consensus to the system clock.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

extern uint8_t correctionFailed;
extern Millis1900 lastCorrectionTime;
extern int64_t lastCorrectionValue;

void applyConsensus();
