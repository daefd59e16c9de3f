// The system clock and the counter under Wine. Wine accepts setting the clock
// only by less than half a second and refuses larger steps as unprivileged,
// which lets both paths of shiftClock run without moving the host's clock.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tests/win/wine_only.h"
#include "timebase/clock.h"

namespace {

TEST(Clock, ReadClockMatchesTheSystemTime) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  const Millis1900 t = readClock();
  // 2026 and later, and before 2036 when the Time Protocol runs out.
  EXPECT_GT(t, 3976000000000);
  EXPECT_LT(t, 4294967296000);
  EXPECT_GE(now.wYear, 2026);
}

class ClockSetting : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_UNLESS_UNDER_WINE(); }
};

TEST_F(ClockSetting, ShiftByZeroSetsItsOwnReading) {
  const Millis1900 before = readClock();
  const Millis1900 set = shiftClock(0);
  ASSERT_NE(set, 0);
  EXPECT_GE(set, before);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

TEST_F(ClockSetting, RefusedStepReturnsZeroQuietly) {
  SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(shiftClock(3600000), 0);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

TEST_F(ClockSetting, TargetsWithoutACalendarFormNeverReachTheClock) {
  EXPECT_EQ(shiftClock(INT64_MAX), 0);
  EXPECT_EQ(shiftClock(INT64_MIN), 0);
  EXPECT_EQ(shiftClock(-readClock() - 9435484800001), 0);  // before 1601
}

TEST(Clock, LocalTimeTextAgreesWithTheTimeZoneRules) {
  const Millis1900 y2000 = 3155673600000;  // 2000-01-01 00:00:00 UTC
  char text[100];
  formatLocalTime(y2000, text);
  SYSTEMTIME utc = {2000, 1, 6, 1, 0, 0, 0, 0};
  SYSTEMTIME local;
  ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  char expected[100];
  const unsigned hour = local.wHour > 12 ? local.wHour - 12u : local.wHour == 0 ? 12u : local.wHour;
  wsprintfA(expected, "%u:%02u:%02u%cm on %u/%u/%02u ", hour, local.wMinute, local.wSecond,
            local.wHour < 12 ? 'a' : 'p', local.wMonth, local.wDay, local.wYear % 100);
  EXPECT_STREQ(text, expected);
}

TEST(Clock, TickCounterCountsMilliseconds) {
  const uint32_t start = readTickMs();
  Sleep(200);
  const uint32_t elapsed = readTickMs() - start;
  EXPECT_GE(elapsed, 150u);
  EXPECT_LT(elapsed, 60000u);
}

}  // namespace
