// Texts of the status line and tray tip.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

const int STATUS_TEXT_SIZE = 100;

#define TIP_CORRECTION_FAILED "Unsuccessful correction!  Double-click for details..."
// Some trays show no more than 79 characters of a tip.
#define TIP_STEP_BEYOND_LIMIT \
  "Not corrected: the servers disagree with the clock by more than 15 hours."

// Mode 1 "Checking time servers...", 2 "Testing time servers...", otherwise
// "Corrected <offset> at <localTime>" or empty when never corrected.
void buildStatusText(int mode, Millis1900 lastTime, int64_t lastValue,
                     const char* localTimeText, char text[STATUS_TEXT_SIZE]);
