// The consensus of a correcting run: outliers dropped one at a time, farthest
// from the mean first, then the interval most of the rest agree on.
#include "correction/consensus.h"

#include "correction/authenticated_agreement.h"
#include "query/agreement.h"

static bool counts(const ServerRecord& record, const bool excluded[SERVER_SLOTS], int slot) {
  return record.name[0] != '\0' && record.status == STATUS_GOOD && !excluded[slot];
}

// |a - b| exactly, for any two 64-bit values.
static uint64_t distance(int64_t a, int64_t b) {
  return a >= b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
                : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

static OffsetBounds keptBounds(const ServerRecord& record, const OffsetBounds& boundsUs) {
  return boundsHold(boundsUs) ? boundsUs : boundsInMicros(boundsAround(record.correction));
}

static uint32_t clampedUs(uint64_t us) { return us > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(us); }

// The remaining servers' bounds, and where most of them agree.
static void applyAgreement(const ServerRecord records[SERVER_SLOTS], const OffsetBounds boundsUs[SERVER_SLOTS],
                           const bool excluded[SERVER_SLOTS], ConsensusResult& result) {
  OffsetBounds kept[SERVER_SLOTS];
  int n = 0;
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    if (!counts(records[slot], excluded, slot)) continue;
    kept[n++] = keptBounds(records[slot], boundsUs[slot]);
  }
  result.correction = result.mean;
  result.offsetUs = microsFromMillis(result.mean);
  result.agreeing = 0;
  if (n >= 2) {
    const Agreement agreement = findAgreement(kept, n);
    if (agreement.count >= 2) {
      result.offsetUs = boundsMidpoint(agreement.bounds);
      result.correction = nearestMillis(result.offsetUs);
      result.agreeing = agreement.count;
      result.uncertaintyUs = clampedUs(
          (static_cast<uint64_t>(agreement.bounds.high) - static_cast<uint64_t>(agreement.bounds.low) + 1) / 2);
      return;
    }
  }
  // The mean: the truth lies where the servers' bounds reach, at most.
  uint64_t reach = 0;
  for (int i = 0; i < n; ++i) {
    const uint64_t below = distance(kept[i].low, result.offsetUs);
    const uint64_t above = distance(kept[i].high, result.offsetUs);
    if (below > reach) reach = below;
    if (above > reach) reach = above;
  }
  result.uncertaintyUs = clampedUs(reach);
  if (n == 1) result.agreeing = 1;
}

ConsensusResult computeConsensus(const ServerRecord records[SERVER_SLOTS],
                                 const OffsetBounds boundsUs[SERVER_SLOTS]) {
  ConsensusResult result = {};
  bool excluded[SERVER_SLOTS] = {};
  for (int slot = 0; slot < SERVER_SLOTS; ++slot)
    if (counts(records[slot], excluded, slot)) ++result.usable;
  for (;;) {
    uint64_t sum = 0;  // wraps like the signed sum, without undefined overflow
    int64_t n = 0;
    for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
      if (!counts(records[slot], excluded, slot)) continue;
      sum += static_cast<uint64_t>(records[slot].correction);
      ++n;
    }
    if (n == 0) return result;
    const int64_t mean = static_cast<int64_t>(sum) / n;

    // ">=" on purpose: among equal deviations the later slot is dropped, so
    // the servers higher in the list are preferred.
    uint64_t maxDev = 0;
    int farthest = -1;
    for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
      if (!counts(records[slot], excluded, slot)) continue;
      const uint64_t dev = distance(records[slot].correction, mean);
      if (dev >= maxDev) {
        maxDev = dev;
        farthest = slot;
      }
    }
    if (maxDev < static_cast<uint64_t>(OUTLIER_LIMIT_MS)) {
      result.found = true;
      result.mean = mean;
      applyAgreement(records, boundsUs, excluded, result);
      return result;
    }
    excluded[farthest] = true;
    result.excluded[result.excludedCount++] = farthest;
  }
}

int64_t recordedCorrection(const ServerRecord records[SERVER_SLOTS], const OffsetBounds bounds[SERVER_SLOTS],
                           const ConsensusResult& result, int slot) {
  const ServerRecord& record = records[slot];
  bool excluded[SERVER_SLOTS] = {};
  for (int i = 0; i < result.excludedCount; ++i) excluded[result.excluded[i]] = true;
  if (result.agreeing < 2 || !counts(record, excluded, slot)) return record.correction;
  const OffsetBounds own = boundsHold(bounds[slot]) ? bounds[slot] : boundsAround(record.correction);
  // The bounds are half-open: the last point of bounds lying below is high - 1.
  if (result.correction < own.low) return own.low;
  if (result.correction >= own.high) return own.high - 1;
  return result.correction;
}

ConsensusResult computeAuthenticatedConsensus(const ServerRecord records[SERVER_SLOTS],
                                              const OffsetBounds boundsUs[SERVER_SLOTS],
                                              const bool authenticated[SERVER_SLOTS]) {
  const bool none[SERVER_SLOTS] = {};
  OffsetBounds kept[SERVER_SLOTS];
  bool proven[SERVER_SLOTS];
  int slots[SERVER_SLOTS];
  int n = 0, provenCount = 0;
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) {
    if (!counts(records[slot], none, slot)) continue;
    kept[n] = keptBounds(records[slot], boundsUs[slot]);
    // Only bounds the answers themselves proved: a whole-second guess around
    // the correction is not the server's statement.
    proven[n] = authenticated[slot] && boundsHold(boundsUs[slot]);
    if (proven[n]) ++provenCount;
    slots[n++] = slot;
  }
  if (provenCount == 0) return computeConsensus(records, boundsUs);

  const AuthenticatedAgreement agreement = findAuthenticatedAgreement(kept, proven, n);
  ConsensusResult result = {};
  result.found = true;
  result.usable = n;
  result.authenticated = provenCount;
  result.offsetUs = boundsMidpoint(agreement.bounds);
  result.correction = nearestMillis(result.offsetUs);
  result.mean = result.correction;
  result.agreeing = agreement.authenticated + agreement.narrowing;
  result.uncertaintyUs = clampedUs(
      (static_cast<uint64_t>(agreement.bounds.high) - static_cast<uint64_t>(agreement.bounds.low) + 1) / 2);
  for (int i = 0; i < n; ++i) {
    if (kept[i].low <= result.offsetUs && result.offsetUs < kept[i].high) continue;
    result.excluded[result.excludedCount++] = slots[i];
  }
  return result;
}
