// The key exchange of authenticated time, carried in TLS to the server's
// port 4460: the client's request records, the reader of the server's
// response records as the TLS layer hands them over (in pieces of any
// size), and what the TLS key exporter is asked for.
#pragma once
#include <cstddef>
#include <cstdint>
#include "nts/cookie_jar.h"

const int NTS_KE_PORT = 4460;
const char NTS_KE_ALPN[] = "ntske/1";

const uint16_t NTS_PROTOCOL_NTPV4 = 0;
const uint16_t NTS_AEAD_AES_SIV_CMAC_256 = 15;

// Record types; the high bit of the type field marks a record critical.
const uint16_t NTS_RECORD_END = 0;
const uint16_t NTS_RECORD_NEXT_PROTOCOL = 1;
const uint16_t NTS_RECORD_ERROR = 2;
const uint16_t NTS_RECORD_WARNING = 3;
const uint16_t NTS_RECORD_AEAD = 4;
const uint16_t NTS_RECORD_NEW_COOKIE = 5;
const uint16_t NTS_RECORD_SERVER = 6;
const uint16_t NTS_RECORD_PORT = 7;
const uint16_t NTS_RECORD_CRITICAL = 0x8000;

// Next Protocol NTPv4, AEAD AES-SIV-CMAC-256, End of Message.
const int NTS_KE_REQUEST_SIZE = 16;
void packNtsKeRequest(uint8_t request[NTS_KE_REQUEST_SIZE]);

// A response longer than this is not a key exchange.
const size_t NTS_KE_RESPONSE_MAX = 16384;
const int NTS_SERVER_NAME_MAX = 255;

enum NtsKeResult {
  NTS_KE_MORE = 0,          // no End of Message yet: more bytes to come
  NTS_KE_DONE = 1,          // a complete, usable response
  NTS_KE_REFUSED = 2,       // the server sent an Error record
  NTS_KE_MALFORMED = 3,     // a record of the wrong size or shape, or twice what comes once
  NTS_KE_UNKNOWN_CRITICAL = 4,
  NTS_KE_NO_PROTOCOL = 5,   // no Next Protocol record, or not NTPv4 alone
  NTS_KE_NO_AEAD = 6,       // no AEAD record, or not the algorithm offered
  NTS_KE_NO_COOKIE = 7,     // complete, but nothing to make a request with
  NTS_KE_OVERSIZED = 8,     // a record or the response beyond what a key exchange needs
  NTS_KE_TRUNCATED = 9,     // the connection ended before End of Message
};

struct NtsKeResponse {
  uint16_t errorCode;       // with NTS_KE_REFUSED
  int warnings;             // Warning records, which change nothing
  uint16_t lastWarning;
  char server[NTS_SERVER_NAME_MAX + 1];  // where to ask; empty: the key exchange's host
  uint16_t port;            // 0: the NTP port
  CookieJar cookies;
  int cookiesOffered;       // New Cookie records, those beyond the jar's size included
};

class NtsKeReader {
 public:
  NtsKeReader();
  // The next bytes of the response. Once the result is anything but
  // NTS_KE_MORE it stays so, and further bytes change nothing.
  NtsKeResult feed(const uint8_t* data, size_t size);
  // The connection closed: truncated unless the response was complete.
  NtsKeResult finish();
  NtsKeResult result() const { return result_; }
  const NtsKeResponse& response() const { return response_; }

 private:
  NtsKeResult startBody();
  NtsKeResult endRecord();
  NtsKeResult endMessage() const;

  NtsKeResult result_;
  NtsKeResponse response_;
  size_t total_;
  uint8_t header_[4];
  int headerHave_;
  uint16_t type_;
  bool critical_;
  size_t bodySize_;
  size_t bodyHave_;
  bool keepBody_;  // false: a non-critical record we skip unread
  uint8_t body_[NTS_COOKIE_MAX];
  bool sawProtocol_;
  bool sawAead_;
  bool sawServer_;
  bool sawPort_;
};

// The TLS exporter gives the two keys of authenticated NTP under this label,
// with a context naming the protocol, the algorithm and the direction.
const char NTS_EXPORTER_LABEL[] = "EXPORTER-network-time-security";
const int NTS_EXPORTER_CONTEXT_SIZE = 5;
const int NTS_KEY_SIZE = 32;  // AES-SIV-CMAC-256
void ntsExporterContext(bool serverToClient, uint8_t context[NTS_EXPORTER_CONTEXT_SIZE]);
