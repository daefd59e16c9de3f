// Pure time arithmetic: Millis1900 <-> FILETIME, tick scaling, clock text.
#include "timebase/millis.h"

#include <cstdio>
#include <cstring>

Millis1900 millisFromFileTime(uint64_t fileTime) {
  return static_cast<Millis1900>(fileTime / 10000) - FILETIME_TO_1900_MS;
}

int64_t microsFromFileTime(uint64_t fileTime) {
  return static_cast<int64_t>(fileTime / 10) - FILETIME_TO_1900_MS * 1000;
}

Millis1900 millisFromMicros(int64_t us) {
  Millis1900 ms = us / 1000;
  if (us % 1000 < 0) --ms;
  return ms;
}

int64_t nearestMillis(int64_t us) {
  int64_t ms = us / 1000;
  int64_t rest = us % 1000;
  if (rest < 0) {
    rest += 1000;
    --ms;
  }
  return rest >= 500 ? ms + 1 : ms;
}

uint64_t fileTimeFromMillis(Millis1900 t) {
  // Unsigned so that an absurd offset wraps instead of overflowing.
  return (static_cast<uint64_t>(t) + static_cast<uint64_t>(FILETIME_TO_1900_MS)) * 10000u;
}

bool millisHasCalendarForm(Millis1900 t) {
  const int64_t lowest = -FILETIME_TO_1900_MS;                     // 1601-01-01
  const int64_t highest = INT64_MAX / 10000 - FILETIME_TO_1900_MS;  // FILETIME < 2^63
  return t >= lowest && t <= highest;
}

uint64_t tickScaleFor(uint64_t frequency) {
  if (frequency == 0) return 0;
  return (1000ull << 32) / frequency;
}

uint32_t ticksToMs(uint64_t count, uint64_t scale) {
  return static_cast<uint32_t>((count * scale) >> 32);
}

uint64_t counterMs(uint64_t count, uint64_t frequency) {
  if (frequency == 0) return 0;
  return count / frequency * 1000u + count % frequency * 1000u / frequency;
}

void formatCalendarTime(const CalendarTime& local, char* text) {
  unsigned hour = local.hour;
  if (hour > 12) hour -= 12;
  else if (hour == 0) hour = 12;
  const char half = local.hour < 12 ? 'a' : 'p';
  // Calendar fields from the platform keep the text within 23 characters;
  // odd fields are cut rather than written past the caller's 24 bytes.
  char full[64];
  std::snprintf(full, sizeof full, "%u:%02u:%02u%cm on %u/%u/%02u ", hour, local.minute,
                local.second, half, local.month, local.day, local.year % 100);
  size_t length = std::strlen(full);
  if (length > 23) length = 23;
  std::memcpy(text, full, length);
  text[length] = '\0';
}

Millis1900 nearestMillisFromFileTime(uint64_t fileTime) {
  const uint64_t half = 5000;  // 100 ns units
  return millisFromFileTime(fileTime > UINT64_MAX - half ? fileTime : fileTime + half);
}
