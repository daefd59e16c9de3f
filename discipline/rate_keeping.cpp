// The clock's rate: compensation, carried fraction and slews (implements
// rate_keeping.h). All in integers: a ppb x ms product stays far inside
// 64 bits for any rate a crystal or a slew can have.
#include "discipline/rate_keeping.h"

#include "timebase/byte_order.h"

namespace {

const int64_t PPB = 1000000000;
const int64_t US_IN_GAP = 1000000;  // ppb x ms in a microsecond
// Far beyond any compensation and slew together; keeps the products small.
const int64_t PPB_LIMIT = 5000000;

int64_t clampPpb(int64_t ppb) { return ppb > PPB_LIMIT ? PPB_LIMIT : ppb < -PPB_LIMIT ? -PPB_LIMIT : ppb; }

// a / b rounded to the nearest, halves away from zero; b > 0.
int64_t divideRounded(int64_t a, int64_t b) { return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b); }

// The rate correction of one unit: the carried fraction stays within it.
int64_t unitPpb(const RateKeeper& k) { return k.increment == 0 ? 0 : PPB / static_cast<int64_t>(k.increment) + 1; }

// Books the time since the last tick: what the adjustment in force did
// against what it should have done.
void account(RateKeeper& k, uint64_t nowMs) {
  if (k.ticked && nowMs > k.lastTickMs) {
    const int64_t elapsed = static_cast<int64_t>(nowMs - k.lastTickMs);
    if (k.inForce && k.increment != 0) {
      const int64_t applied = ppbOfAdjustment(k.adjustment, k.increment);
      k.gap += (k.compensationPpb - applied) * elapsed;
      k.compensationSinceRun += k.compensationPpb * elapsed;
    }
    k.msSinceRun += elapsed;
  }
  k.ticked = true;
  k.lastTickMs = nowMs;
}

}  // namespace

uint64_t adjustmentForPpb(int64_t ppb, uint64_t increment) {
  const int64_t inc = static_cast<int64_t>(increment);
  return static_cast<uint64_t>(inc - divideRounded(inc * clampPpb(ppb), PPB));
}

int64_t ppbOfAdjustment(uint64_t adjustment, uint64_t increment) {
  if (increment == 0) return 0;
  const int64_t inc = static_cast<int64_t>(increment);
  return divideRounded((inc - static_cast<int64_t>(adjustment)) * PPB, inc);
}

uint64_t keepRate(RateKeeper& k, uint64_t nowMs, uint64_t periodMs) {
  account(k, nowMs);
  if (k.increment == 0) return 0;
  const int64_t period = periodMs == 0 ? 1 : static_cast<int64_t>(periodMs);
  if (k.slewing && (k.gap < 0 ? -k.gap : k.gap) <= unitPpb(k) * period) k.slewing = false;
  int64_t extra = k.gap / period;
  // While a run measures, only the carried fraction is made up.
  const int64_t most = k.holding ? unitPpb(k) : SLEW_RATE_PPB;
  if (extra > most) extra = most;
  if (extra < -most) extra = -most;
  k.adjustment = adjustmentForPpb(k.compensationPpb + extra, k.increment);
  return k.adjustment;
}

void noteRateTaken(RateKeeper& k, bool taken, uint64_t nowMs) {
  account(k, nowMs);
  if (!taken) {
    k.gap = 0;
    k.slewing = false;
  }
  k.inForce = taken;
}

void setCompensation(RateKeeper& k, int64_t ppb, uint64_t nowMs) {
  account(k, nowMs);
  k.compensationPpb = clampPpb(ppb);
}

void releaseRate(RateKeeper& k, uint64_t nowMs) { noteRateTaken(k, false, nowMs); }

void restartRate(RateKeeper& k, uint64_t nowMs) {
  account(k, nowMs);
  k.gap = 0;
  k.slewing = false;
}

uint64_t holdSlew(RateKeeper& k, uint64_t nowMs, uint64_t periodMs) {
  k.holding = true;
  return keepRate(k, nowMs, periodMs);
}

int64_t slewLeftUs(const RateKeeper& k) { return k.slewing ? -k.gap / US_IN_GAP : 0; }

void completeRunEntry(RateKeeper& k, HistoryEntry& entry, uint64_t nowMs) {
  account(k, nowMs);
  k.holding = false;
  entry.rateBeforePpb =
      k.msSinceRun > 0 ? static_cast<int32_t>(divideRounded(k.compensationSinceRun, k.msSinceRun)) : 0;
  const int64_t left = slewLeftUs(k);
  entry.slewLeftUs = static_cast<int32_t>(left > SLEW_LEFT_LIMIT_US    ? SLEW_LEFT_LIMIT_US
                                          : left < -SLEW_LEFT_LIMIT_US ? -SLEW_LEFT_LIMIT_US
                                                                       : left);
  k.lastRunSpanMs = k.msSinceRun;
  k.compensationSinceRun = 0;
  k.msSinceRun = 0;
}

