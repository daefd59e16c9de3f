// Query runs (to be completed).
#include "query/query_run.h"

int32_t pendingCount;
uint8_t runIsTest;
Millis1900 runDeadline;

void startCorrectingRun() {}
void startTestRun() {}
void endAllQueries(int) {}
void announceRun() {}
void checkRunDeadline() {}
void completeRun() {}
