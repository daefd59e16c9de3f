// The clock simulation (implements clock_sim.h). It drives the program's pure
// rate keeping, history and drift estimate in the order the program does:
// a tick every 10 s sets the adjustment and reads it back; a run holds the
// slew, measures, completes its entry at its end, learns the drift and slews
// or steps. The system's adjustment is modelled apart from the program's, so
// that a setting that does not take, a killed program or another keeper
// leave the clock at what the system last took.
#include "tests/sim/clock_sim.h"

#include <cmath>
#include <random>

#include "discipline/drift.h"
#include "discipline/history.h"
#include "discipline/rate_keeping.h"
#include "shell/retry_plan.h"

namespace {

const double DAY_S = 86400.0;
const double HOUR_S = 3600.0;
const double PI = 3.14159265358979323846;
const uint64_t TICK_MS = 10000;  // the clock tick while the window is hidden
const Millis1900 EPOCH = 3990000000000ll;
const double ASYMMETRY_LIMIT_US = 3000.0;

uint64_t atDays(double days) { return static_cast<uint64_t>(std::llround(days * DAY_S * 1000.0)); }

struct Sim {
  const ClockSimConfig& config;
  std::mt19937 random;
  double offsetUs;  // the true time minus this clock
  double wanderPpm = 0;
  double asymmetryUs = 0;

  // The system's rate: what it took last, whoever set it.
  uint64_t systemAdjustment;
  bool systemDisabled = true;
  bool windowsTimeRunning = false;

  // The program.
  bool running = true;
  bool kept = false;          // our rate is set and took
  bool otherProgram = false;  // backed off for a value another program set
  bool healedAtStart = false;
  RateOwnership owner = {};
  RateKeeper keeper = {};
  HistoryLog history = {};  // "History" survives a restart
  DriftEstimate drift = {};
  bool stored = false;      // "DriftPpb"
  int64_t storedPpb = 0;
  bool breakPending = true;
  bool measuring = false;
  uint64_t runEndsAt = 0;
  HistoryEntry pending = {};
  ClockSimResult result = {};

  explicit Sim(const ClockSimConfig& c)
      : config(c), random(c.seed), offsetUs(c.firstOffsetS * 1e6), systemAdjustment(c.increment) {
    keeper.increment = c.increment;
    if (c.storedDriftPpb != 0) {
      stored = true;
      storedPpb = c.storedDriftPpb;
    }
  }

  double uniform(double half) { return std::uniform_real_distribution<double>(-half, half)(random); }
  double normal(double deviation) { return std::normal_distribution<double>(0.0, deviation)(random); }

  // The crystal's rate now, in ppb.
  double crystalPpb(double t) const {
    double ppm = config.driftPpm + config.swingPpm * std::sin(2 * PI * t / DAY_S) + wanderPpm;
    if (config.loadSteps) {
      const double hour = std::fmod(t, DAY_S) / HOUR_S;
      if ((hour >= 9 && hour < 12) || (hour >= 19 && hour < 22)) ppm += 4;
    }
    return ppm * 1000.0;
  }

  double appliedPpb() const {
    return systemDisabled ? 0.0 : static_cast<double>(ppbOfAdjustment(systemAdjustment, config.increment));
  }

  // ---- the program's rate calls, as the Win32 layer makes them -------------------

  RateSetting systemSetting() const {
    RateSetting now;
    now.adjustment = systemDisabled ? 0 : systemAdjustment;
    now.disabled = systemDisabled;
    return now;
  }

  // One write to the system; now and then it does not take, and the system
  // keeps what it had.
  bool write(const RateSetting& setting) {
    if (config.settingFailures > 0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(random) < config.settingFailures)
      return false;
    systemAdjustment = setting.disabled ? config.increment : setting.adjustment;
    systemDisabled = setting.disabled;
    return true;
  }

  // Stops keeping: another keeper's value stays, ours goes back to what was found.
  void backOff(uint64_t nowMs) {
    RateSetting restore;
    if (settingToRestore(systemSetting(), owner, restore)) write(restore);
    owner.setBefore = false;
    noteRateTaken(keeper, false, nowMs);
    kept = false;
  }

