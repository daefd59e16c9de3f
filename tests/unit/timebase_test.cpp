// Time arithmetic and the text forms of times and offsets.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "timebase/millis.h"
#include "timebase/offset_text.h"

namespace {

TEST(Millis1900, FileTimeConversions) {
  EXPECT_EQ(fileTimeFromMillis(0), 94354848000000000ull);
  EXPECT_EQ(millisFromFileTime(94354848000000000ull), 0);
  // 2000-01-01 00:00:00 UTC, 36524 days after the epoch; sub-ms is dropped.
  const uint64_t y2000 = 125911584000000000ull;
  EXPECT_EQ(millisFromFileTime(y2000), 3155673600000);
  EXPECT_EQ(millisFromFileTime(y2000 + 9999), 3155673600000);
  EXPECT_EQ(3155673600000 / 1000, 3155673600);
  EXPECT_EQ(fileTimeFromMillis(3155673600000), y2000);
}

TEST(Millis1900, MicrosecondsToMilliseconds) {
  // Readings fall in their millisecond; a correction goes to the nearest one.
  EXPECT_EQ(millisFromMicros(-1), -1);
  EXPECT_EQ(millisFromMicros(1999), 1);
  EXPECT_EQ(nearestMillis(-1), 0);
  EXPECT_EQ(nearestMillis(-501), -1);
  EXPECT_EQ(nearestMillis(499), 0);
  EXPECT_EQ(nearestMillis(INT64_MAX), INT64_MAX / 1000 + 1);
  EXPECT_EQ(nearestMillis(INT64_MIN), INT64_MIN / 1000 - 1);
  EXPECT_EQ(microsFromFileTime(94354848000000000ull), 0);
  EXPECT_EQ(microsFromFileTime(94354848000000019ull), 1);
}

TEST(Millis1900, CalendarFormRange) {
  EXPECT_TRUE(millisHasCalendarForm(0));
  EXPECT_TRUE(millisHasCalendarForm(-FILETIME_TO_1900_MS));
  EXPECT_FALSE(millisHasCalendarForm(-FILETIME_TO_1900_MS - 1));
  EXPECT_TRUE(millisHasCalendarForm(INT64_MAX / 10000 - FILETIME_TO_1900_MS));
  EXPECT_FALSE(millisHasCalendarForm(INT64_MAX / 10000 - FILETIME_TO_1900_MS + 1));
  EXPECT_FALSE(millisHasCalendarForm(INT64_MAX));
  EXPECT_FALSE(millisHasCalendarForm(INT64_MIN));
}

TEST(TickCounter, ScaleAndWrap) {
  EXPECT_EQ(tickScaleFor(10000000), 429496u);
  EXPECT_EQ(tickScaleFor(0), 0u);
  const uint64_t scale = tickScaleFor(10000000);
  EXPECT_EQ(ticksToMs(10000000, scale), 999u);  // truncated scale reads a little short
  EXPECT_EQ(ticksToMs(0, scale), 0u);
  // Two readings around the 2^32 ms wrap still give the elapsed time.
  const uint64_t scale1k = tickScaleFor(1000);  // one tick per ms, exactly
  const uint32_t before = ticksToMs(0xFFFFFFFFull - 9, scale1k);
  const uint32_t after = ticksToMs(0x100000000ull + 20, scale1k);
  EXPECT_EQ(static_cast<uint32_t>(after - before), 30u);
}

std::string clockText(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s) {
  char text[24];
  formatCalendarTime(CalendarTime{y, mo, d, h, mi, s}, text);
  return text;
}

TEST(ClockText, TwelveHourForm) {
  EXPECT_EQ(clockText(2001, 1, 1, 0, 5, 9), "12:05:09am on 1/1/01 ");
  EXPECT_EQ(clockText(2001, 1, 1, 11, 59, 59), "11:59:59am on 1/1/01 ");
  EXPECT_EQ(clockText(2001, 1, 1, 12, 0, 0), "12:00:00pm on 1/1/01 ");
  EXPECT_EQ(clockText(2001, 1, 1, 13, 0, 0), "1:00:00pm on 1/1/01 ");
  EXPECT_EQ(clockText(2001, 1, 1, 23, 59, 59), "11:59:59pm on 1/1/01 ");
  EXPECT_EQ(clockText(2026, 12, 6, 16, 5, 9), "4:05:09pm on 12/6/26 ");
  EXPECT_EQ(clockText(2000, 1, 1, 0, 0, 0), "12:00:00am on 1/1/00 ");
  EXPECT_EQ(clockText(2009, 1, 1, 0, 0, 0), "12:00:00am on 1/1/09 ");
  EXPECT_EQ(clockText(2026, 12, 31, 12, 59, 59).size(), 23u);  // the longest form
}

std::string offsetText(int64_t offset) {
  char text[18];
  formatOffset(offset, text);
  return text;
}

TEST(OffsetText, Format) {
  const struct { int64_t offset; const char* text; } rows[] = {
      {0, " 0.0s"},         {49, " 0.0s"},         {-49, " 0.0s"},       {50, "+0.1s"},
      {-50, "-0.1s"},       {1234, "+1.2s"},       {-1500, "-1.5s"},     {-59999, "-60.0s"},
      {119950, "+120.0s"},  {120000, "+2.00m"},    {150000, "+2.50m"},   {5400000, "+90.00m"},
      {7199700, "+120.00m"}, {7200000, "+2.00h"},  {172800000, "+2.00d"}, {259200000, "+3.00d"},
      {-259200000, "-3.00d"}, {4294967296, "+49.71d"},
  };
  for (const auto& row : rows) EXPECT_EQ(offsetText(row.offset), row.text) << row.offset;
}

TEST(OffsetText, ExtremesFitTheirBuffer) {
  EXPECT_EQ(offsetText(INT64_MAX), "+106751991167.30d");
  EXPECT_EQ(offsetText(INT64_MIN), "-106751991167.30d");
}

TEST(OffsetText, Parse) {
  const struct { const char* text; int64_t value; } rows[] = {
      {"", 0},          {"5", 5000},           {"1.5", 1500},        {".5", 500},
      {"0.001", 1},     {"1.2345", 1234},      {"1.2.3", 1230},      {"+1.2s", 1200},
      {" 0.0s", 0},     {"-60.0s", -60000},    {"-2.50m", -150000},  {"1.5h", 5400000},
      {"2d", 172800000}, {"5-", -5000},        {"--5", 5000},        {"1m30", 6030000},
      {"1h30m", 21601800000}, {"1hm", 216000000}, {"1 2", 12000},    {"abc", 0},
  };
  for (const auto& row : rows) EXPECT_EQ(parseOffset(row.text), row.value) << '"' << row.text << '"';
}

TEST(OffsetText, EveryShownFormParsesBackAtItsPrecision) {
  const int64_t samples[] = {0, 49, 50, -50, 1234, -1500, -59999, 119950, 120000, 150000,
                             5400000, 7199700, 7200000, 172800000, -259200000, 4294967296};
  for (int64_t x : samples) {
    const int64_t back = parseOffset(offsetText(x).c_str());
    const int64_t magnitude = x < 0 ? -x : x;
    const int64_t unit = magnitude < 120000 ? 100 : magnitude < 7200000 ? 600 : magnitude < 172800000 ? 36000 : 864000;
    EXPECT_LE(back - x, unit / 2) << x;
    EXPECT_GE(back - x, -unit / 2) << x;
  }
  EXPECT_EQ(offsetText(parseOffset("1.2345")), "+1.2s");
}

TEST(OffsetText, ParseWrapsWithoutFault) {
  // Products past 64 bits wrap; the sanitizers would flag signed overflow here.
  parseOffset("99999999999999999999d");
  parseOffset("-99999999999dhm");
}

}  // namespace

TEST(NearestMillis, AStepKeepsTheFractionOfTheMomentToTheNearestMillisecond) {
  const uint64_t ms = 133500000000000ULL / 10000 * 10000;  // a whole millisecond in 100 ns
  const Millis1900 whole = millisFromFileTime(ms);
  EXPECT_EQ(nearestMillisFromFileTime(ms), whole);
  EXPECT_EQ(nearestMillisFromFileTime(ms + 4999), whole);
  EXPECT_EQ(nearestMillisFromFileTime(ms + 5000), whole + 1);
  EXPECT_EQ(nearestMillisFromFileTime(ms + 9999), whole + 1);
  EXPECT_EQ(nearestMillisFromFileTime(UINT64_MAX), millisFromFileTime(UINT64_MAX));
}
