// What the correction tells the shell about its runs: one record for a run's
// end (or for the user's answer to its large step), and the interface through
// which the shell hears of it. The shell implements RunObserver and hands it
// over once at start-up; nothing on this side knows a window.
#pragma once
#include <cstdint>
#include "correction/consensus.h"
#include "discipline/history.h"
#include "timebase/millis.h"

struct RunReport {
  bool test;                  // a test run: nothing below was looked at or done
  ConsensusResult consensus;  // what the servers agreed on; not found: no server answered usefully
  HistoryEntry entry;         // the run's entry in the history; its action is what was done
  bool correctionTried;       // the clock was stepped or slewed, or refused the step: the
                              // last correction (lastCorrectionTime, -Value) is this one
  Millis1900 correctedAt;     // the clock's reading once corrected (set, or slewing from
                              // now); 0: the clock was not corrected
  bool stepQuestion;          // a step beyond the limit waits for the user's word
};

class RunObserver {
 public:
  // Whether the program ends soon after this run (a start-up run): then a
  // correction has no time to be slewed.
  virtual bool endsSoonAfterRun() = 0;
  // The run's first query is under way.
  virtual void runUnderWay(bool test) = 0;
  // The run is over, or the user's answer to its large step has been acted on.
  virtual void runEnded(const RunReport& report) = 0;

 protected:
  ~RunObserver() = default;
};

// At start-up: the observer that hears of every run from now on.
void reportRunsTo(RunObserver* observer);

// The correction's own side (runs_win.cpp): what the observer is told.
bool runEndsSoon();
void reportRunEnd(const RunReport& report);
