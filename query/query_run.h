// Runs: one pass of queries over many servers at once, correcting or testing.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

extern int32_t pendingCount;
extern uint8_t runIsTest;
extern Millis1900 runDeadline;

void startCorrectingRun();
void startTestRun();
void endAllQueries(int status);
void announceRun();
void checkRunDeadline();
void completeRun();

// The run's share of startQuery and endQuery: counting the query in
// pendingCount, announcing the run at its first query and completing it
// after its last.
void countStartedQuery();
void countEndedQuery();
