// Applying a correcting run's consensus: outliers marked unused, the clock
// shifted by the servers' agreed correction, the correction recorded and
// announced to all windows.
#include <windows.h>

#include "correction/consensus.h"
#include "correction/correction.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "settings/settings.h"
#include "shell/main_window_win.h"
#include "shell/schedule.h"
#include "timebase/clock.h"

uint8_t correctionFailed;
Millis1900 lastCorrectionTime;
int64_t lastCorrectionValue;

// Each window gets this long to take the time-change notice; hung windows of
// other programs are skipped at once instead of freezing our timers and queries.
static const UINT BROADCAST_WAIT_MS = 3000;
static const UINT EXIT_DELAY_MS = 10000;

void applyConsensus() {
  OffsetBounds bounds[SERVER_SLOTS];
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) bounds[slot] = serverQueries[slot].bounds;
  const ConsensusResult result = computeConsensus(serverRecords, bounds);
  for (int i = 0; i < result.excludedCount; ++i) {
    const int slot = result.excluded[i];
    serverRecords[slot].status = STATUS_UNUSED;
    serverQueries[slot].dirty = 1;
    saveServer(slot);
  }
  if (!result.found) {
    correctionFailed = 1;
    return;
  }

  const Millis1900 setTo = shiftClock(result.correction);
  lastCorrectionValue = result.correction;
  lastCorrectionTime = setTo;
  // A clock that could not be set keeps the run's start as the base, so the
  // schedule retries one interval later rather than on every clock tick.
  if (setTo != 0) scheduleBase = setTo;

  uint8_t image[8];
  packInt64(lastCorrectionTime, image);
  writeSetting("LastCorrectionTime", image, sizeof image);
  packInt64(lastCorrectionValue, image);
  writeSetting("LastCorrectionValue", image, sizeof image);

  if (exitAfterCorrection) SetTimer(mainWindow, TIMER_EXIT, EXIT_DELAY_MS, nullptr);
  SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0, SMTO_ABORTIFHUNG, BROADCAST_WAIT_MS,
                      nullptr);
}
