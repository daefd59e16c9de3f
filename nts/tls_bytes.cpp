// The ALPN offer's image.
#include "nts/tls_bytes.h"

#include "timebase/byte_order.h"

namespace {

const uint32_t ALPN_NEGOTIATION = 2;  // after "none" and NPN

}  // namespace

size_t packAlpnOffer(const char* protocol, uint8_t* out, size_t room) {
  const size_t length = std::strlen(protocol);
  if (length == 0 || length > 255) return 0;
  const size_t ids = 1 + length;
  const size_t list = 4 + 2 + ids;
  const size_t total = 4 + list;
  if (total > room) return 0;
  putLittleEndian(out, static_cast<uint32_t>(list), 4);
  putLittleEndian(out + 4, ALPN_NEGOTIATION, 4);
  putLittleEndian(out + 8, static_cast<uint32_t>(ids), 2);
  out[10] = static_cast<uint8_t>(length);
  std::memcpy(out + 11, protocol, length);
  return total;
}
