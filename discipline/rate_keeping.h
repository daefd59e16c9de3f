// Keeping the clock's rate: the adjustment that cancels the drift, the
// fraction of a unit carried from one setting to the next, and slews that
// remove a small offset by running the clock a little faster or slower
// instead of stepping it.
//
// The system's rate call takes an adjustment per increment: the clock runs at
// adjustment / increment of its nominal rate. The older call's increment is
// the clock tick in 100 ns (156,250: one unit is 6.4 ppm), the precise call's
// the counter's frequency (10,000,000: one unit is 0.1 ppm).
#pragma once
#include <cstdint>
#include "discipline/drift.h"
#include "discipline/history.h"
#include "timebase/boot_stamp.h"

// Automatic corrections smaller than this are slewed rather than stepped.
const int64_t SLEW_LIMIT_US = 500000;
// A slew runs the clock at most this much faster or slower than the drift's
// compensation: half a second takes at most 1000 s.
const int64_t SLEW_RATE_PPB = 500000;

// The adjustment that runs the clock at (1 - ppb * 1e-9) of its rate, to the
// nearest unit, and the rate correction a whole adjustment gives.
uint64_t adjustmentForPpb(int64_t ppb, uint64_t increment);
int64_t ppbOfAdjustment(uint64_t adjustment, uint64_t increment);

struct RateKeeper {
  uint64_t increment;       // the system's nominal adjustment; 0 before the first look
  bool inForce;             // our adjustment is set and took
  int64_t compensationPpb;  // cancels the drift: a clock that gains d runs at (1 - d)
  uint64_t adjustment;      // what is set now
  // How far the corrections applied lag behind what they should be, in
  // ppb x ms (1 us is 1e6): the fraction of a unit carried from setting to
  // setting, and the part of a slew not yet removed.
  int64_t gap;
  bool slewing;
  bool holding;             // a run is measuring: the slew waits for its result
  bool ticked;
  uint64_t lastTickMs;      // monotonic counter
  // The compensation in force since the last run ended, for its history entry.
  int64_t compensationSinceRun;  // ppb x ms
  int64_t msSinceRun;
  int64_t lastRunSpanMs;    // from the run before to the last run's end
  // The compensation comes from a drift known (stored, or learnt since the
  // start), decided at compensationAtMs: from then on it follows the
  // estimate only within the bound of nextCompensationPpb.
  bool compensationKnown;
  uint64_t compensationAtMs;
};

// Accounts for the time since the last tick and returns the adjustment for
// the next period (periodMs: when the next tick is expected). A slew goes on
// at up to SLEW_RATE_PPB; the rounding of each setting is made up at the next.
uint64_t keepRate(RateKeeper& keeper, uint64_t nowMs, uint64_t periodMs);
// Whether the adjustment just set took (read back): our rate counts only then.
void noteRateTaken(RateKeeper& keeper, bool taken, uint64_t nowMs);
// A new compensation, from the time given.
void setCompensation(RateKeeper& keeper, int64_t ppb, uint64_t nowMs);
// "DriftPpb" of an earlier start, at the program's start: known, so that a
// restart does not skip the bound on how fast the compensation follows.
void resumeCompensation(RateKeeper& keeper, int64_t storedPpb, uint64_t nowMs);
// After a run: the compensation follows a known estimate within the bound.
// Returns whether it decided one (for "DriftPpb"): the estimate is known.
bool followDrift(RateKeeper& keeper, const DriftEstimate& drift, uint64_t nowMs);
// The rate is the system's again (no schedule, uninstall, another keeper).
void releaseRate(RateKeeper& keeper, uint64_t nowMs);
// After a resume: the clock came back from the hardware clock, and a slew's
// remainder means nothing any more.
void restartRate(RateKeeper& keeper, uint64_t nowMs);

// Runs: a run measuring holds the slew; its end completes its entry (the
// compensation in force since the run before, the slew it found unfinished)
// and then slews, steps or leaves the clock as the entry says.
// holdSlew returns the adjustment to set at once.
uint64_t holdSlew(RateKeeper& keeper, uint64_t nowMs, uint64_t periodMs);
void completeRunEntry(RateKeeper& keeper, HistoryEntry& entry, uint64_t nowMs);
void applyRunAction(RateKeeper& keeper, const HistoryEntry& entry);
// The part of the slew not yet removed (us, servers minus clock), 0 when none.
int64_t slewLeftUs(const RateKeeper& keeper);

// Who keeps the clock's rate.
enum RateKeeping {
  RATE_FREE = 0,       // nobody asked us to: no schedule
  RATE_KEPT = 1,       // ours, and it took
  RATE_NOT_TAKEN = 2,  // the system or another program keeps it: what we set did not take
  RATE_OTHER_KEEPER = 3,  // the Windows Time service is running
  RATE_OTHER_PROGRAM = 4, // another program changed the rate we set
  RATE_OTHER_INSTANCE = 5,  // Quorvel in another session keeps it
};

// An automatic run's correction under half a second is slewed while our rate
// is in force; the user's own run, a larger one, or no rate of ours steps.
bool slewsCorrection(int64_t correctionUs, bool automaticRun, bool rateInForce);
// The compensation the estimate asks for: the drift once it is known, from
// a compensation already known only within the bound (nextCompensationPpb);
// until then, and for a drift beyond any crystal, what is in force stays.
int64_t compensationFor(const DriftEstimate& drift, int64_t current, bool currentKnown, int64_t elapsedMs);

// The system's adjustment as read or set. "Disabled" means the system keeps
// the rate itself, whatever value it reports beside it.
struct RateSetting {
  uint64_t adjustment;
  bool disabled;
};
bool sameRateSetting(const RateSetting& a, const RateSetting& b);

// What the program knows of the adjustment's owners: what it found when it
// took the rate, and what it set last.
struct RateOwnership {
  RateSetting found;
  RateSetting lastSet;
  bool setBefore;  // lastSet holds a setting of ours that took
};
// Read before a setting: a value that is neither ours nor the one found
// means another program or Windows Time sets the rate now.
bool setByAnotherKeeper(const RateSetting& now, const RateOwnership& owner);
// Taking the rate, with found in force: a value that is not our last setting
// starts the ownership afresh, and found becomes the value to restore unless
// we kept the rate until now. What a start healed, or found exactly as we
// left it (programsAtStart), is the program's own: the system's "disabled" is
// what was there before any of it, and the value in force is ours to replace.
void takeOwnership(RateOwnership& owner, const RateSetting& found, bool keptUntilNow, bool programsAtStart);
// Backing off: what to write so that the rate is as the program found it
// (false: nothing to write). Only a value of ours is ever replaced; another
// keeper's stays, and nothing is written where the program never set one.
bool settingToRestore(const RateSetting& now, const RateOwnership& owner, RateSetting& write);
// At start, before anything else: a rate left in force while neither Windows
// Time nor another instance of ours keeps it was left by a keeper that died
// (or quit leaving its compensation).
bool rateLeftBehind(const RateSetting& now, bool timeServiceRunning, bool otherInstanceKeeps);

// What the program left in force when it ended ("RateLeft"), and the boot it
// did so in. A start that finds exactly that in the same boot had the rate
// ours all along: the clock's run was not broken. Keeping the rate again
// marks the record as no longer in force (a slew may follow, and a kill then
// leaves no record to trust).
const int RATE_LEFT_IMAGE_SIZE = 26;
void packRateLeft(const RateSetting* left, const BootStamp& boot, uint8_t* image);
bool rateOursAllAlong(const uint8_t* image, int size, const BootStamp& now, const RateSetting& found);
