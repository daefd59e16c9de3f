// The clock simulation (implements clock_sim.h). It drives the program's pure
// rate keeping, history and drift estimate in the order the program does:
// a tick every 10 s sets the adjustment; a run holds the slew, measures,
// completes its entry, learns the drift and slews or steps.
#include "tests/sim/clock_sim.h"

#include <cmath>
#include <random>

#include "discipline/drift.h"
#include "discipline/history.h"
#include "discipline/rate_keeping.h"
#include "shell/retry_plan.h"

namespace {

const double DAY_S = 86400.0;
const double PI = 3.14159265358979323846;
const uint64_t TICK_MS = 10000;  // the clock tick while the window is hidden
const Millis1900 EPOCH = 3990000000000ll;

struct Sim {
  const ClockSimConfig& config;
  std::mt19937 random;
  double offsetUs;  // servers minus this clock
  double wanderPpm = 0;
  RateKeeper keeper = {};
  HistoryLog history = {};
  DriftEstimate drift = {};
  bool breakPending = true;
  ClockSimResult result = {};

  explicit Sim(const ClockSimConfig& c) : config(c), random(c.seed), offsetUs(c.firstOffsetS * 1e6) {
    keeper.increment = c.increment;
  }

  double uniform(double half) { return std::uniform_real_distribution<double>(-half, half)(random); }

  // The crystal's rate now, in ppb.
  double crystalPpb(double t) const {
    return (config.driftPpm + config.swingPpm * std::sin(2 * PI * t / DAY_S) + wanderPpm) * 1000.0;
  }

  double appliedPpb() const {
    return config.discipline && keeper.inForce ? static_cast<double>(ppbOfAdjustment(keeper.adjustment, keeper.increment))
                                               : 0.0;
  }

  void tick(uint64_t nowMs) {
    if (!config.discipline) return;
    keepRate(keeper, nowMs, TICK_MS);
    noteRateTaken(keeper, true, nowMs);
  }

  // A correcting run at counter time nowMs; false when no server answered.
  bool run(uint64_t nowMs, bool serversUp) {
    if (config.discipline) holdSlew(keeper, nowMs, TICK_MS);
    const double half = config.ntp ? 500.0 : 5000.0;
    double error = uniform(half);
    // Time Protocol runs are now and then off by up to about 10 ms.
    if (!config.ntp && uniform(1.0) > 0.9) error *= 2;
    HistoryEntry entry = {};
    entry.measuredAt = EPOCH + static_cast<Millis1900>(nowMs) - static_cast<Millis1900>(offsetUs / 1000.0);
    if (serversUp) {
      const double serversAheadUs = config.serverDriftPpm * static_cast<double>(nowMs) / 1000.0;
      entry.offsetUs = static_cast<int64_t>(std::llround(offsetUs + serversAheadUs + error));
      entry.uncertaintyUs = static_cast<uint32_t>(config.ntp ? 500 : 10000);
      entry.agreeing = entry.usable = 5;
      const bool slew = slewsCorrection(entry.offsetUs, true, config.discipline && keeper.inForce);
      entry.action = static_cast<uint8_t>(slew ? ACTION_SLEWED : ACTION_STEPPED);
    } else {
      entry.action = ACTION_NO_SERVER;
    }
    if (breakPending) entry.flags |= HISTORY_BREAK;
    breakPending = false;
    if (config.discipline) completeRunEntry(keeper, entry, nowMs);
    appendHistory(history, entry);
    drift = estimateDrift(history);
    if (config.discipline) {
      followDrift(keeper, drift, nowMs);
      if (keeper.compensationPpb < result.compensationMinPpb) result.compensationMinPpb = keeper.compensationPpb;
      if (keeper.compensationPpb > result.compensationMaxPpb) result.compensationMaxPpb = keeper.compensationPpb;
      applyRunAction(keeper, entry);
      // The new rate takes effect at once, as the program sets it at the run's end.
      tick(nowMs);
    }
    ++result.runs;
    if (entry.action == ACTION_STEPPED) {
      offsetUs -= static_cast<double>(appliedByRun(entry, nullptr, 0));
      ++result.stepped;
    }
    if (entry.action == ACTION_SLEWED) ++result.slewed;
    return serversUp;
  }
};

}  // namespace

