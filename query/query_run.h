// Runs: one pass of queries over many servers at once, correcting or testing.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

extern int32_t pendingCount;
extern uint8_t runIsTest;
extern Millis1900 runDeadline;
// The run's plan: its number, when it started and how many queries it starts;
// each query takes its place in that order.
extern uint32_t runNumber;
extern Millis1900 runStartedAt;
extern int32_t runQueryCount;
int32_t takeRunOrder();

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
