// A simulated PC clock disciplined by the program's own pure code: a crystal
// whose rate is off by a chosen amount, swings with the day's temperature and
// wanders; runs at the schedule's times measure it with the errors of Time
// Protocol or NTP servers; the system's rate call is modelled in whole units
// of either size. Days pass in a fraction of a second; the clock's error is
// looked at every simulated second.
//
// The world is ideal unless asked otherwise: every setting takes, a run takes
// no time, every error lies inside the uncertainty the run reports. Each of
// the options below makes one part of it as a real PC sees it.
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

  // The real world, part by part.
  double settingFailures = 0;    // share of settings whose read-back fails: the rate counts as not kept until
                                 // the next run tries again; the system keeps what it had
  double runSeconds = 0;         // a run measures at its start and ends this much later, holding the slew
  bool internet = false;         // noise of 1.5 ms (one deviation) and an asymmetry walking within +-3 ms; each
                                 // run reports the interval its round trip proves (half of 20 ms and more)
  bool loadSteps = false;        // the crystal 4 ppm faster for 3 h twice a day (9:00 and 19:00)
  bool killed = false;           // day 2.5, in the middle of a slew: the program is killed and started again
                                 // an hour later; the rate stays as last set meanwhile, slew included
  bool windowsTime = false;      // day 2.7: Windows Time sets the nominal rate for ten minutes and leaves it
  bool secondSession = false;    // days 2.3, 4.6 and 6.1: another session's instance steps the clock
                                 // ("Synchronize Time"); this one sees someone else's step
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
  int64_t crystalPpb;  // the crystal's true rate at the end
  int64_t compensationPpb;  // what the rate cancels at the end ("DriftPpb")
  int64_t compensationMinPpb, compensationMaxPpb;  // over the whole time
  int breaks;          // history entries marked as breaks
  int notTaken;        // settings whose read-back failed, or found another keeper's value
};

// traceEverySeconds > 0 calls trace(seconds, errorMs) that often (for plots).
ClockSimResult runClockSim(const ClockSimConfig& config, double traceEverySeconds = 0,
                           void (*trace)(double seconds, double errorMs, void* context) = nullptr,
                           void* context = nullptr);

// The benchmark's and the tests' worlds: 0 the ideal one, then each part of
// the real one alone, then all of them together. false past the last.
const int CLOCK_SIM_WORLDS = 9;
bool clockSimWorld(int world, ClockSimConfig& config, const char** name);