  // Sets the adjustment and reads it back; read first, for another keeper's value.
  void setRate(uint64_t adjustment, uint64_t nowMs) {
    if (setByAnotherKeeper(systemSetting(), owner)) {
      backOff(nowMs);
      otherProgram = true;
      breakPending = true;
      ++result.notTaken;
      return;
    }
    RateSetting setting;
    setting.adjustment = adjustment;
    setting.disabled = false;
    if (!write(setting)) {
      ++result.notTaken;
      backOff(nowMs);
      return;
    }
    owner.lastSet = setting;
    owner.setBefore = true;
    noteRateTaken(keeper, true, nowMs);
    kept = true;
    otherProgram = false;
  }

  // Takes the rate unless another keeper has it.
  void takeRate(uint64_t nowMs) {
    if (windowsTimeRunning) {
      if (kept) breakPending = true;
      backOff(nowMs);
      return;
    }
    const RateSetting found = systemSetting();
    const bool ours = owner.setBefore && sameRateSetting(found, owner.lastSet);
    if (otherProgram && !ours && !found.disabled) return;
    takeOwnership(owner, found, kept, healedAtStart);
    healedAtStart = false;
    setRate(keepRate(keeper, nowMs, TICK_MS), nowMs);
  }

  void tick(uint64_t nowMs) {
    if (!config.discipline || !running) return;
    const uint64_t adjustment = keepRate(keeper, nowMs, TICK_MS);
    if (!kept) return;
    // Windows Time started since: its value is not overwritten at our next tick.
    if (windowsTimeRunning) {
      backOff(nowMs);
      breakPending = true;
      ++result.notTaken;
      return;
    }
    setRate(adjustment, nowMs);
  }

  // ---- the program's start ---------------------------------------------------------

  void start(uint64_t nowMs) {
    running = true;
    keeper = RateKeeper();
    keeper.increment = config.increment;
    kept = false;
    otherProgram = false;
    owner = RateOwnership();
    measuring = false;
    breakPending = true;
    if (!config.discipline) return;
    // What a keeper that died left in force is the program's own.
    healedAtStart = !systemDisabled && !windowsTimeRunning;
    if (stored) resumeCompensation(keeper, storedPpb, nowMs);
    // An adjustment left in force while nobody keeps it is healed at once.
    takeRate(nowMs);
  }

  // ---- a measurement ---------------------------------------------------------------

  // What one run (or another instance's) finds: the error of its offset and
  // the uncertainty it reports.
  void measurement(double& errorUs, uint32_t& uncertaintyUs) {
    const double half = config.ntp ? 500.0 : 5000.0;
    errorUs = uniform(half);
    // Time Protocol runs are now and then off by up to about 10 ms.
    if (!config.ntp && uniform(1.0) > 0.9) errorUs *= 2;
    uncertaintyUs = static_cast<uint32_t>(config.ntp ? 500 : 10000);
    if (config.internet) {
      // The round trip bounds the error; the asymmetry hides inside it.
      const double roundTripUs = 20000.0 + std::exponential_distribution<double>(1.0 / 5000.0)(random);
      errorUs += asymmetryUs + normal(1500.0);
      uncertaintyUs = static_cast<uint32_t>((config.ntp ? 0.0 : 10000.0) + roundTripUs / 2.0);
    }
  }

  // ---- a correcting run ------------------------------------------------------------

  void beginRun(uint64_t nowMs, bool serversUp) {
    if (config.discipline) {
      // Another keeper may be gone, or a rate that did not take may take now.
      takeRate(nowMs);
      if (kept) setRate(holdSlew(keeper, nowMs, TICK_MS), nowMs);
    }
    HistoryEntry entry = {};
    entry.measuredAt = EPOCH + static_cast<Millis1900>(nowMs) - static_cast<Millis1900>(offsetUs / 1000.0);
    if (serversUp) {
      double error;
      measurement(error, entry.uncertaintyUs);
      const double serversAheadUs = config.serverDriftPpm * static_cast<double>(nowMs) / 1000.0;
      entry.offsetUs = static_cast<int64_t>(std::llround(offsetUs + serversAheadUs + error));
      entry.agreeing = entry.usable = 5;
    } else {
      entry.action = ACTION_NO_SERVER;
    }
    pending = entry;
    measuring = true;
    runEndsAt = nowMs + static_cast<uint64_t>(config.runSeconds * 1000.0);
  }

