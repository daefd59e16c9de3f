// The little-endian byte image of a signed 64-bit setting, packed byte by
// byte so that it reads the same whatever the host's byte order.
#include "settings/settings.h"

#include "timebase/byte_order.h"

void packInt64(int64_t value, uint8_t image[8]) { putLittleEndian(image, static_cast<uint64_t>(value), 8); }
