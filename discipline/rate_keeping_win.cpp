// Setting the clock's rate (implements rate_keeping_win.h): the precise
// adjustment pair where kernel32 has it, the older pair elsewhere; every
// setting read back, since a rate that does not take must not be counted on.
#include <windows.h>

#include "discipline/clock_history.h"
#include "discipline/history_text.h"
#include "discipline/rate_keeping_win.h"
#include "settings/settings.h"
#include "timebase/boot_stamp.h"
#include "timebase/clock.h"
#include "timebase/kernel_call_win.h"

RateKeeper clockRate;
RateKeeping rateKeeping;

namespace {

// ---- the system's calls ---------------------------------------------------------

bool enableSystemTimePrivilege() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled = LookupPrivilegeValueW(nullptr, L"SeSystemtimePrivilege", &privileges.Privileges[0].Luid) &&
                 AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                 GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return enabled;
}

// Asked at every clock tick while the rate is ours: the handles stay open, so
// each look is one status query.
bool windowsTimeRunning() {
  static SC_HANDLE manager, service;
  static bool opened;
  if (!opened) {
    opened = true;
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr) service = OpenServiceW(manager, L"W32Time", SERVICE_QUERY_STATUS);
  }
  SERVICE_STATUS status;
  return service != nullptr && QueryServiceStatus(service, &status) &&
         (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_START_PENDING);
}

ClockRateCalls systemCalls() {
  ClockRateCalls calls = {};
  calls.getAdjustment = GetSystemTimeAdjustment;
  calls.setAdjustment = SetSystemTimeAdjustment;
  calls.getPreciseAdjustment = kernelCall<decltype(calls.getPreciseAdjustment)>("GetSystemTimeAdjustmentPrecise");
  calls.setPreciseAdjustment = kernelCall<decltype(calls.setPreciseAdjustment)>("SetSystemTimeAdjustmentPrecise");
  calls.enableTimePrivilege = enableSystemTimePrivilege;
  calls.timeServiceRunning = windowsTimeRunning;
  calls.counterMs = readCounterMs;
  return calls;
}

ClockRateCalls calls;
bool callsChosen;
bool privilegeEnabled;

const ClockRateCalls& rateCalls() {
  if (!callsChosen) {
    calls = systemCalls();
    callsChosen = true;
  }
  return calls;
}

bool precise() { return rateCalls().getPreciseAdjustment != nullptr && rateCalls().setPreciseAdjustment != nullptr; }

// The system's adjustment now.
bool readAdjustment(uint64_t& adjustment, uint64_t& increment, bool& disabled) {
  BOOL off = TRUE;
  if (precise()) {
    DWORD64 a = 0, i = 0;
    if (!rateCalls().getPreciseAdjustment(&a, &i, &off)) return false;
    adjustment = a;
    increment = i;
  } else {
    DWORD a = 0, i = 0;
    if (!rateCalls().getAdjustment(&a, &i, &off)) return false;
    adjustment = a;
    increment = i;
  }
  disabled = off != FALSE;
  return true;
}

bool writeAdjustment(uint64_t adjustment, bool disabled) {
  if (!privilegeEnabled && rateCalls().enableTimePrivilege != nullptr)
    privilegeEnabled = rateCalls().enableTimePrivilege();
  if (precise()) return rateCalls().setPreciseAdjustment(adjustment, disabled ? TRUE : FALSE) != FALSE;
  if (adjustment > 0xFFFFFFFFu) return false;
  return rateCalls().setAdjustment(static_cast<DWORD>(adjustment), disabled ? TRUE : FALSE) != FALSE;
}

// ---- keeping it -----------------------------------------------------------------

bool keeper = true;             // this process holds the machine's keeper object
int64_t lastRunRatePpb;         // the mean compensation before the last run
bool rateLooked;                // this process has looked at the rate to take it
RateOwnership owner;
bool startsOursAllAlong;        // the start found the rate exactly as we left it this boot
bool rateIsProgramsAtStart;     // ... or healed what a dead keeper left

const int32_t ON_STARTUP = 1;

int32_t storedSchedule() {
  int32_t position = 0;
  readSetting("Schedule", &position, sizeof position);
  return position;
}

