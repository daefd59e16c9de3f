// NTP with authenticated time: the request (the plain client packet, a
// unique identifier, one cookie, placeholders asking for more, and an
// authenticator sealed under the client-to-server key) and what an answer
// must show before its stamps count: our identifier, a tag that verifies
// under the server-to-client key, and new cookies in its sealed part.
#pragma once
#include <cstddef>
#include <cstdint>
#include "nts/aes_siv.h"
#include "nts/cookie_jar.h"
#include "query/ntp_packet.h"

const uint16_t NTS_EF_UNIQUE_ID = 0x0104;
const uint16_t NTS_EF_COOKIE = 0x0204;
const uint16_t NTS_EF_COOKIE_PLACEHOLDER = 0x0304;
const uint16_t NTS_EF_AUTHENTICATOR = 0x0404;

const int NTS_UNIQUE_ID_SIZE = 32;
const int NTS_NONCE_SIZE = 16;
// An extension field is a whole number of 32-bit words, 16 bytes at least.
const int NTP_EF_MIN_SIZE = 16;
// The largest request: a cookie and seven placeholders of the largest size.
const size_t NTS_PACKET_MAX = NTP_PACKET_SIZE + 4 + NTS_UNIQUE_ID_SIZE + NTS_COOKIES_KEPT * (4 + NTS_COOKIE_MAX) +
                              4 + 4 + NTS_NONCE_SIZE + AES_SIV_TAG_SIZE;

// Takes the jar's oldest cookie; uniqueId and nonce are fresh random bytes
// from the caller, and clientToServer holds that key. Returns the request's
// size, 0 when the jar has no cookie left (a key exchange comes first).
size_t packNtsRequest(NtpTimestamp transmit, const uint8_t uniqueId[NTS_UNIQUE_ID_SIZE],
                      const uint8_t nonce[NTS_NONCE_SIZE], CookieJar& jar, AesSiv& clientToServer,
                      uint8_t packet[NTS_PACKET_MAX]);

enum NtsAnswerResult {
  NTS_ANSWER_USE = 0,            // authentic, and NTP's rules take its stamps
  NTS_ANSWER_DROP = 1,           // no answer to our request, or one NTP's rules drop
  NTS_ANSWER_KISS_RATE = 2,      // authentic, asked too often
  NTS_ANSWER_KISS_DENY = 3,      // authentic DENY or RSTR
  NTS_ANSWER_WRONG_ID = 4,       // echoes our stamp but not our unique identifier
  NTS_ANSWER_NAK = 5,            // the server cannot use our cookie: a new key exchange
  NTS_ANSWER_NOT_AUTHENTIC = 6,  // no authenticator, one that does not verify, or fields it does not cover
  NTS_ANSWER_MALFORMED = 7,      // extension fields that cannot be read
};

struct NtsAnswer {
  NtsAnswerResult result;
  NtpAnswer ntp;   // the header's fields, whatever the result
  int newCookies;  // taken into the jar, from an authentic answer only
};

// sent: the request's transmit stamp; serverToClient holds that key.
NtsAnswer checkNtsAnswer(const uint8_t* packet, size_t size, NtpTimestamp sent,
                         const uint8_t uniqueId[NTS_UNIQUE_ID_SIZE], AesSiv& serverToClient, CookieJar& jar);
