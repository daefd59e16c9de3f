// The system clock and the performance counter on Windows.
#include <windows.h>

#include "timebase/clock.h"
#include "timebase/fatal_exit.h"
#include "timebase/kernel_call_win.h"

static uint64_t fileTimeValue(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

static FILETIME toFileTime(uint64_t value) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

typedef VOID(WINAPI* ReadFileTimeFunction)(LPFILETIME);

// The precise reading where the system has one (Windows 8 on): the plain one
// advances only with the system tick, every 15.6 ms by default, which would
// blur every time stamp of an exchange by as much.
static ReadFileTimeFunction systemTimeReader() {
  static ReadFileTimeFunction reader = nullptr;
  if (reader == nullptr) {
    const auto precise = kernelCall<ReadFileTimeFunction>("GetSystemTimePreciseAsFileTime");
    reader = precise != nullptr ? precise : GetSystemTimeAsFileTime;
  }
  return reader;
}

Millis1900 readClock() {
  FILETIME now;
  systemTimeReader()(&now);
  return millisFromFileTime(fileTimeValue(now));
}

int64_t readClockUs() {
  FILETIME now;
  systemTimeReader()(&now);
  return microsFromFileTime(fileTimeValue(now));
}

// The reading at which the clock is set: the start of a millisecond where
// the reading has the resolution to show one (at most 2 ms are waited for
// it), so that the whole-millisecond time set loses no fraction of the moment.
static uint64_t readingAtMillisecondStart() {
  FILETIME now;
  systemTimeReader()(&now);
  uint64_t reading = fileTimeValue(now);
  const uint64_t waitUntil = readCounterMs() + 2;
  const uint64_t startSlack = 500;  // 100 ns units: 50 us into the millisecond
  while (reading % 10000 > startSlack && readCounterMs() < waitUntil) {
    systemTimeReader()(&now);
    reading = fileTimeValue(now);
  }
  return reading;
}

Millis1900 shiftClock(int64_t offset) {
  // Real-time priority only for the span from reading the clock to setting it.
  SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
  Millis1900 t = static_cast<Millis1900>(static_cast<uint64_t>(nearestMillisFromFileTime(readingAtMillisecondStart())) +
                                         static_cast<uint64_t>(offset));
  DWORD error = 0;
  bool representable = millisHasCalendarForm(t);
  if (representable) {
    const FILETIME target = toFileTime(fileTimeFromMillis(t));
    SYSTEMTIME fields;
    // A target beyond the calendar's range must never reach SetSystemTime.
    representable = FileTimeToSystemTime(&target, &fields) != FALSE;
    if (representable && !SetSystemTime(&fields)) {
      error = GetLastError();
      t = 0;
    }
  }
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);

  // An offset far outside any real correction (an extreme user offset, say)
  // leaves the clock alone, reported like a refusal rather than a crash.
  if (!representable) return 0;
  if (t == 0 && error != ERROR_PRIVILEGE_NOT_HELD) {
    fatalExit("Cannot set the system time");
    return 0;
  }
  return t;
}

void formatLocalTime(Millis1900 t, char* text) {
  const FILETIME utc = toFileTime(fileTimeFromMillis(t));
  FILETIME local = utc;
  SYSTEMTIME fields = {};
  FileTimeToLocalFileTime(&utc, &local);
  FileTimeToSystemTime(&local, &fields);
  const CalendarTime calendar = {fields.wYear, fields.wMonth,  fields.wDay,
                                 fields.wHour, fields.wMinute, fields.wSecond};
  formatCalendarTime(calendar, text);
}

static uint64_t tickScale;
static bool tickScaleKnown;

uint64_t readCounterMs() {
  // The frequency is fixed at boot: asked once, like the tick scale below.
  static LONGLONG frequency = -1;
  if (frequency < 0) {
    LARGE_INTEGER f;
    frequency = QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 0;
  }
  if (frequency == 0) return GetTickCount64();
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return counterMs(static_cast<uint64_t>(count.QuadPart), static_cast<uint64_t>(frequency));
}

uint32_t readTickMs() {
  if (!tickScaleKnown) {
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency)) frequency.QuadPart = 0;
    tickScale = tickScaleFor(static_cast<uint64_t>(frequency.QuadPart));
    tickScaleKnown = true;
  }
  // Without a usable counter the system's millisecond count serves: it wraps
  // at 2^32 just the same, only coarser.
  if (tickScale == 0) return GetTickCount();
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return ticksToMs(static_cast<uint64_t>(count.QuadPart), tickScale);
}
