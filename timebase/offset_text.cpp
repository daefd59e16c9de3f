// Offsets as short texts: one sign, the number at one or two decimals, a unit.
#include "timebase/offset_text.h"

#include "timebase/millis.h"

void formatOffset(int64_t offset, char* text) {
  char* out = text;
  *out++ = offset < 0 ? '-' : '+';
  // Unsigned, so even -2^63 gets its true digits.
  uint64_t m = magnitudeOf(offset);

  char unit;
  uint64_t divisor, precision;
  if (m < 120000u) {
    unit = 's'; divisor = 10; precision = 10;
  } else if (m < 7200000u) {
    unit = 'm'; divisor = 60; precision = 100;
  } else if (m < 172800000u) {
    unit = 'h'; divisor = 3600; precision = 100;
  } else {
    unit = 'd'; divisor = 86400; precision = 100;
  }

  // q is in hundredths of a second or thousandths of the unit; r rounds half up
  // to what is shown.
  const uint64_t q = m / divisor;
  uint64_t r = (q + 5) / 10;
  if (r == 0) text[0] = ' ';

  uint64_t w = precision * 10;
  while (w <= r) w *= 10;
  do {
    w /= 10;
    const uint64_t digit = r / w;
    r -= digit * w;
    *out++ = static_cast<char>('0' + digit);
    if (w == precision) *out++ = '.';
  } while (w > 1);
  *out++ = unit;
  *out = '\0';
}

int64_t parseOffset(const char* text) {
  // Unsigned arithmetic: products that leave the 64-bit range wrap silently.
  uint64_t v = 0;
  int64_t scale = 1000;
  int64_t sign = 1;
  bool pointSeen = false;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') {
      if (scale > 1) {
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (pointSeen) scale /= 10;
      }
    } else if (c == '.') {
      pointSeen = true;
    } else if (c == '-') {
      sign = -sign;
    } else if (c == 'd' || c == 'D') {
      v *= 86400;
    } else if (c == 'h' || c == 'H') {
      v *= 3600;
    } else if (c == 'm' || c == 'M') {
      v *= 60;
    }
  }
  return static_cast<int64_t>(v * static_cast<uint64_t>(sign * scale));
}
