// The step limit's count over the runs of this process (implements
// clock_moves_win.h).
#include "correction/clock_moves_win.h"

#include "timebase/clock.h"

static ClockMoves clockMoves;
static bool clockMovesCounted;

StepDecision decideRunStep(int64_t correction, bool userAsked) {
  const uint64_t now = readCounterMs();
  if (!clockMovesCounted) startClockMoves(clockMoves, now);
  clockMovesCounted = true;
  if (userAsked) return decideStep(correction, true);
  return decideAutomaticStep(clockMoves, correction, now);
}

void countStep(Millis1900 setTo, int64_t step, bool confirmed) {
  if (setTo == 0) return;
  if (confirmed) startClockMoves(clockMoves, readCounterMs());
  else noteClockMoved(clockMoves, step);
}
