// The schedule table and the due check.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "shell/schedule.h"

namespace {

TEST(Schedule, TableByPosition) {
  const struct { int32_t position; const char* label; uint64_t interval; } rows[] = {
      {-1, "No Scheduled Interval", 0},  {0, "No Scheduled Interval", 0},
      {1, "On Startup", 0},              {2, "Every 5 Minutes", 300000},
      {3, "Every 15 Minutes", 900000},   {4, "Hourly", 3600000},
      {5, "Every Six Hours", 21600000},  {6, "Daily", 86400000},
      {7, "Every 3 Days", 259200000},    {8, "Weekly", 604800000},
      {9, "Monthly", 2592000000ull},     {10, "No Scheduled Interval", 0},
      {42, "No Scheduled Interval", 0},  {INT32_MIN, "No Scheduled Interval", 0},
  };
  for (const auto& row : rows) {
    const ScheduleChoice choice = scheduleChoice(row.position);
    EXPECT_EQ(std::string(choice.label), row.label) << row.position;
    EXPECT_EQ(choice.interval, row.interval) << row.position;
  }
}

TEST(Schedule, DueExactlyAtBasePlusInterval) {
  const Millis1900 base = 3900000000000;
  EXPECT_FALSE(scheduleIsDue(base + 3599999, base, 3600000));
  EXPECT_TRUE(scheduleIsDue(base + 3600000, base, 3600000));
  EXPECT_TRUE(scheduleIsDue(base + 3600001, base, 3600000));
  EXPECT_FALSE(scheduleIsDue(base + 99999999, base, 0));
}

TEST(Schedule, MonthlyNeedsSixtyFourBits) {
  const uint64_t monthly = scheduleChoice(9).interval;
  // Never corrected: the base is 0, so a month after 1900 is long past.
  EXPECT_TRUE(scheduleIsDue(3900000000000, 0, monthly));
  // A base near today: due only after the full 2592000000 ms, not after a
  // 32-bit wrapped or negative interval.
  const Millis1900 base = 3974000000000;
  EXPECT_FALSE(scheduleIsDue(base + 2591999999, base, monthly));
  EXPECT_TRUE(scheduleIsDue(base + 2592000000, base, monthly));
  // A base whose due time would leave the range never wraps into "due now".
  EXPECT_FALSE(scheduleIsDue(3974000000000, INT64_MAX - 2592000000 + 1, monthly));
  EXPECT_TRUE(scheduleIsDue(INT64_MAX, INT64_MAX - 2592000000, monthly));
  // A base before 1900 (from a damaged setting) is simply long due.
  EXPECT_TRUE(scheduleIsDue(3974000000000, INT64_MIN, monthly));
}

}  // namespace