bool wantedAt(int32_t position) { return position >= 1 && position <= 9; }

// Whether a schedule is chosen, as the schedule last said, and which: "On
// Startup" keeps the rate only where this boot's runs support it.
bool scheduleChosen;
int32_t positionInForce;

bool rateWanted() { return scheduleChosen; }

bool readRate(RateSetting& now, uint64_t& increment) {
  bool disabled = true;
  if (!readAdjustment(now.adjustment, increment, disabled)) return false;
  now.disabled = disabled;
  return true;
}

BootStamp bootNow() { return stampBoot(readClock(), rateCalls().counterMs()); }

// What the program leaves in force as it ends, for the next start to know.
void noteRateLeft(const RateSetting* left) {
  uint8_t image[RATE_LEFT_IMAGE_SIZE];
  packRateLeft(left, bootNow(), image);
  writeSetting("RateLeft", image, sizeof image);
}

// "Disabled" goes with the nominal increment, as the system reports it.
void writeRate(const RateSetting& setting) {
  writeAdjustment(setting.disabled ? clockRate.increment : setting.adjustment, setting.disabled);
}

// The rate as the program found it, where what is in force is still ours.
void restoreFound() {
  RateSetting now, write;
  uint64_t increment = 0;
  if (readRate(now, increment) && settingToRestore(now, owner, write)) writeRate(write);
  owner.setBefore = false;
}

// Stops keeping: another keeper's value stays, ours goes back to what was found.
void backOff(RateKeeping why) {
  restoreFound();
  noteRateTaken(clockRate, false, rateCalls().counterMs());
  rateKeeping = why;
}

// Another program or Windows Time took over: what it does to the clock is no
// part of our runs' story.
void backOffForAnotherKeeper(RateKeeping who) {
  backOff(who);
  noteClockBreak();
}

bool timeServiceRunning() { return rateCalls().timeServiceRunning != nullptr && rateCalls().timeServiceRunning(); }

// Sets the adjustment and reads it back: only a rate that took is ours.
// Read first: a value that is neither ours nor the one found is another keeper's.
void setRate(uint64_t adjustment) {
  const uint64_t now = rateCalls().counterMs();
  RateSetting before;
  uint64_t increment = 0;
  if (!readRate(before, increment)) {
    backOff(RATE_NOT_TAKEN);
    return;
  }
  if (setByAnotherKeeper(before, owner)) {
    backOffForAnotherKeeper(RATE_OTHER_PROGRAM);
    return;
  }
  RateSetting readBack;
  const bool taken = writeAdjustment(adjustment, false) && readRate(readBack, increment) && !readBack.disabled &&
                     readBack.adjustment == adjustment && increment == clockRate.increment;
  if (!taken) {
    // Whatever of ours is still in force goes: it is no longer counted on.
    backOff(RATE_NOT_TAKEN);
    return;
  }
  owner.lastSet = readBack;
  owner.setBefore = true;
  noteRateTaken(clockRate, true, now);
  rateKeeping = RATE_KEPT;
}

// Takes the rate unless another keeper has it, from the increment the
// system reports.
void takeRate(uint64_t periodMs) {
  if (!keeper) {
    rateKeeping = RATE_OTHER_INSTANCE;
    return;
  }
  const uint64_t now = rateCalls().counterMs();
  if (timeServiceRunning()) {
    if (rateKeeping == RATE_KEPT) backOffForAnotherKeeper(RATE_OTHER_KEEPER);
    else backOff(RATE_OTHER_KEEPER);
    return;
  }
  RateSetting found;
  uint64_t increment = 0;
  rateLooked = true;
  if (!readRate(found, increment) || increment == 0) {
    backOff(RATE_NOT_TAKEN);
    return;
  }
  const bool ours = owner.setBefore && sameRateSetting(found, owner.lastSet);
  // Another program that set the rate is left to it while its value stands.
  if (rateKeeping == RATE_OTHER_PROGRAM && !ours && !found.disabled) return;
  takeOwnership(owner, found, rateKeeping == RATE_KEPT, rateIsProgramsAtStart);
  rateIsProgramsAtStart = false;
  if (rateKeeping != RATE_KEPT) noteRateLeft(nullptr);
  clockRate.increment = increment;
  setRate(keepRate(clockRate, now, periodMs));
}

