// The schedule table and the due check.
#include "shell/schedule.h"

#include <climits>

static const ScheduleChoice scheduleTable[10] = {
    {"No Scheduled Interval", 0},
    {"On Startup", 0},
    {"Every 5 Minutes", 300000},
    {"Every 15 Minutes", 900000},
    {"Hourly", 3600000},
    {"Every Six Hours", 21600000},
    {"Daily", 86400000},
    {"Every 3 Days", 259200000},
    {"Weekly", 604800000},
    {"Monthly", 2592000000u},  // 30 days: beyond a signed 32-bit value
};

bool scheduleChosenAt(int32_t position) { return position >= 1 && position <= 9; }

ScheduleChoice scheduleChoice(int32_t position) { return scheduleTable[scheduleChosenAt(position) ? position : 0]; }

bool scheduleIsDue(Millis1900 now, Millis1900 base, uint64_t interval) {
  if (interval == 0) return false;
  // A base so far ahead that the due time leaves the 64-bit range is never due;
  // wrapping around would make it due at every tick.
  if (base > INT64_MAX - static_cast<Millis1900>(interval)) return false;
  return now >= base + static_cast<Millis1900>(interval);
}
