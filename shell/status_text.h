// Texts of the status line and tray tip.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

const int STATUS_TEXT_SIZE = 100;

#define TIP_CORRECTION_FAILED "Unsuccessful correction!  Double-click for details..."
// Some trays show no more than 79 characters of a tip.
#define TIP_STEP_BEYOND_LIMIT \
  "Not corrected: the servers disagree with the clock by more than 15 hours."
#define TIP_TOTAL_BEYOND_LIMIT \
  "Not corrected: automatic corrections would pass 15 hours in all."
#define TIP_INSTANCE_NAME_TAKEN "Another program holds Quorvel's instance name."

// The tray record's tip, terminator included.
const int TRAY_TIP_SIZE = 128;

// Mode 1 "Checking time servers...", 2 "Testing time servers...", otherwise
// "Corrected <offset> at <localTime>" or empty when never corrected.
void buildStatusText(int mode, Millis1900 lastTime, int64_t lastValue,
                     const char* localTimeText, char text[STATUS_TEXT_SIZE]);

// The tray tip: the status text, or the failure when one is given; below it,
// when another program holds the instance name, a line saying so (a later
// start cannot find this instance). Cut to fit.
void buildTrayTip(const char* statusText, const char* failure, bool instanceNameTaken,
                  char tip[TRAY_TIP_SIZE]);