  // Returns whether a server answered.
  bool endRun(uint64_t nowMs) {
    measuring = false;
    HistoryEntry entry = pending;
    const bool serversUp = entry.action != ACTION_NO_SERVER;
    if (serversUp) {
      const bool slew = slewsCorrection(entry.offsetUs, true, config.discipline && kept && keeper.inForce);
      entry.action = static_cast<uint8_t>(slew ? ACTION_SLEWED : ACTION_STEPPED);
    }
    if (breakPending) {
      entry.flags |= HISTORY_BREAK;
      ++result.breaks;
    }
    breakPending = false;
    if (config.discipline) completeRunEntry(keeper, entry, nowMs);
    appendHistory(history, entry);
    drift = estimateDrift(history);
    if (config.discipline) {
      if (followDrift(keeper, drift, nowMs)) {
        stored = true;
        storedPpb = keeper.compensationPpb;
      }
      applyRunAction(keeper, entry);
      if (keeper.compensationPpb < result.compensationMinPpb) result.compensationMinPpb = keeper.compensationPpb;
      if (keeper.compensationPpb > result.compensationMaxPpb) result.compensationMaxPpb = keeper.compensationPpb;
      // The new rate takes effect at once, as the program sets it at the run's end.
      const uint64_t adjustment = keepRate(keeper, nowMs, TICK_MS);
      if (kept) setRate(adjustment, nowMs);
    }
    ++result.runs;
    if (entry.action == ACTION_STEPPED) {
      offsetUs -= static_cast<double>(appliedByRun(entry, nullptr, 0));
      ++result.stepped;
    }
    if (entry.action == ACTION_SLEWED) ++result.slewed;
    return serversUp;
  }

  // Another session's instance: its user's "Synchronize Time" steps the clock
  // to what its own run found.
  void secondSessionStep() {
    double error;
    uint32_t uncertainty;
    measurement(error, uncertainty);
    offsetUs -= static_cast<double>(nearestMillis(static_cast<int64_t>(std::llround(offsetUs + error))) * 1000);
    breakPending = true;  // WM_TIMECHANGE, not ours
  }
};

}  // namespace