const uint64_t HIDDEN_TICK_MS = 10000;

// "DriftPpb", when there is one that a crystal can have.
bool storedDrift(int64_t& ppb) {
  ppb = 0;
  return readSetting("DriftPpb", &ppb, sizeof ppb) && ppb <= DRIFT_PLAUSIBLE_PPB && ppb >= -DRIFT_PLAUSIBLE_PPB;
}

// With "On Startup" the program runs for one correction and ends: the drift
// is applied only where runs of this boot support it, since a start after a
// break (every start, unless the rate was ours all along) learns nothing.
bool driftSupportedOnStartup() {
  return applyDriftOnStartup(clockDrift.known, startsOursAllAlong, runsInNewestSpan(clockHistory) >= DRIFT_KNOWN_RUNS);
}

// The stored drift the start compensates (the schedule is applied after
// this: the stored position decides).
bool startingDrift(int64_t& ppb) {
  int64_t stored = 0;
  const bool known = storedDrift(stored);
  ppb = stored;
  if (storedSchedule() != ON_STARTUP) return known;
  return applyDriftOnStartup(known, startsOursAllAlong, false);
}

}  // namespace

void useClockRateCalls(const ClockRateCalls* replacement) {
  callsChosen = replacement != nullptr;
  if (replacement != nullptr) calls = *replacement;
  privilegeEnabled = false;
  clockRate = RateKeeper();
  rateKeeping = RATE_FREE;
  owner = RateOwnership();
  keeper = true;
  startsOursAllAlong = false;
  rateIsProgramsAtStart = false;
  rateLooked = false;
}

void setRateKeeper(bool holdsKeeper) { keeper = holdsKeeper; }

bool rateKeeper() { return keeper; }

bool healRateAtStart() {
  startsOursAllAlong = false;
  rateIsProgramsAtStart = false;
  if (!keeper) return false;
  RateSetting found;
  uint64_t increment = 0;
  if (!readRate(found, increment) || increment == 0) return false;
  uint8_t image[RATE_LEFT_IMAGE_SIZE];
  const int32_t size = readSettingBytes("RateLeft", image, sizeof image);
  if (rateOursAllAlong(image, size, bootNow(), found)) {
    startsOursAllAlong = true;
    rateIsProgramsAtStart = true;
    return false;
  }
  if (!rateLeftBehind(found, timeServiceRunning(), false)) return false;
  // Nothing of the old rate is known to be right but the compensation: a
  // slew left running would go on at up to 500 ppm.
  const int32_t position = storedSchedule();
  int64_t compensation = 0;
  if (!wantedAt(position) || position == ON_STARTUP || !storedDrift(compensation)) compensation = 0;
  if (compensation != 0) writeAdjustment(adjustmentForPpb(compensation, increment), false);
  else writeAdjustment(increment, true);
  noteRateLeft(nullptr);
  rateIsProgramsAtStart = true;
  return true;
}

bool startJoinsEarlierRuns() { return startsOursAllAlong; }

void startRateKeeping() {
  clockRate = RateKeeper();
  rateKeeping = keeper ? RATE_FREE : RATE_OTHER_INSTANCE;
  owner = RateOwnership();
  if (startsOursAllAlong) continueHistorySpan();
  int64_t stored;
  if (startingDrift(stored)) resumeCompensation(clockRate, stored, rateCalls().counterMs());
  if (rateWanted()) takeRate(HIDDEN_TICK_MS);
}

void keepClockRate(uint64_t periodMs) {
  // Kept or not, the time is booked for the mean rate of the next entry.
  const uint64_t adjustment = keepRate(clockRate, rateCalls().counterMs(), periodMs);
  if (rateKeeping != RATE_KEPT) return;
  // Windows Time started since: its value must not be overwritten at our next tick.
  if (timeServiceRunning()) {
    backOffForAnotherKeeper(RATE_OTHER_KEEPER);
    return;
  }
  setRate(adjustment);
}

void rateFollowsSchedule(bool scheduled) {
  scheduleChosen = scheduled;
  positionInForce = storedSchedule();
  if (!rateWanted()) {
    if (rateKeeping != RATE_FREE && rateKeeping != RATE_OTHER_INSTANCE) giveRateBack();
    return;
  }
  if (rateKeeping == RATE_FREE) takeRate(HIDDEN_TICK_MS);
}

