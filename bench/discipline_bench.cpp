// The discipline benchmark: the simulated week of tests/sim for schedules of
// 5 minutes, an hour and a day, crystals 10, 78 and 450 ppm off, Time
// Protocol and NTP measurements, disciplined beside stepping only; the same
// week at 78 ppm in each part of the real world (settings that do not take,
// runs that take their time, internet-like errors, load steps, a killed
// program, Windows Time, a second session) and in all of them at once; and
// how close the drift estimate comes in a few cases. Prints one JSON object;
// with --trace, one week's error every minute instead (CSV).
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "tests/sim/clock_sim.h"

namespace {

void printTrace(double seconds, double errorMs, void* context) {
  std::printf("%.0f,%.3f,%s\n", seconds, errorMs, static_cast<const char*>(context));
}

// The tables' week: a resume 2 s off and five minutes without servers in it.
ClockSimResult simulatedWeek(ClockSimConfig config, double intervalS, bool ntp, bool disciplined) {
  config.intervalS = intervalS;
  config.ntp = ntp;
  config.discipline = disciplined;
  config.sleepJump = true;
  config.outage = true;
  return runClockSim(config);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--trace") == 0) {
    std::printf("seconds,error_ms,mode\n");
    for (int disciplined = 1; disciplined >= 0; --disciplined) {
      ClockSimConfig config;
      config.discipline = disciplined != 0;
      config.sleepJump = true;
      config.outage = true;
      char mode[16];
      std::snprintf(mode, sizeof mode, "%s", disciplined ? "disciplined" : "stepping");
      runClockSim(config, 60, printTrace, mode);
    }
    return 0;
  }
  // How close the drift estimate comes: runs that step (or whose steps are
  // refused) every 10 s for two minutes, as in the end-to-end test, and the
  // estimate at the end of longer spans with the crystal swinging.
  struct Estimate {
    const char* name;
    double intervalS, days, driftPpm, swingPpm, wander;
    bool ntp;
  };
  const Estimate estimates[] = {
      {"NTP, every 10 s for 2 minutes, 200 ppm", 10, 120.0 / 86400, 200, 0, 0, true},
      {"NTP, every 10 s for 2 minutes, 78 ppm", 10, 120.0 / 86400, 78, 0, 0, true},
      {"Time Protocol, every 10 s for 2 minutes, 78 ppm", 10, 120.0 / 86400, 78, 0, 0, false},
      {"Time Protocol, hourly for a day, 78 ppm swinging 3 ppm", 3600, 1, 78, 3, 0.5, false},
      {"NTP, hourly for a week, 78 ppm swinging 3 ppm", 3600, 7, 78, 3, 0.5, true},
      {"NTP, daily for a week, 78 ppm swinging 3 ppm", 86400, 7, 78, 3, 0.5, true},
  };
  std::printf("{\"estimates\": [\n");
  for (size_t i = 0; i < sizeof estimates / sizeof estimates[0]; ++i) {
    const Estimate& e = estimates[i];
    ClockSimConfig config;
    config.intervalS = e.intervalS;
    config.days = e.days;
    config.driftPpm = e.driftPpm;
    config.swingPpm = e.swingPpm;
    config.wanderPpmPerDay = e.wander;
    config.ntp = e.ntp;
    config.discipline = false;
    config.judgeFromDays = 0;
    const ClockSimResult r = runClockSim(config);
    std::printf("%s  {\"case\": \"%s\", \"crystal_ppb\": %lld, \"estimate_ppb\": %lld, \"known\": %s, "
                "\"runs\": %d}",
                i == 0 ? "" : ",\n", e.name, static_cast<long long>(r.crystalPpb),
                static_cast<long long>(r.driftPpb), r.driftKnown ? "true" : "false", r.runs);
  }
  std::printf("\n], \"week\": ");

  const double intervals[] = {300, 3600, 86400};
  const double drifts[] = {10, 78, 450};
  std::printf("[\n");
  bool first = true;
  for (double interval : intervals)
    for (double drift : drifts)
      for (int ntp = 1; ntp >= 0; --ntp)
        for (int disciplined = 1; disciplined >= 0; --disciplined) {
          ClockSimConfig config;
          config.driftPpm = drift;
          const ClockSimResult r = simulatedWeek(config, interval, ntp != 0, disciplined != 0);
          std::printf("%s  {\"interval_s\": %.0f, \"drift_ppm\": %.0f, \"protocol\": \"%s\", \"mode\": \"%s\", "
                      "\"max_ms\": %.3f, \"rms_ms\": %.3f, \"runs\": %d, \"slewed\": %d, \"stepped\": %d, "
                      "\"drift_ppb\": %lld}",
                      first ? "" : ",\n", interval, drift, ntp ? "NTP" : "Time Protocol",
                      disciplined ? "disciplined" : "stepping", r.maxErrorMs, r.rmsErrorMs, r.runs, r.slewed,
                      r.stepped, static_cast<long long>(r.driftPpb));
          first = false;
        }
  std::printf("\n], \"worlds\": [\n");
  first = true;
  for (int world = 0; world < CLOCK_SIM_WORLDS; ++world)
    for (double interval : {300.0, 3600.0})
      for (int ntp = 1; ntp >= 0; --ntp)
        for (int disciplined = 1; disciplined >= 0; --disciplined) {
          ClockSimConfig config;
          const char* name;
          clockSimWorld(world, config, &name);
          const ClockSimResult r = simulatedWeek(config, interval, ntp != 0, disciplined != 0);
          std::printf("%s  {\"world\": %d, \"name\": \"%s\", \"interval_s\": %.0f, \"protocol\": \"%s\", "
                      "\"mode\": \"%s\", \"max_ms\": %.3f, \"rms_ms\": %.3f, \"runs\": %d, \"slewed\": %d, "
                      "\"stepped\": %d, \"breaks\": %d, \"not_taken\": %d, \"compensation_ppb\": %lld}",
                      first ? "" : ",\n", world, name, interval, ntp ? "NTP" : "Time Protocol",
                      disciplined ? "disciplined" : "stepping", r.maxErrorMs, r.rmsErrorMs, r.runs, r.slewed,
                      r.stepped, r.breaks, r.notTaken, static_cast<long long>(r.compensationPpb));
          first = false;
        }
  std::printf("\n]}\n");
  return 0;
}