ClockSimResult runClockSim(const ClockSimConfig& config, double traceEverySeconds,
                           void (*trace)(double, double, void*), void* context) {
  Sim sim(config);
  sim.start(0);
  sim.result.compensationMinPpb = sim.result.compensationMaxPpb = sim.keeper.compensationPpb;
  const uint64_t endMs = atDays(config.days);
  const uint64_t intervalMs = static_cast<uint64_t>(config.intervalS * 1000.0);
  const uint64_t sleepAt = atDays(3.5);
  const uint64_t outageFrom = atDays(4.5), outageTo = outageFrom + 300000;
  const uint64_t killFrom = atDays(2.5);
  uint64_t restartAt = 0;
  bool killDone = false;
  const uint64_t windowsTimeFrom = atDays(2.7), windowsTimeTo = windowsTimeFrom + 600000;
  const uint64_t secondSessionAt[] = {atDays(2.3), atDays(4.6), atDays(6.1)};
  // Both walks take a step every 10 s: the asymmetry about half a millisecond an hour.
  const double walkS = 10.0;
  std::normal_distribution<double> walk(0.0, config.wanderPpmPerDay * std::sqrt(walkS / DAY_S));
  std::normal_distribution<double> asymmetryWalk(0.0, 500.0 * std::sqrt(walkS / HOUR_S));

  RetryPlan retries = {};
  uint64_t nextRun = 10000;  // the first due check, 10 s after the start
  uint64_t resumeRunAt = 0;
  bool resumed = false;  // from a resume to the end of its run
  bool resumeRunUnderWay = false;
  bool judged = false;  // from the first run after judgeFromDays on
  const double judgeFrom = config.judgeFromDays * DAY_S;
  double sumSquares = 0;
  uint64_t counted = 0;
  for (uint64_t now = 1000; now <= endMs; now += 1000) {
    const double t = static_cast<double>(now) / 1000.0;
    if (now % 10000 == 0) sim.wanderPpm += walk(sim.random);
    if (config.internet && now % 10000 == 0) {
      sim.asymmetryUs += asymmetryWalk(sim.random);
      if (sim.asymmetryUs > ASYMMETRY_LIMIT_US) sim.asymmetryUs = 2 * ASYMMETRY_LIMIT_US - sim.asymmetryUs;
      if (sim.asymmetryUs < -ASYMMETRY_LIMIT_US) sim.asymmetryUs = -2 * ASYMMETRY_LIMIT_US - sim.asymmetryUs;
    }
    // One second of the clock at the crystal's rate, corrected by the adjustment.
    sim.offsetUs += (sim.appliedPpb() - sim.crystalPpb(t)) / 1000.0;

    if (config.sleepJump && now == sleepAt) {
      sim.offsetUs += 2e6;
      sim.breakPending = true;
      if (config.discipline && sim.running) {
        restartRate(sim.keeper, now);
        sim.takeRate(now);
      }
      resumeRunAt = now + 5000;
      resumed = true;
    }
    // Killed in the middle of a slew (or, stepping only, at that time).
    if (config.killed && !killDone && now >= killFrom &&
        (!config.discipline || (sim.kept && slewLeftUs(sim.keeper) != 0))) {
      killDone = true;
      sim.running = false;
      restartAt = now + 3600000;
    }
    if (restartAt != 0 && now >= restartAt) {
      restartAt = 0;
      sim.start(now);
      nextRun = now + 10000;
      retries = RetryPlan();
    }
    if (config.windowsTime) {
      if (now == windowsTimeFrom) sim.windowsTimeRunning = true;
      if (sim.windowsTimeRunning) {
        sim.systemAdjustment = config.increment;  // its own value, written every second
        sim.systemDisabled = false;
      }
      if (now == windowsTimeTo) sim.windowsTimeRunning = false;  // stopped; its value stays
    }
    if (config.secondSession)
      for (uint64_t at : secondSessionAt)
        if (now == at) sim.secondSessionStep();

    if (sim.running) {
      if (now % TICK_MS == 0) sim.tick(now);
      const bool retryDue = retryIsDue(retries, now);
      if (!sim.measuring && (now >= nextRun || retryDue || (resumeRunAt != 0 && now >= resumeRunAt))) {
        const bool up = !(config.outage && now >= outageFrom && now < outageTo);
        sim.beginRun(now, up);
        resumeRunUnderWay = resumed;
        nextRun = now + intervalMs;
        resumeRunAt = 0;
        if (t >= judgeFrom) judged = true;
      }
      if (sim.measuring && now >= sim.runEndsAt) {
        const bool ok = sim.endRun(now);
        if (resumeRunUnderWay) resumed = resumeRunUnderWay = false;
        noteRunEnd(retries, ok ? RUN_CORRECTED : RUN_FAILED, true, intervalMs, now);
      }
    }

    const double errorMs = sim.offsetUs / 1000.0;
    if (traceEverySeconds > 0 && trace != nullptr && std::fmod(t, traceEverySeconds) < 0.5)
      trace(t, errorMs, context);
    // From a resume to its run's end the clock is as the hardware clock left
    // it: nothing the program does between runs can help there.
    if (judged && !resumed) {
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

bool clockSimWorld(int world, ClockSimConfig& config, const char** name) {
  static const char* const names[CLOCK_SIM_WORLDS] = {
      "ideal",
      "settings that do not take (1 in 1000)",
      "runs of 8.5 s",
      "internet-like errors",
      "load steps of +4 ppm",
      "killed mid-slew, restarted an hour later",
      "Windows Time for ten minutes",
      "a second session's steps",
      "all of these",
  };
  if (world < 0 || world >= CLOCK_SIM_WORLDS) return false;
  const bool all = world == CLOCK_SIM_WORLDS - 1;
  if (world == 1 || all) config.settingFailures = 0.001;
  if (world == 2 || all) config.runSeconds = 8.5;
  if (world == 3 || all) config.internet = true;
  if (world == 4 || all) config.loadSteps = true;
  if (world == 5 || all) config.killed = true;
  if (world == 6 || all) config.windowsTime = true;
  if (world == 7 || all) config.secondSession = true;
  if (name != nullptr) *name = names[world];
  return true;
}