void holdRateForRun() {
  if (!rateWanted()) return;
  // Windows Time may have started since, or a rate that did not take may take now.
  takeRate(HIDDEN_TICK_MS);
  if (rateKeeping == RATE_KEPT) setRate(holdSlew(clockRate, rateCalls().counterMs(), HIDDEN_TICK_MS));
}

bool slewInsteadOfStep(int64_t correctionUs, bool automaticRun) {
  return slewsCorrection(correctionUs, automaticRun, rateKeeping == RATE_KEPT && clockRate.inForce);
}

void completeEntryForRate(HistoryEntry& entry) {
  completeRunEntry(clockRate, entry, rateCalls().counterMs());
  lastRunRatePpb = entry.rateBeforePpb;
}

uint64_t rateMoveOfLastRunMs() {
  return static_cast<uint64_t>(
      unexplainedMovementUs(lastRunRatePpb, clockDrift.uncertaintyPpb, clockRate.lastRunSpanMs) / 1000);
}

void rateAfterRun(const HistoryEntry& entry, const DriftEstimate& drift) {
  const uint64_t now = rateCalls().counterMs();
  // What the rate cancels is what is stored: a restart cannot skip the bound.
  if (followDrift(clockRate, drift, now)) {
    uint8_t image[8];
    packInt64(clockRate.compensationPpb, image);
    writeSetting("DriftPpb", image, sizeof image);
  }
  applyRunAction(clockRate, entry);
  if (rateKeeping == RATE_KEPT) setRate(keepRate(clockRate, now, HIDDEN_TICK_MS));
}

void rateAfterResume() {
  restartRate(clockRate, rateCalls().counterMs());
  if (rateWanted()) takeRate(HIDDEN_TICK_MS);
}

void leaveRateAtExit() {
  if (rateKeeping != RATE_KEPT) return;
  if (positionInForce == ON_STARTUP && !driftSupportedOnStartup()) {
    restoreFound();
    RateSetting now;
    uint64_t increment = 0;
    if (readRate(now, increment)) noteRateLeft(&now);
    return;
  }
  restartRate(clockRate, rateCalls().counterMs());
  RateSetting left;
  left.adjustment = adjustmentForPpb(clockRate.compensationPpb, clockRate.increment);
  left.disabled = false;
  // The last look before our last write: another keeper's value stays.
  RateSetting now;
  uint64_t increment = 0;
  if (!readRate(now, increment) || setByAnotherKeeper(now, owner)) return;
  if (!writeAdjustment(left.adjustment, false)) return;
  owner.lastSet = left;
  noteRateLeft(&left);
}

void rateAtCrash() {
  // No reads of the registry or allocations here: only the rate call.
  if (rateKeeping != RATE_KEPT || !owner.setBefore) return;
  if (rateWanted() && positionInForce != ON_STARTUP)
    writeAdjustment(adjustmentForPpb(clockRate.compensationPpb, clockRate.increment), false);
  else
    writeRate(owner.found);
}

void giveRateBack() {
  if (owner.setBefore) {
    restoreFound();
  } else if (keeper && !rateLooked) {
    // A fresh process (uninstall): the rate a quit or dead instance left goes
    // back to the system, unless Windows Time keeps it.
    RateSetting now;
    uint64_t increment = 0;
    if (readRate(now, increment) && rateLeftBehind(now, timeServiceRunning(), false))
      writeAdjustment(increment, true);
  }
  releaseRate(clockRate, rateCalls().counterMs());
  rateKeeping = keeper ? RATE_FREE : RATE_OTHER_INSTANCE;
  if (keeper) noteRateLeft(nullptr);
}

int64_t rateInForcePpb() {
  return rateKeeping == RATE_KEPT ? clockRate.compensationPpb : 0;
}

int64_t slewLeftNowUs() { return rateKeeping == RATE_KEPT ? slewLeftUs(clockRate) : 0; }

void describeRateKeeping(char* text, size_t size) {
  formatRateKeeping(rateKeeping, clockRate.compensationPpb, slewLeftNowUs(), text, size);
}
