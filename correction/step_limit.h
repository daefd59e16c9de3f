// The largest step the program takes on its own: servers that all claim a
// time far from the clock are more likely wrong (or hostile) than the clock.
#pragma once
#include <cstdint>

const int64_t STEP_LIMIT_MS = 54000000;  // 15 hours, either way

enum StepDecision { STEP_APPLY, STEP_ASK, STEP_REFUSE };

// Within the limit: apply. Beyond it: ask when the user started the run with
// the window in view, otherwise refuse.
StepDecision decideStep(int64_t correction, bool userAsked);
