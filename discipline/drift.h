// How fast this computer's clock gains or loses against the servers, learnt
// from the history of runs, and how far off it may be now.
#pragma once
#include <cstdint>
#include "discipline/history.h"

// Written to "DriftPpb" only once the estimate is at least this sure (one
// standard deviation) and at least this many runs stand behind it.
const int64_t DRIFT_KNOWN_LIMIT_PPB = 25000;
const int DRIFT_KNOWN_RUNS = 2;
// No crystal is this far off; a larger figure means unnoticed steps, not drift.
const int64_t DRIFT_PLAUSIBLE_PPB = 1000000;

struct DriftEstimate {
  bool fitted;             // a rate could be fitted at all
  bool known;              // sure enough to act on (see the limits above)
  int64_t ppb;             // positive: this clock gains
  int64_t uncertaintyPpb;  // one standard deviation
  int used;                // runs the fit rests on
  int excluded;            // runs left out as disagreeing with the rest
};

// The offsets a run found are unwound into what they would have been had
// nothing been done to the clock (the steps and slews applied, the rate
// correction in force), and one rate is fitted through them. Each break
// starts a new span with an offset of its own but the same rate; each run
// weighs by its uncertainty, and runs weigh less with age, since the
// crystal's rate wanders with temperature. A run that disagrees with the
// rest beyond its uncertainty is left out.
DriftEstimate estimateDrift(const HistoryLog& log);

// What the run of this entry applied to the clock by the time the next run
// measured (the next entry; nullptr: by now, with slewLeftUs still to go).
int64_t appliedByRun(const HistoryEntry& entry, const HistoryEntry* next, int64_t slewLeftUs);

// Whether the clock moved against the monotonic counter by more than any
// crystal, slew or rate correction explains: someone else set it.
const int64_t CLOCK_JUMP_SLACK_US = 20000;
const int64_t CLOCK_JUMP_RATE_PPM = 2000;
bool clockJumped(int64_t clockElapsedUs, int64_t counterElapsedUs);

struct ClockErrorNow {
  bool known;         // there is a run with an offset to start from
  int64_t offsetUs;   // the likely offset now (servers minus this clock)
  int64_t boundUs;    // the error is within +-boundUs
};

// From the newest run with an offset: what it left (its offset less what it
// applied, its slew having slewLeftUs still to go), carried forward at the
// drift less the rate correction in force, with the uncertainty of both.
ClockErrorNow estimateErrorNow(const HistoryLog& log, const DriftEstimate& drift, int64_t slewLeftUs,
                               int64_t ratePpb, Millis1900 now);
