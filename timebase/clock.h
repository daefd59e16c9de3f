// The system clock and the high-resolution counter (implemented for Windows
// in clock_win.cpp).
#pragma once
#include <cstdint>
#include "timebase/millis.h"

Millis1900 readClock();
// The same clock in microseconds since 1900.
int64_t readClockUs();
// Sets the clock to its reading + offset, the reading to the nearest
// millisecond (taken at the start of one); returns the value set, or 0 when the
// clock was not set for lack of privilege (or the target has no calendar form).
// Any other failure ends the program through fatalExit.
Millis1900 shiftClock(int64_t offset);
// Local time of t as "h:mm:ssam on m/d/yy "; text of at least 24 bytes.
void formatLocalTime(Millis1900 t, char* text);
// Milliseconds of the performance counter, wrapping at 2^32.
uint32_t readTickMs();
// Milliseconds of the performance counter in 64 bits: monotonic, untouched by
// clock changes.
uint64_t readCounterMs();
