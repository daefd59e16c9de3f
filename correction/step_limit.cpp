// The step limit (implements step_limit.h).
#include "correction/step_limit.h"

StepDecision decideStep(int64_t correction, bool userAsked) {
  // The magnitude unsigned: -2^63 has no signed absolute value.
  const uint64_t magnitude = correction < 0 ? 0 - static_cast<uint64_t>(correction)
                                            : static_cast<uint64_t>(correction);
  if (magnitude <= static_cast<uint64_t>(STEP_LIMIT_MS)) return STEP_APPLY;
  return userAsked ? STEP_ASK : STEP_REFUSE;
}
