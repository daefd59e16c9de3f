// The drift estimate (implements drift.h): a weighted least-squares rate
// shared by the spans of the history, each span with its own offset.
#include "discipline/drift.h"

#include <cmath>

namespace {

// Every run counts as at least this uncertain: the clock readings themselves
// are not better, and no run may outweigh all others.
const double UNCERTAINTY_FLOOR_US = 50.0;
// How fast the crystal's rate wanders, as the offset error a straight line
// makes over an age t (seconds): WANDER * t^2 microseconds. A daily swing of
// +-3 ppm with temperature bends the line by about this much.
const double WANDER_US_PER_S2 = 1e-4;
// A run this many of its own deviations off the fitted line is left out.
const double OUTLIER_DEVIATIONS = 3.0;
// A crystal of unknown rate is assumed within this much of nominal.
const double UNKNOWN_DRIFT_PPB = 100000.0;

struct Point {
  double t;    // s, relative to the newest entry
  double u;    // us: the offset as it would be without our corrections
  double var;  // us^2
  int span;
  bool out;
};

struct Fit {
  bool ok;
  double slope;     // us per s, that is ppm of the offset's growth
  double variance;  // of the slope
  int used;
};

// The weighted mean time and offset of a span's runs; returns how many runs
// the span has in the fit.
int spanMeans(const Point* points, int n, int span, double& tMean, double& uMean) {
  double w = 0.0, wt = 0.0, wu = 0.0;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (points[i].span != span || points[i].out) continue;
    const double weight = 1.0 / points[i].var;
    w += weight;
    wt += weight * points[i].t;
    wu += weight * points[i].u;
    ++count;
  }
  tMean = count > 0 ? wt / w : 0.0;
  uMean = count > 0 ? wu / w : 0.0;
  return count;
}

Fit fitRate(const Point* points, int n, int spans) {
  Fit fit = {false, 0.0, 0.0, 0};
  double stt = 0.0, stu = 0.0;
  for (int s = 0; s < spans; ++s) {
    double tMean, uMean;
    const int count = spanMeans(points, n, s, tMean, uMean);
    if (count < 2) continue;  // a lone run says nothing about the rate
    for (int i = 0; i < n; ++i) {
      if (points[i].span != s || points[i].out) continue;
      const double weight = 1.0 / points[i].var;
      stt += weight * (points[i].t - tMean) * (points[i].t - tMean);
      stu += weight * (points[i].t - tMean) * (points[i].u - uMean);
    }
    fit.used += count;
  }
  if (!(stt > 0.0) || !std::isfinite(stu / stt)) return fit;
  fit.ok = true;
  fit.slope = stu / stt;
  fit.variance = 1.0 / stt;
  return fit;
}

// The run farthest off the fitted line, in its own deviations; -1 when none
// is beyond the limit.
int worstRun(const Point* points, int n, int spans, const Fit& fit) {
  int worst = -1;
  double worstZ = OUTLIER_DEVIATIONS;
  for (int s = 0; s < spans; ++s) {
    double tMean, uMean;
    if (spanMeans(points, n, s, tMean, uMean) < 2) continue;
    for (int i = 0; i < n; ++i) {
      if (points[i].span != s || points[i].out) continue;
      const double residual = points[i].u - (uMean + fit.slope * (points[i].t - tMean));
      const double z = std::fabs(residual) / std::sqrt(points[i].var);
      if (z > worstZ) {
        worstZ = z;
        worst = i;
      }
    }
  }
  return worst;
}

// Held within +-(2^63 - 1), so that its sign can always be turned.
int64_t toPpb(double usPerSecond) {
  const double ppb = usPerSecond * 1000.0;
  if (ppb != ppb) return 0;
  if (!(ppb < 9e18) || !(ppb > -9e18)) return ppb > 0 ? INT64_MAX : -INT64_MAX;
  return static_cast<int64_t>(std::llround(ppb));
}

// a - b, held at the ends of 64 bits.
int64_t saturatingDifference(int64_t a, int64_t b) {
  if (b < 0 && a > INT64_MAX + b) return INT64_MAX;
  if (b > 0 && a < INT64_MIN + b) return INT64_MIN;
  return a - b;
}

}  // namespace

int64_t appliedByRun(const HistoryEntry& entry, const HistoryEntry* next, int64_t slewLeftUs) {
  switch (entry.action) {
    case ACTION_STEPPED: {
      // Held at the ends of 64 bits, which no real step comes near.
      const int64_t ms = nearestMillis(entry.offsetUs);
      if (ms > INT64_MAX / 1000) return INT64_MAX / 1000 * 1000;
      if (ms < INT64_MIN / 1000) return INT64_MIN / 1000 * 1000;
      return ms * 1000;
    }
    case ACTION_SLEWED: return saturatingDifference(entry.offsetUs, next != nullptr ? next->slewLeftUs : slewLeftUs);
    default: return 0;
  }
}

