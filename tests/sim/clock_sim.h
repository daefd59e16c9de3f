// A simulated PC clock disciplined by the program's own pure code: a crystal
// whose rate is off by a chosen amount, swings with the day's temperature and
// wanders; runs at the schedule's times measure it with the errors of Time
// Protocol or NTP servers; the system's rate call is modelled in whole units
// of either size. Days pass in a fraction of a second; the clock's error is
// looked at every simulated second.
#pragma once
#include <cstdint>

struct ClockSimConfig {
  double driftPpm = 78;          // the crystal's rate; positive: the clock gains
  double swingPpm = 3;           // daily temperature swing, either way
  double wanderPpmPerDay = 0.5;  // random walk of the rate, per square root of a day
  double intervalS = 3600;       // the schedule
  bool ntp = true;               // NTP measurements (under 1 ms), else Time Protocol (a few ms, up to 10)
  bool discipline = true;        // false: every run steps and the clock runs free (the program before)
  uint64_t increment = 156250;   // the rate call's nominal adjustment
  double days = 7;
  double firstOffsetS = 1.2;     // the clock's error when the program starts
  bool sleepJump = false;        // day 3.5: a resume finds the clock 2 s off
  bool outage = false;           // day 4.5: five minutes without servers
  int64_t storedDriftPpb = 0;    // "DriftPpb" from an earlier start (0: none)
  double serverDriftPpm = 0;     // the servers' clocks run this much fast (servers that teach a wrong drift)
  double judgeFromDays = 1;      // the errors count from the first run on or after this
  uint32_t seed = 1;
};

struct ClockSimResult {
  // From the first run after judgeFromDays on (a resume's first seconds aside).
  double maxErrorMs;   // largest |error|
  double rmsErrorMs;
  int runs;
  int slewed;
  int stepped;
  int64_t driftPpb;    // the estimate at the end
  bool driftKnown;
  int64_t compensationPpb;  // what the rate cancels at the end ("DriftPpb")
  int64_t compensationMinPpb, compensationMaxPpb;  // over the whole time
  int64_t crystalPpb;  // the crystal's true rate at the end
};

// traceEverySeconds > 0 calls trace(seconds, errorMs) that often (for plots).
ClockSimResult runClockSim(const ClockSimConfig& config, double traceEverySeconds = 0,
                           void (*trace)(double seconds, double errorMs, void* context) = nullptr,
                           void* context = nullptr);
