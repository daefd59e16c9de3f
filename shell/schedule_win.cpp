// Correction schedule on the main window (to be completed).
#include "shell/schedule.h"

int32_t schedulePosition;
uint64_t scheduleInterval;
Millis1900 scheduleBase;
bool exitAfterCorrection;

void applySchedule() {}
void onScheduleSlider() {}
void checkScheduleDue() {}
void applyLaunchRule() {}
