// The words of the "Clock History" window: the drift, how good the clock is
// now, and one line per run. UTF-8 (the window shows "±").
#pragma once
#include <cstddef>
#include <cstdint>
#include "discipline/drift.h"
#include "discipline/history.h"

const size_t HISTORY_TEXT_SIZE = 160;

// "+1.234 s", "-12.3 ms", "+0.42 ms".
void formatOffsetUs(int64_t offsetUs, char* text, size_t size);
// "This computer's clock loses 6.7 s a day (78 ppm)", what is still missing,
// or that a rate beyond any crystal's is not cancelled.
void formatDriftText(const DriftEstimate& drift, char* text, size_t size);
// "Learnt from 12 runs, to within ± 2.1 ppm.", or empty when nothing was fitted.
void formatDriftCertainty(const DriftEstimate& drift, char* text, size_t size);
// "within ± 3 ms"
void formatErrorBound(int64_t boundUs, char* text, size_t size);
// One sentence on who keeps the clock's rate and what it does (a RateKeeping).
void formatRateKeeping(int keeping, int64_t compensationPpb, int64_t slewLeftUs, char* text, size_t size);
// "stepped", "slewed", "refused by the system", ...
const char* historyActionText(uint8_t action);