void applyRunAction(RateKeeper& k, const HistoryEntry& entry) {
  switch (entry.action) {
    case ACTION_SLEWED:
      // The run measured the clock as it is, the old slew's remainder included.
      k.gap = -entry.offsetUs * US_IN_GAP;
      k.slewing = true;
      break;
    case ACTION_STEPPED:
      k.gap = 0;
      k.slewing = false;
      break;
    default:
      break;  // nothing moved: an unfinished slew goes on
  }
}

bool slewsCorrection(int64_t correctionUs, bool automaticRun, bool rateInForce) {
  return automaticRun && rateInForce && magnitudeOf(correctionUs) < static_cast<uint64_t>(SLEW_LIMIT_US);
}

int64_t compensationFor(const DriftEstimate& drift, int64_t current, bool currentKnown, int64_t elapsedMs) {
  return drift.known ? nextCompensationPpb(drift.ppb, current, currentKnown, elapsedMs) : current;
}

void resumeCompensation(RateKeeper& k, int64_t storedPpb, uint64_t nowMs) {
  setCompensation(k, nextCompensationPpb(storedPpb, 0, false, 0), nowMs);
  k.compensationKnown = true;
  k.compensationAtMs = nowMs;
}

bool followDrift(RateKeeper& k, const DriftEstimate& drift, uint64_t nowMs) {
  if (!drift.known) return false;
  const int64_t elapsed = nowMs > k.compensationAtMs ? static_cast<int64_t>(nowMs - k.compensationAtMs) : 0;
  setCompensation(k, compensationFor(drift, k.compensationPpb, k.compensationKnown, elapsed), nowMs);
  k.compensationKnown = true;
  k.compensationAtMs = nowMs;
  return true;
}

bool sameRateSetting(const RateSetting& a, const RateSetting& b) {
  if (a.disabled || b.disabled) return a.disabled == b.disabled;
  return a.adjustment == b.adjustment;
}

bool setByAnotherKeeper(const RateSetting& now, const RateOwnership& owner) {
  if (owner.setBefore && sameRateSetting(now, owner.lastSet)) return false;
  return !sameRateSetting(now, owner.found);
}

void takeOwnership(RateOwnership& owner, const RateSetting& found, bool keptUntilNow, bool programsAtStart) {
  if (owner.setBefore && sameRateSetting(found, owner.lastSet)) return;
  if (!keptUntilNow) {
    owner.found = found;
    if (programsAtStart) {
      owner.found.adjustment = 0;
      owner.found.disabled = true;
    }
  }
  owner.setBefore = programsAtStart && !found.disabled;
  if (owner.setBefore) owner.lastSet = found;
}

bool settingToRestore(const RateSetting& now, const RateOwnership& owner, RateSetting& write) {
  if (!owner.setBefore || !sameRateSetting(now, owner.lastSet)) return false;
  if (sameRateSetting(now, owner.found)) return false;
  write = owner.found;
  return true;
}

bool rateLeftBehind(const RateSetting& now, bool timeServiceRunning, bool otherInstanceKeeps) {
  return !now.disabled && !timeServiceRunning && !otherInstanceKeeps;
}

void packRateLeft(const RateSetting* left, const BootStamp& boot, uint8_t* image) {
  packBootStamp(boot, image);
  putLittleEndian(image + BOOT_STAMP_IMAGE_SIZE, left != nullptr ? left->adjustment : 0, 8);
  image[BOOT_STAMP_IMAGE_SIZE + 8] = left != nullptr && left->disabled ? 1 : 0;
  image[BOOT_STAMP_IMAGE_SIZE + 9] = left != nullptr ? 1 : 0;
}

bool rateOursAllAlong(const uint8_t* image, int size, const BootStamp& now, const RateSetting& found) {
  if (image == nullptr || size != RATE_LEFT_IMAGE_SIZE || image[BOOT_STAMP_IMAGE_SIZE + 9] != 1) return false;
  if (!sameBoot(unpackBootStamp(image), now)) return false;
  RateSetting left;
  left.adjustment = getLittleEndian(image + BOOT_STAMP_IMAGE_SIZE, 8);
  left.disabled = image[BOOT_STAMP_IMAGE_SIZE + 8] != 0;
  return sameRateSetting(left, found);
}
