// One time server's persisted record, its status codes and texts, and its
// 152-byte little-endian registry image.
#pragma once
#include <cstddef>
#include <cstdint>

const int SERVER_SLOTS = 50;
const int SERVER_NAME_SIZE = 128;
const size_t SERVER_IMAGE_SIZE = 152;

enum ServerStatus {
  STATUS_NONE = 0,
  STATUS_WINSOCK_ERROR = 1,
  STATUS_NO_RESPONSE = 2,
  STATUS_SLOW_RESPONSE = 3,
  STATUS_REFUSED = 4,
  STATUS_NET_DOWN = 5,
  STATUS_NO_DNS = 6,
  STATUS_DISABLED = 7,
  STATUS_INTERRUPTED = 8,
  // An authenticated-time server that could not be authenticated: it is
  // never asked unauthenticated instead, and gives no bounds.
  STATUS_NO_TLS13 = 9,          // this system's TLS has no TLS 1.3 with key export
  STATUS_BAD_CERTIFICATE = 10,  // the key exchange's certificate was not accepted
  STATUS_NTS_REFUSED = 11,      // the key exchange ended with an Error record
  STATUS_NOT_AUTHENTIC = 12,    // an answer failed the check, or the key exchange broke its rules
  STATUS_ONE_KEY_ONLY = 13,     // the system's TLS exports one key where both directions need their own
  STATUS_UNUSED = 100,
  STATUS_TEST = 101,
  STATUS_GOOD = 102,
};

struct ServerRecord {
  char name[SERVER_NAME_SIZE];  // empty: the slot is free
  int32_t enabled;
  int32_t status;               // a ServerStatus
  uint32_t latency;             // ms, meaningful for results (100..102)
  uint32_t reserved;
  int64_t correction;           // ms, meaningful for results (100..102)
};

inline bool isResultStatus(int32_t status) { return status >= STATUS_UNUSED && status <= STATUS_GOOD; }

// Text of a failure status 1..13 for the latency column; "" for every other code.
const char* serverStatusText(int32_t status);

// Copies name into the record, cut to 127 characters, always terminated.
void setServerName(ServerRecord& record, const char* name);

// The enabled flag goes out as 0 or 1.
void packServerRecord(const ServerRecord& record, uint8_t image[SERVER_IMAGE_SIZE]);
// The name is always terminated within its 128 bytes and any non-zero enabled
// flag reads as 1, whatever the image holds.
void unpackServerRecord(const uint8_t image[SERVER_IMAGE_SIZE], ServerRecord& record);
