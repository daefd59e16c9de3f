// The largest step the program takes on its own: servers that all claim a
// time far from the clock are more likely wrong (or hostile) than the clock.
#pragma once
#include <cstdint>
#include "timebase/boot_stamp.h"
#include "timebase/millis.h"

const int64_t STEP_LIMIT_MS = 54000000;  // 15 hours, either way

enum StepDecision { STEP_APPLY, STEP_ASK, STEP_REFUSE };

// Within the limit: apply. Beyond it: ask when the user started the run with
// the window in view, otherwise refuse.
StepDecision decideStep(int64_t correction, bool userAsked);

// The limit also holds for all that automatic runs move the clock together,
// so that servers which answer every run cannot walk the clock away one step
// at a time. Counted for the boot, across the program's restarts, since a
// restart must not bring a fresh allowance: the boot's first automatic
// correction is bounded by the limit alone (the hardware clock may be far off
// after a long power-off); after it, everything automatic runs move the clock
// (steps, slews, and what the drift's compensation moves it beyond what its
// uncertainty explains) counts, on top of what the clock may drift by itself
// meanwhile (half a millisecond a second, CLOCK_DRIFT_ALLOWANCE_PPM). The
// user's confirmed correction starts a fresh count. Times are counter
// milliseconds: the clock being moved cannot fake them.

struct ClockMoves {
  uint64_t moved;       // ms, the moves added up (saturating)
  uint64_t countedFrom; // counter ms of the boot's first look or of the last confirmed correction
  bool firstTaken;      // the boot's first automatic correction is behind us
};

// A fresh count for a new boot.
void startBootMoves(ClockMoves& moves, uint64_t now);
// The user confirmed a correction: the count starts again from it.
void startClockMoves(ClockMoves& moves, uint64_t now);
// May an automatic run move the clock by step now? STEP_APPLY or STEP_REFUSE:
// no step beyond the limit, nor, after the boot's first, one that takes the
// count beyond it.
StepDecision decideAutomaticStep(const ClockMoves& moves, int64_t step, uint64_t now);
// An automatic correction the clock took (a step the system refused moved nothing).
void noteClockMoved(ClockMoves& moves, int64_t step);
// What the rate moved the clock that no correction asked for (ms).
void noteRateMoved(ClockMoves& moves, uint64_t ms);

// The count as the settings keep it ("ClockMoves"), with the boot it belongs
// to; a record of another boot, or of no known form, gives a fresh count.
const int CLOCK_MOVES_IMAGE_SIZE = 33;
void packClockMoves(const ClockMoves& moves, const BootStamp& boot, uint8_t* image);
ClockMoves restoreClockMoves(const uint8_t* image, int size, const BootStamp& now);
