// Runs: one pass of queries over many servers at once, correcting or testing;
// their count and order, the one deadline, and the two moments that the room
// above hears of (the run's first query under way, its last one ended).
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

// What the room above does at the run's two moments.
class RunStages {
 public:
  virtual void runUnderWay() = 0;  // the run's first query has started
  virtual void runComplete() = 0;  // the run's last query has ended

 protected:
  ~RunStages() = default;
};
// At start-up; nullptr: runs go unheard.
void followRunStages(RunStages* stages);

// A run's start: opened for this many queries, then its queries started with
// startQuery, then released (releaseRun, query.h), which ends the start here.
// A run that started no query at all is neither announced nor completed.
void holdRunOpen(int32_t queries, bool test);
void endRunStart();

void announceRun();
void completeRun();

// The run's share of startQuery and endQuery: counting the query in
// pendingCount, announcing the run at its first query and completing it
// after its last.
void countStartedQuery();
void countEndedQuery();