bool clockJumped(int64_t clockElapsedUs, int64_t counterElapsedUs) {
  const uint64_t apart = clockElapsedUs >= counterElapsedUs
                             ? static_cast<uint64_t>(clockElapsedUs) - static_cast<uint64_t>(counterElapsedUs)
                             : static_cast<uint64_t>(counterElapsedUs) - static_cast<uint64_t>(clockElapsedUs);
  const uint64_t span = counterElapsedUs < 0 ? 0 : static_cast<uint64_t>(counterElapsedUs);
  return apart > static_cast<uint64_t>(CLOCK_JUMP_SLACK_US) + span / 1000000u * CLOCK_JUMP_RATE_PPM +
                     span % 1000000u * CLOCK_JUMP_RATE_PPM / 1000000u;
}

DriftEstimate estimateDrift(const HistoryLog& log) {
  DriftEstimate estimate = {};
  const int count = historySize(log);
  if (count == 0) return estimate;

  // Entries no run writes are passed over as the image reader drops them:
  // the next one starts a span of its own.
  int newestPossible = count - 1;
  while (newestPossible >= 0 && !historyEntryPossible(log.entries[newestPossible])) --newestPossible;
  if (newestPossible < 0) return estimate;
  Point points[HISTORY_CAPACITY];
  int n = 0, span = 0;
  bool passedOver = false;
  double unwound = 0.0;  // us added to each offset of the current span
  const double newest = static_cast<double>(log.entries[newestPossible].measuredAt);
  for (int i = 0; i <= newestPossible; ++i) {
    const HistoryEntry& entry = log.entries[i];
    if (!historyEntryPossible(entry)) {
      passedOver = true;
      continue;
    }
    if (passedOver || startsSpan(log, i)) {
      ++span;
      unwound = 0.0;
    } else if (i > 0) {
      const HistoryEntry& before = log.entries[i - 1];
      const double elapsedMs = static_cast<double>(entry.measuredAt) - static_cast<double>(before.measuredAt);
      unwound += static_cast<double>(appliedByRun(before, &entry, 0)) -
                 static_cast<double>(entry.rateBeforePpb) * elapsedMs / 1e6;
    }
    passedOver = false;
    if (entry.action == ACTION_NO_SERVER) continue;
    const double age = (newest - static_cast<double>(entry.measuredAt)) / 1000.0;
    double uncertainty = static_cast<double>(entry.uncertaintyUs);
    if (uncertainty < UNCERTAINTY_FLOOR_US) uncertainty = UNCERTAINTY_FLOOR_US;
    const double wander = WANDER_US_PER_S2 * age * age;
    points[n++] = {-age, static_cast<double>(entry.offsetUs) + unwound, uncertainty * uncertainty + wander * wander,
                   span, false};
  }
  const int spans = span + 1;

  Fit fit = fitRate(points, n, spans);
  // One bad run must not drag the rest; with fewer than four runs in the fit
  // there is no telling which one is bad, and where many disagree the runs
  // are not bad but the line is wrong.
  const int mostExcluded = fit.used / 4;
  while (fit.ok && fit.used >= 4 && estimate.excluded < mostExcluded) {
    const int worst = worstRun(points, n, spans, fit);
    if (worst < 0) break;
    points[worst].out = true;
    ++estimate.excluded;
    fit = fitRate(points, n, spans);
  }
  if (!fit.ok) return estimate;
  estimate.fitted = true;
  // The offset (servers minus clock) grows as the clock loses: the drift is
  // its growth with the sign turned.
  estimate.ppb = toPpb(-fit.slope);
  estimate.uncertaintyPpb = toPpb(std::sqrt(fit.variance));
  estimate.used = fit.used;
  const bool sure = fit.used >= DRIFT_KNOWN_RUNS && estimate.uncertaintyPpb <= DRIFT_KNOWN_LIMIT_PPB;
  const bool plausible = estimate.ppb <= DRIFT_PLAUSIBLE_PPB && estimate.ppb >= -DRIFT_PLAUSIBLE_PPB;
  estimate.known = sure && plausible;
  estimate.beyondLimit = sure && !plausible;
  return estimate;
}

