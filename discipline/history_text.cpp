// Texts of the clock's history (implements history_text.h).
#include "discipline/history_text.h"

#include "discipline/rate_keeping.h"

#include <cmath>
#include <cstdio>

#define PLUS_MINUS "\xC2\xB1"

void formatOffsetUs(int64_t offsetUs, char* text, size_t size) {
  const double us = static_cast<double>(offsetUs);
  const double magnitude = std::fabs(us);
  if (magnitude < 1000.0) std::snprintf(text, size, "%+.2f ms", us / 1000.0);
  else if (magnitude < 1e6) std::snprintf(text, size, "%+.1f ms", us / 1000.0);
  else if (magnitude < 1e9) std::snprintf(text, size, "%+.3f s", us / 1e6);
  else std::snprintf(text, size, "%+.0f s", us / 1e6);
}

// "6.7 s a day (78 ppm)" for a rate of ppb either way.
static void formatRate(int64_t ppb, char* text, size_t size) {
  const double magnitude = std::fabs(static_cast<double>(ppb));
  const double perDay = magnitude * 86400.0 / 1e9;  // seconds
  const double ppm = magnitude / 1000.0;
  char day[40];
  if (perDay >= 0.995) std::snprintf(day, sizeof day, "%.1f s a day", perDay);
  else std::snprintf(day, sizeof day, "%.0f ms a day", perDay * 1000.0);
  if (ppm >= 9.95) std::snprintf(text, size, "%s (%.0f ppm)", day, ppm);
  else std::snprintf(text, size, "%s (%.1f ppm)", day, ppm);
}

void formatDriftText(const DriftEstimate& drift, char* text, size_t size) {
  if (!drift.fitted) {
    std::snprintf(text, size, "More runs are needed to tell how fast this computer's clock drifts.");
    return;
  }
  char rate[80];
  formatRate(drift.ppb, rate, sizeof rate);
  const char* verb = drift.ppb > 0 ? "gains" : "loses";
  if (drift.beyondLimit)
    std::snprintf(text, size, "Against the servers this computer's clock %s %s, more than any working clock "
                  "drifts: it is not cancelled.", verb, rate);
  else if (drift.known) std::snprintf(text, size, "This computer's clock %s %s", verb, rate);
  else std::snprintf(text, size, "This computer's clock seems to %s %s; more runs will tell.",
                     drift.ppb > 0 ? "gain" : "lose", rate);
}

void formatDriftCertainty(const DriftEstimate& drift, char* text, size_t size) {
  if (!drift.fitted) {
    if (size > 0) text[0] = '\0';
    return;
  }
  std::snprintf(text, size, "Learnt from %d run%s, to within " PLUS_MINUS " %.1f ppm.", drift.used,
                drift.used == 1 ? "" : "s", static_cast<double>(drift.uncertaintyPpb) / 1000.0);
}

void formatErrorBound(int64_t boundUs, char* text, size_t size) {
  const double us = static_cast<double>(boundUs < 0 ? 0 : boundUs);
  if (us < 1000.0) std::snprintf(text, size, "within " PLUS_MINUS " %.1f ms", us / 1000.0);
  else if (us < 1e6) std::snprintf(text, size, "within " PLUS_MINUS " %.0f ms", std::ceil(us / 1000.0));
  else std::snprintf(text, size, "within " PLUS_MINUS " %.1f s", us / 1e6);
}

void formatRateKeeping(int keeping, int64_t compensationPpb, int64_t slewLeftUs, char* text, size_t size) {
  switch (keeping) {
    case RATE_KEPT: {
      char slew[60] = "";
      if (slewLeftUs != 0) {
        char offset[40];
        formatOffsetUs(slewLeftUs, offset, sizeof offset);
        std::snprintf(slew, sizeof slew, " Slewing %s away.", offset);
      }
      const double ppm = static_cast<double>(compensationPpb) / 1000.0;
      if (compensationPpb == 0)
        std::snprintf(text, size, "Quorvel keeps the clock's rate; the drift is not known yet.%s", slew);
      else
        std::snprintf(text, size, "Quorvel cancels the drift: the clock runs %.1f ppm %s.%s", std::fabs(ppm),
                      compensationPpb > 0 ? "slower" : "faster", slew);
      return;
    }
    case RATE_NOT_TAKEN:
      std::snprintf(text, size, "The system keeps this clock's rate: the drift is not cancelled and corrections are steps.");
      return;
    case RATE_OTHER_KEEPER:
      std::snprintf(text, size, "Windows Time is also setting this clock: Quorvel leaves the rate to it and corrects by steps.");
      return;
    case RATE_OTHER_PROGRAM:
      std::snprintf(text, size, "Another program is setting this clock's rate: Quorvel leaves it to that program and corrects by steps.");
      return;
    case RATE_OTHER_INSTANCE:
      std::snprintf(text, size, "Quorvel in another session keeps this clock's rate and makes the scheduled corrections.");
      return;
    default:
      if (size > 0) text[0] = '\0';
      return;
  }
}

const char* historyActionText(uint8_t action) {
  switch (action) {
    case ACTION_STEPPED: return "stepped";
    case ACTION_SLEWED: return "slewed";
    case ACTION_STEP_REFUSED: return "refused by the system";
    case ACTION_BEYOND_LIMIT: return "beyond the limit";
    case ACTION_DECLINED: return "declined";
    case ACTION_NO_SERVER: return "no usable server";
    default: return "unknown";
  }
}
