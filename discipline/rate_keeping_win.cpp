// Setting the clock's rate (implements rate_keeping_win.h): the precise
// adjustment pair where kernel32 has it, the older pair elsewhere; every
// setting read back, since a rate that does not take must not be counted on.
#include <windows.h>

#include "correction/consensus.h"
#include "discipline/clock_history.h"
#include "discipline/history_text.h"
#include "discipline/rate_keeping_win.h"
#include "settings/settings.h"
#include "shell/schedule.h"
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

bool windowsTimeRunning() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  bool running = false;
  SC_HANDLE service = OpenServiceW(manager, L"W32Time", SERVICE_QUERY_STATUS);
  if (service != nullptr) {
    SERVICE_STATUS status;
    running = QueryServiceStatus(service, &status) &&
              (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_START_PENDING);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return running;
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

bool rateWanted() { return schedulePosition >= 1 && schedulePosition <= 9; }

// Sets the adjustment and reads it back: only a rate that took is ours.
void setRate(uint64_t adjustment) {
  const uint64_t now = rateCalls().counterMs();
  uint64_t readBack = 0, increment = 0;
  bool disabled = true;
  const bool taken = writeAdjustment(adjustment, false) && readAdjustment(readBack, increment, disabled) &&
                     !disabled && readBack == adjustment && increment == clockRate.increment;
  noteRateTaken(clockRate, taken, now);
  rateKeeping = taken ? RATE_KEPT : RATE_NOT_TAKEN;
}

// Takes the rate unless another keeper has it, from the increment the
// system reports.
void takeRate(uint64_t periodMs) {
  const uint64_t now = rateCalls().counterMs();
  if (rateCalls().timeServiceRunning != nullptr && rateCalls().timeServiceRunning()) {
    noteRateTaken(clockRate, false, now);
    rateKeeping = RATE_OTHER_KEEPER;
    return;
  }
  uint64_t adjustment = 0, increment = 0;
  bool disabled = true;
  if (!readAdjustment(adjustment, increment, disabled) || increment == 0) {
    noteRateTaken(clockRate, false, now);
    rateKeeping = RATE_NOT_TAKEN;
    return;
  }
  clockRate.increment = increment;
  setRate(keepRate(clockRate, now, periodMs));
}

const uint64_t HIDDEN_TICK_MS = 10000;

// "DriftPpb", when there is one that a crystal can have.
bool storedDrift(int64_t& ppb) {
  ppb = 0;
  return readSetting("DriftPpb", &ppb, sizeof ppb) && ppb <= DRIFT_PLAUSIBLE_PPB && ppb >= -DRIFT_PLAUSIBLE_PPB;
}

}  // namespace

void useClockRateCalls(const ClockRateCalls* replacement) {
  callsChosen = replacement != nullptr;
  if (replacement != nullptr) calls = *replacement;
  privilegeEnabled = false;
  clockRate = RateKeeper();
  rateKeeping = RATE_FREE;
}

void startRateKeeping() {
  clockRate = RateKeeper();
  rateKeeping = RATE_FREE;
  int64_t stored;
  if (storedDrift(stored)) resumeCompensation(clockRate, stored, rateCalls().counterMs());
  if (rateWanted()) takeRate(HIDDEN_TICK_MS);
}

void keepClockRate(uint64_t periodMs) {
  // Kept or not, the time is booked for the mean rate of the next entry.
  const uint64_t adjustment = keepRate(clockRate, rateCalls().counterMs(), periodMs);
  if (rateKeeping == RATE_KEPT) setRate(adjustment);
}

void rateFollowsSchedule() {
  if (!rateWanted()) {
    if (rateKeeping != RATE_FREE) giveRateBack();
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

void completeEntryForRate(HistoryEntry& entry) { completeRunEntry(clockRate, entry, rateCalls().counterMs()); }

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
  restartRate(clockRate, rateCalls().counterMs());
  writeAdjustment(adjustmentForPpb(clockRate.compensationPpb, clockRate.increment), false);
}

void giveRateBack() {
  uint64_t adjustment = 0, increment = 0;
  bool disabled = true;
  if (readAdjustment(adjustment, increment, disabled)) writeAdjustment(increment, true);
  releaseRate(clockRate, rateCalls().counterMs());
  rateKeeping = RATE_FREE;
}

int64_t rateInForcePpb() {
  return rateKeeping == RATE_KEPT ? clockRate.compensationPpb : 0;
}

int64_t slewLeftNowUs() { return rateKeeping == RATE_KEPT ? slewLeftUs(clockRate) : 0; }

void describeRateKeeping(char* text, size_t size) {
  formatRateKeeping(rateKeeping, clockRate.compensationPpb, slewLeftNowUs(), text, size);
}