ClockSimResult runClockSim(const ClockSimConfig& config, double traceEverySeconds,
                           void (*trace)(double, double, void*), void* context) {
  Sim sim(config);
  if (config.discipline && config.storedDriftPpb != 0) resumeCompensation(sim.keeper, config.storedDriftPpb, 0);
  sim.result.compensationMinPpb = sim.result.compensationMaxPpb = sim.keeper.compensationPpb;
  const uint64_t endMs = static_cast<uint64_t>(config.days * DAY_S * 1000.0);
  const uint64_t intervalMs = static_cast<uint64_t>(config.intervalS * 1000.0);
  const uint64_t sleepAt = static_cast<uint64_t>(3.5 * DAY_S * 1000.0);
  const uint64_t outageFrom = static_cast<uint64_t>(4.5 * DAY_S * 1000.0), outageTo = outageFrom + 300000;
  std::normal_distribution<double> walk(0.0, config.wanderPpmPerDay * std::sqrt(1.0 / DAY_S));

  RetryPlan retries = {};
  uint64_t nextRun = 10000;  // the first due check, 10 s after the start
  uint64_t resumeRunAt = 0;
  bool judged = false;  // from the first run after judgeFromDays on
  const double judgeFrom = config.judgeFromDays * DAY_S;
  double sumSquares = 0;
  uint64_t counted = 0;
  sim.tick(0);
  for (uint64_t now = 1000; now <= endMs; now += 1000) {
    const double t = static_cast<double>(now) / 1000.0;
    sim.wanderPpm += walk(sim.random);
    // One second of the clock at the crystal's rate, corrected by the adjustment.
    sim.offsetUs += (sim.appliedPpb() - sim.crystalPpb(t)) / 1000.0;

    if (config.sleepJump && now == sleepAt) {
      sim.offsetUs += 2e6;
      sim.breakPending = true;
      if (config.discipline) restartRate(sim.keeper, now);
      resumeRunAt = now + 5000;
    }
    if (now % TICK_MS == 0) sim.tick(now);
    const bool retryDue = retryIsDue(retries, now);
    if (now >= nextRun || retryDue || (resumeRunAt != 0 && now >= resumeRunAt)) {
      const bool up = !(config.outage && now >= outageFrom && now < outageTo);
      const bool ok = sim.run(now, up);
      noteRunEnd(retries, ok ? RUN_CORRECTED : RUN_FAILED, true, intervalMs, now);
      nextRun = now + intervalMs;
      resumeRunAt = 0;
      if (t >= judgeFrom) judged = true;
    }

    const double errorMs = sim.offsetUs / 1000.0;
    if (traceEverySeconds > 0 && trace != nullptr &&
        std::fmod(t, traceEverySeconds) < 0.5)
      trace(t, errorMs, context);
    // From a resume to its run the clock is as the hardware clock left it:
    // nothing the program does between runs can help there.
    if (judged && resumeRunAt == 0) {
      if (std::fabs(errorMs) > sim.result.maxErrorMs) sim.result.maxErrorMs = std::fabs(errorMs);
      sumSquares += errorMs * errorMs;
      ++counted;
    }
  }
  sim.result.rmsErrorMs = counted > 0 ? std::sqrt(sumSquares / static_cast<double>(counted)) : 0;
  sim.result.driftPpb = sim.drift.ppb;
  sim.result.crystalPpb = static_cast<int64_t>(std::llround(sim.crystalPpb(static_cast<double>(endMs) / 1000.0)));
  sim.result.driftKnown = sim.drift.known;
  sim.result.compensationPpb = sim.keeper.compensationPpb;
  return sim.result;
}
