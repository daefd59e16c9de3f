// How fast this computer's clock gains or loses against the servers, learnt
// from the history of runs, and how far off it may be now.
#pragma once
#include <cstdint>
#include "discipline/history.h"

// Written to "DriftPpb" only once the estimate is at least this sure (one
// standard deviation) and at least this many runs stand behind it.
const int64_t DRIFT_KNOWN_LIMIT_PPB = 25000;
const int DRIFT_KNOWN_RUNS = 2;
// No compensation beyond this: no working crystal is this far off (kernels
// hold a clock's frequency correction within it too). A larger figure means
// unnoticed steps or servers whose clocks run wrong, not drift; it is neither
// cancelled nor stored.
const int64_t DRIFT_PLAUSIBLE_PPB = 500000;

struct DriftEstimate {
  bool fitted;             // a rate could be fitted at all
  bool known;              // sure enough to act on (see the limits above)
  bool beyondLimit;        // sure enough, but beyond DRIFT_PLAUSIBLE_PPB: not acted on
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

// How fast the compensation may follow the estimate once a drift is known. A
// crystal's rate wanders a few ppm within hours with the room's temperature or
// the machine's load, and seldom tens of ppm over days; servers that tell
// another story, or a few runs that disagree, can move it no faster than this:
// COMPENSATION_RUN_PPB a run, plus COMPENSATION_HOURLY_PPB for each hour since
// the compensation was last decided, counting at most COMPENSATION_HOURS_MOST.
const int64_t COMPENSATION_RUN_PPB = 500;
const int64_t COMPENSATION_HOURLY_PPB = 4000;
const int64_t COMPENSATION_HOURS_MOST = 6;

// The compensation after a run that wants wantedPpb, from currentPpb decided
// elapsedMs ago. The first drift known on this PC (currentKnown false: none
// stored) is taken at once; later ones are followed within the bound above.
// Never beyond DRIFT_PLAUSIBLE_PPB either way.
int64_t nextCompensationPpb(int64_t wantedPpb, int64_t currentPpb, bool currentKnown, int64_t elapsedMs);

// How far a compensation moved the clock over elapsedMs beyond what the
// drift's own uncertainty explains (us): max(0, |c| - u) x t, held at
// INT64_MAX. Counts with what the program moves the clock on its own.
int64_t unexplainedMovementUs(int64_t compensationPpb, int64_t uncertaintyPpb, int64_t elapsedMs);

// How many runs with an offset the newest span holds: the runs since the
// last break, which alone say how the clock ran since then.
int runsInNewestSpan(const HistoryLog& log);

// "On Startup": the program runs once at log-on and quits. A stored drift is
// applied at start, and left in force at exit, only where runs support it
// since the clock's own run was last broken: runs of earlier starts of this
// boot, when the adjustment found at start is the one the program left (the
// rate was ours all along, and the start is no break in the history), or
// runs of this start (at least DRIFT_KNOWN_RUNS in its span). Otherwise the
// rate is given back at exit. At start, runsThisStartSupport is false.
bool applyDriftOnStartup(bool storedDriftKnown, bool adjustmentIsOursFromThisBoot, bool runsThisStartSupport);
