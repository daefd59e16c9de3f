// The little-endian byte image of a signed 64-bit setting, packed byte by
// byte so that it reads the same whatever the host's byte order.
#include "settings/settings.h"

void packInt64(int64_t value, uint8_t image[8]) {
  const uint64_t bits = static_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) image[i] = static_cast<uint8_t>(bits >> (8 * i));
}
