// The program's one time unit and the pure arithmetic around it: conversions
// between Millis1900 and FILETIME stamps, the tick-counter scaling, and the
// text form of a local calendar time.
#pragma once
#include <cstdint>

// Signed milliseconds since 1900-01-01 00:00:00 UTC (the Time Protocol epoch);
// also the unit of every offset, correction and interval.
typedef int64_t Millis1900;

// The most a working clock is expected to gain or lose by itself: half a
// millisecond a second.
const int64_t CLOCK_DRIFT_ALLOWANCE_PPM = 500;

// 1601-01-01 to 1900-01-01: 109207 days.
const int64_t FILETIME_TO_1900_MS = 9435484800000LL;

// FILETIME counts 100 ns since 1601-01-01 UTC.
Millis1900 millisFromFileTime(uint64_t fileTime);
// Microseconds since 1900 of a FILETIME stamp, for exchanges that carry
// fractions of a millisecond.
int64_t microsFromFileTime(uint64_t fileTime);
// The millisecond nearest a FILETIME stamp (halves up): the clock is set in
// whole milliseconds, and a set clock should not lose the fraction it had.
Millis1900 nearestMillisFromFileTime(uint64_t fileTime);
// The millisecond a microsecond time falls in (floor), as readClock gives it.
Millis1900 millisFromMicros(int64_t us);
// |value|, unsigned: -2^63 has no signed magnitude.
inline uint64_t magnitudeOf(int64_t value) {
  return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}
// A microsecond offset to the nearest millisecond (halves up): the step a
// correction makes, since the clock is set in whole milliseconds.
int64_t nearestMillis(int64_t us);
// 64-bit wrapping arithmetic, as the conversion has always been done.
uint64_t fileTimeFromMillis(Millis1900 t);
// True when t converts to a FILETIME that the calendar conversion accepts
// (non-negative and below 2^63), so the product above does not wrap.
bool millisHasCalendarForm(Millis1900 t);

// Length of one counter tick in ms, with 32 fraction bits; 0 when the
// frequency gives no usable scale (no counter, or an absurdly fast one).
uint64_t tickScaleFor(uint64_t frequency);
// floor(count * scale / 2^32) mod 2^32, the product taken modulo 2^64.
uint32_t ticksToMs(uint64_t count, uint64_t scale);

// Whole milliseconds of a counter running at frequency ticks a second,
// without the 64-bit overflow of count * 1000.
uint64_t counterMs(uint64_t count, uint64_t frequency);

struct CalendarTime {
  unsigned year, month, day, hour, minute, second;
};
// "h:mm:ssam on m/d/yy " (with its final blank); buffer of at least 24 bytes.
void formatCalendarTime(const CalendarTime& local, char* text);
