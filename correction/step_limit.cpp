// The step limit (implements step_limit.h).
#include "correction/step_limit.h"

#include "timebase/byte_order.h"

static uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

StepDecision decideStep(int64_t correction, bool userAsked) {
  if (magnitudeOf(correction) <= static_cast<uint64_t>(STEP_LIMIT_MS)) return STEP_APPLY;
  return userAsked ? STEP_ASK : STEP_REFUSE;
}

void startBootMoves(ClockMoves& moves, uint64_t now) {
  moves.moved = 0;
  moves.countedFrom = now;
  moves.firstTaken = false;
}

void startClockMoves(ClockMoves& moves, uint64_t now) {
  startBootMoves(moves, now);
  moves.firstTaken = true;
}

StepDecision decideAutomaticStep(const ClockMoves& moves, int64_t step, uint64_t now) {
  const uint64_t size = magnitudeOf(step);
  if (size > static_cast<uint64_t>(STEP_LIMIT_MS)) return STEP_REFUSE;
  if (!moves.firstTaken) return STEP_APPLY;
  const uint64_t elapsed = now > moves.countedFrom ? now - moves.countedFrom : 0;
  const uint64_t drift = elapsed / (1000000u / static_cast<uint64_t>(CLOCK_DRIFT_ALLOWANCE_PPM));
  const uint64_t allowed = static_cast<uint64_t>(STEP_LIMIT_MS) + drift;
  return saturatingAdd(moves.moved, size) <= allowed ? STEP_APPLY : STEP_REFUSE;
}

void noteClockMoved(ClockMoves& moves, int64_t step) {
  if (!moves.firstTaken) {
    moves.firstTaken = true;
    return;
  }
  moves.moved = saturatingAdd(moves.moved, magnitudeOf(step));
}

void noteRateMoved(ClockMoves& moves, uint64_t ms) { moves.moved = saturatingAdd(moves.moved, ms); }

void packClockMoves(const ClockMoves& moves, const BootStamp& boot, uint8_t* image) {
  packBootStamp(boot, image);
  putLittleEndian(image + BOOT_STAMP_IMAGE_SIZE, moves.moved, 8);
  putLittleEndian(image + BOOT_STAMP_IMAGE_SIZE + 8, moves.countedFrom, 8);
  image[BOOT_STAMP_IMAGE_SIZE + 16] = moves.firstTaken ? 1 : 0;
}

ClockMoves restoreClockMoves(const uint8_t* image, int size, const BootStamp& now) {
  ClockMoves moves;
  startBootMoves(moves, now.counterMs);
  if (image == nullptr || size != CLOCK_MOVES_IMAGE_SIZE || !sameBoot(unpackBootStamp(image), now)) return moves;
  moves.moved = getLittleEndian(image + BOOT_STAMP_IMAGE_SIZE, 8);
  // A start of the count after now is no count this boot can have made.
  const uint64_t from = getLittleEndian(image + BOOT_STAMP_IMAGE_SIZE + 8, 8);
  moves.countedFrom = from <= now.counterMs ? from : now.counterMs;
  // Any other byte than "not yet" is taken as done: the stricter reading.
  moves.firstTaken = image[BOOT_STAMP_IMAGE_SIZE + 16] != 0;
  return moves;
}
