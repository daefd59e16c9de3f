// Server records: status texts, names, and the little-endian registry image.
#include "servers/server_record.h"

#include <cstddef>

#include "timebase/byte_order.h"

// The in-memory record mirrors the stored image; the image is still packed
// field by field so neither the compiler's layout nor the host's byte order
// ever reaches the registry.
static_assert(offsetof(ServerRecord, name) == 0, "name at 0");
static_assert(offsetof(ServerRecord, enabled) == 128, "enabled at 128");
static_assert(offsetof(ServerRecord, status) == 132, "status at 132");
static_assert(offsetof(ServerRecord, latency) == 136, "latency at 136");
static_assert(offsetof(ServerRecord, reserved) == 140, "reserved at 140");
static_assert(offsetof(ServerRecord, correction) == 144, "correction at 144");
static_assert(sizeof(ServerRecord) == SERVER_IMAGE_SIZE, "record image is 152 bytes");

const char* serverStatusText(int32_t status) {
  switch (status) {
    case STATUS_WINSOCK_ERROR: return "Winsock Error";
    case STATUS_NO_RESPONSE: return "No Response";
    case STATUS_SLOW_RESPONSE: return "Slow Response";
    case STATUS_REFUSED: return "Refused";
    case STATUS_NET_DOWN: return "Net is Down";
    case STATUS_NO_DNS: return "No DNS entry";
    case STATUS_DISABLED: return "Disabled";
    case STATUS_INTERRUPTED: return "Interrupted";
    case STATUS_NO_TLS13: return "No TLS 1.3";
    case STATUS_BAD_CERTIFICATE: return "Bad Certificate";
    case STATUS_NTS_REFUSED: return "NTS Refused";
    case STATUS_NOT_AUTHENTIC: return "Not Authentic";
    case STATUS_ONE_KEY_ONLY: return "One TLS Key Only";
    default: return "";
  }
}

void setServerName(ServerRecord& record, const char* name) {
  // Bytes after the terminator keep what they held: they carry no meaning.
  int i = 0;
  if (name != nullptr) {
    for (; i < SERVER_NAME_SIZE - 1 && name[i] != '\0'; ++i) record.name[i] = name[i];
  }
  record.name[i] = '\0';
}

void packServerRecord(const ServerRecord& record, uint8_t image[SERVER_IMAGE_SIZE]) {
  for (int i = 0; i < SERVER_NAME_SIZE; ++i) image[i] = static_cast<uint8_t>(record.name[i]);
  putLittleEndian(image + 128, record.enabled != 0 ? 1u : 0u, 4);
  putLittleEndian(image + 132, static_cast<uint32_t>(record.status), 4);
  putLittleEndian(image + 136, record.latency, 4);
  putLittleEndian(image + 140, 0, 4);
  putLittleEndian(image + 144, static_cast<uint64_t>(record.correction), 8);
}

void unpackServerRecord(const uint8_t image[SERVER_IMAGE_SIZE], ServerRecord& record) {
  for (int i = 0; i < SERVER_NAME_SIZE; ++i) record.name[i] = static_cast<char>(image[i]);
  // A value written by someone else may fill all 128 bytes without a NUL.
  record.name[SERVER_NAME_SIZE - 1] = '\0';
  // Another tool may have stored any non-zero value for "enabled"; as a plain
  // 0 or 1 the Enable/Disable flip always turns it off.
  record.enabled = getLittleEndian(image + 128, 4) != 0 ? 1 : 0;
  record.status = static_cast<int32_t>(static_cast<uint32_t>(getLittleEndian(image + 132, 4)));
  record.latency = static_cast<uint32_t>(getLittleEndian(image + 136, 4));
  record.reserved = 0;
  record.correction = static_cast<int64_t>(getLittleEndian(image + 144, 8));
}
