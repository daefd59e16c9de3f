// The step limit's count over the boot (implements clock_moves_win.h).
#include "correction/clock_moves_win.h"

#include "discipline/rate_keeping_win.h"
#include "settings/settings.h"
#include "timebase/boot_stamp.h"
#include "timebase/clock.h"

static ClockMoves clockMoves;
static bool clockMovesRead;

static BootStamp bootNow() { return stampBoot(readClock(), readCounterMs()); }

// Read once: after that this process's count is the one in force.
static void readClockMoves() {
  if (clockMovesRead) return;
  clockMovesRead = true;
  uint8_t image[CLOCK_MOVES_IMAGE_SIZE];
  const int32_t size = readSettingBytes("ClockMoves", image, sizeof image);
  clockMoves = restoreClockMoves(image, size, bootNow());
}

// Written after every change, with the boot moment as the clock shows it now:
// our own step moved it, and the next start must still know the boot.
static void writeClockMoves() {
  if (!rateKeeper()) return;
  uint8_t image[CLOCK_MOVES_IMAGE_SIZE];
  packClockMoves(clockMoves, bootNow(), image);
  writeSetting("ClockMoves", image, sizeof image);
}

StepDecision decideRunStep(int64_t correction, bool userAsked) {
  readClockMoves();
  if (userAsked) return decideStep(correction, true);
  return decideAutomaticStep(clockMoves, correction, readCounterMs());
}

void countStep(Millis1900 setTo, int64_t step, bool confirmed) {
  if (setTo == 0) return;
  readClockMoves();
  if (confirmed) startClockMoves(clockMoves, readCounterMs());
  else noteClockMoved(clockMoves, step);
  writeClockMoves();
}

void countRateMove(uint64_t ms) {
  if (ms == 0) return;
  readClockMoves();
  noteRateMoved(clockMoves, ms);
  writeClockMoves();
}

bool bootFirstCorrectionTaken() {
  readClockMoves();
  return clockMoves.firstTaken;
}

void reloadClockMoves() { clockMovesRead = false; }
