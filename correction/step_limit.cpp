// The step limit (implements step_limit.h).
#include "correction/step_limit.h"

// The magnitude unsigned: -2^63 has no signed absolute value.
static uint64_t magnitude(int64_t step) {
  return step < 0 ? 0 - static_cast<uint64_t>(step) : static_cast<uint64_t>(step);
}

static uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

StepDecision decideStep(int64_t correction, bool userAsked) {
  if (magnitude(correction) <= static_cast<uint64_t>(STEP_LIMIT_MS)) return STEP_APPLY;
  return userAsked ? STEP_ASK : STEP_REFUSE;
}

void startBootMoves(ClockMoves& moves, uint64_t now) {
  moves.moved = 0;
  moves.countedFrom = now;
  moves.firstTaken = false;
}

void startClockMoves(ClockMoves& moves, uint64_t now) {
  moves.moved = 0;
  moves.countedFrom = now;
  moves.firstTaken = true;
}

StepDecision decideAutomaticStep(const ClockMoves& moves, int64_t step, uint64_t now) {
  const uint64_t size = magnitude(step);
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
  moves.moved = saturatingAdd(moves.moved, magnitude(step));
}

void noteRateMoved(ClockMoves& moves, uint64_t ms) { moves.moved = saturatingAdd(moves.moved, ms); }

namespace {

void packU64(uint64_t value, uint8_t* image) {
  for (int i = 0; i < 8; ++i) image[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t unpackU64(const uint8_t* image) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(image[i]) << (8 * i);
  return value;
}

}  // namespace

void packClockMoves(const ClockMoves& moves, const BootStamp& boot, uint8_t* image) {
  packBootStamp(boot, image);
  packU64(moves.moved, image + BOOT_STAMP_IMAGE_SIZE);
  packU64(moves.countedFrom, image + BOOT_STAMP_IMAGE_SIZE + 8);
  image[BOOT_STAMP_IMAGE_SIZE + 16] = moves.firstTaken ? 1 : 0;
}

ClockMoves restoreClockMoves(const uint8_t* image, int size, const BootStamp& now) {
  ClockMoves moves;
  startBootMoves(moves, now.counterMs);
  if (image == nullptr || size != CLOCK_MOVES_IMAGE_SIZE || !sameBoot(unpackBootStamp(image), now)) return moves;
  moves.moved = unpackU64(image + BOOT_STAMP_IMAGE_SIZE);
  // A start of the count after now is no count this boot can have made.
  const uint64_t from = unpackU64(image + BOOT_STAMP_IMAGE_SIZE + 8);
  moves.countedFrom = from <= now.counterMs ? from : now.counterMs;
  // Any other byte than "not yet" is taken as done: the stricter reading.
  moves.firstTaken = image[BOOT_STAMP_IMAGE_SIZE + 16] != 0;
  return moves;
}
