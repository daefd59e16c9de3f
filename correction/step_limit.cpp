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

void startClockMoves(ClockMoves& moves, uint64_t now) {
  moves.moved = 0;
  moves.countedFrom = now;
}

StepDecision decideAutomaticStep(const ClockMoves& moves, int64_t step, uint64_t now) {
  const uint64_t size = magnitude(step);
  if (size > static_cast<uint64_t>(STEP_LIMIT_MS)) return STEP_REFUSE;
  const uint64_t elapsed = now > moves.countedFrom ? now - moves.countedFrom : 0;
  const uint64_t drift = elapsed / (1000000u / static_cast<uint64_t>(CLOCK_DRIFT_ALLOWANCE_PPM));
  const uint64_t allowed = static_cast<uint64_t>(STEP_LIMIT_MS) + drift;
  return saturatingAdd(moves.moved, size) <= allowed ? STEP_APPLY : STEP_REFUSE;
}

void noteClockMoved(ClockMoves& moves, int64_t step) {
  moves.moved = saturatingAdd(moves.moved, magnitude(step));
}
