// The boot a record belongs to (implements boot_stamp.h).
#include "timebase/boot_stamp.h"

#include "timebase/byte_order.h"

namespace {

const uint64_t SAME_BOOT_SLACK_MS = 1000;

uint64_t distance(int64_t a, int64_t b) {
  // Unsigned: the difference of two extreme values does not fit in 64 signed bits.
  return a > b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
               : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

}  // namespace

BootStamp stampBoot(Millis1900 clockNow, uint64_t counterNow) {
  BootStamp stamp;
  stamp.bootedAt = static_cast<Millis1900>(static_cast<uint64_t>(clockNow) - counterNow);
  stamp.counterMs = counterNow;
  return stamp;
}

bool sameBoot(const BootStamp& stored, const BootStamp& now) {
  if (now.counterMs < stored.counterMs) return false;
  const uint64_t elapsed = now.counterMs - stored.counterMs;
  const uint64_t drift = elapsed / (1000000u / (2 * static_cast<uint64_t>(CLOCK_DRIFT_ALLOWANCE_PPM)));
  return distance(stored.bootedAt, now.bootedAt) <= SAME_BOOT_SLACK_MS + drift;
}

void packBootStamp(const BootStamp& stamp, uint8_t* image) {
  putLittleEndian(image, static_cast<uint64_t>(stamp.bootedAt), 8);
  putLittleEndian(image + 8, stamp.counterMs, 8);
}

BootStamp unpackBootStamp(const uint8_t* image) {
  BootStamp stamp;
  stamp.bootedAt = static_cast<Millis1900>(getLittleEndian(image, 8));
  stamp.counterMs = getLittleEndian(image + 8, 8);
  return stamp;
}