ClockErrorNow estimateErrorNow(const HistoryLog& log, const DriftEstimate& drift, int64_t slewLeftUs,
                               int64_t ratePpb, Millis1900 now) {
  ClockErrorNow result = {false, 0, 0};
  const int count = historySize(log);
  int last = count - 1;
  while (last >= 0 && (log.entries[last].action == ACTION_NO_SERVER || !historyEntryPossible(log.entries[last])))
    --last;
  if (last < 0) return result;
  const HistoryEntry& entry = log.entries[last];
  // Runs after it found no server and moved nothing; a slew of its may still go on.
  const double appliedUs = static_cast<double>(appliedByRun(entry, nullptr, slewLeftUs));
  double seconds = (static_cast<double>(now) - static_cast<double>(entry.measuredAt)) / 1000.0;
  if (seconds < 0) seconds = 0;
  // A later run whose offset is unknown may have been followed by a break;
  // the estimate still starts from the last offset known.
  const double driftPpb = drift.fitted ? static_cast<double>(drift.ppb) : 0.0;
  const double driftDeviation =
      drift.fitted ? 2.0 * static_cast<double>(drift.uncertaintyPpb) : UNKNOWN_DRIFT_PPB;
  const double offset = static_cast<double>(entry.offsetUs) - appliedUs +
                        (static_cast<double>(ratePpb) - driftPpb) * seconds / 1000.0;
  const double bound = std::fabs(offset) + static_cast<double>(entry.uncertaintyUs) +
                       driftDeviation * seconds / 1000.0;
  result.known = true;
  result.offsetUs = offset < 9e18 && offset > -9e18 ? static_cast<int64_t>(std::llround(offset))
                    : offset > 0                    ? INT64_MAX
                                                    : -INT64_MAX;
  result.boundUs = bound < 9e18 ? static_cast<int64_t>(std::llround(bound)) : INT64_MAX;
  return result;
}

namespace {

int64_t withinPlausible(int64_t ppb) {
  return ppb > DRIFT_PLAUSIBLE_PPB ? DRIFT_PLAUSIBLE_PPB : ppb < -DRIFT_PLAUSIBLE_PPB ? -DRIFT_PLAUSIBLE_PPB : ppb;
}

}  // namespace

int64_t nextCompensationPpb(int64_t wantedPpb, int64_t currentPpb, bool currentKnown, int64_t elapsedMs) {
  const int64_t wanted = withinPlausible(wantedPpb);
  if (!currentKnown) return wanted;
  const int64_t current = withinPlausible(currentPpb);
  const int64_t mostMs = COMPENSATION_HOURS_MOST * 3600000;
  const int64_t elapsed = elapsedMs < 0 ? 0 : elapsedMs > mostMs ? mostMs : elapsedMs;
  const int64_t most = COMPENSATION_RUN_PPB + COMPENSATION_HOURLY_PPB * elapsed / 3600000;
  const int64_t change = wanted - current;  // both within the limit: no overflow
  return current + (change > most ? most : change < -most ? -most : change);
}

int64_t unexplainedMovementUs(int64_t compensationPpb, int64_t uncertaintyPpb, int64_t elapsedMs) {
  const uint64_t rate = magnitudeOf(compensationPpb);
  const uint64_t explained = uncertaintyPpb < 0 ? 0 : static_cast<uint64_t>(uncertaintyPpb);
  if (elapsedMs <= 0 || rate <= explained) return 0;
  // ppb x ms / 1e6 is us; split so that no product leaves 64 bits.
  const uint64_t beyond = rate - explained, t = static_cast<uint64_t>(elapsedMs);
  const uint64_t M = 1000000u, limit = static_cast<uint64_t>(INT64_MAX);
  const uint64_t whole = beyond / M, part = beyond % M;
  if (whole != 0 && t > limit / whole) return INT64_MAX;
  // part x t / 1e6, with part < 1e6: part x (t / 1e6) + part x (t % 1e6) / 1e6,
  // each term within 63 bits; their sum is held there.
  const uint64_t terms[3] = {whole * t, part * (t / M), part * (t % M) / M};
  uint64_t us = 0;
  for (uint64_t term : terms) {
    if (term > limit - us) return INT64_MAX;
    us += term;
  }
  return static_cast<int64_t>(us);
}

int runsInNewestSpan(const HistoryLog& log) {
  int runs = 0;
  for (int i = historySize(log) - 1; i >= 0; --i) {
    if (log.entries[i].action != ACTION_NO_SERVER) ++runs;
    if (startsSpan(log, i)) break;
  }
  return runs;
}

bool applyDriftOnStartup(bool storedDriftKnown, bool adjustmentIsOursFromThisBoot, bool runsThisStartSupport) {
  return storedDriftKnown && (adjustmentIsOursFromThisBoot || runsThisStartSupport);
}
