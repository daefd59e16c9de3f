// Extension fields after the 48-byte header: a 16-bit type, a 16-bit length
// of the whole field, and a body padded with zeros to whole 32-bit words.
#include "query/nts_ntp.h"

#include "timebase/byte_order.h"

namespace {

const uint32_t KISS_NTS_NAK = 0x4E54534Eu;  // "NTSN"

size_t paddedToWords(size_t size) { return (size + 3) & ~static_cast<size_t>(3); }

// A field with its body padded to whole words and to the least field size;
// returns the field's size. body null: a body of zeros.
size_t putField(uint8_t* at, uint16_t type, const uint8_t* body, size_t size) {
  size_t total = 4 + paddedToWords(size);
  if (total < static_cast<size_t>(NTP_EF_MIN_SIZE)) total = NTP_EF_MIN_SIZE;
  putBigEndian(at, type, 2);
  putBigEndian(at + 2, total, 2);
  for (size_t i = 0; i < total - 4; ++i) at[4 + i] = (body != nullptr && i < size) ? body[i] : 0;
  return total;
}

struct Field {
  size_t at;  // where the field starts
  uint16_t type;
  const uint8_t* body;
  size_t bodySize;  // padding included
};

// Steps through the fields of data[from, size); false on a field whose
// length is not whole words, under the least size, or past the end.
bool nextField(const uint8_t* data, size_t size, size_t& from, Field& field) {
  if (size - from < 4) return false;
  const size_t length = getBigEndian(data + from + 2, 2);
  if (length < static_cast<size_t>(NTP_EF_MIN_SIZE) || length % 4 != 0 || length > size - from) return false;
  field.at = from;
  field.type = static_cast<uint16_t>(getBigEndian(data + from, 2));
  field.body = data + from + 4;
  field.bodySize = length - 4;
  from += length;
  return true;
}

NtsAnswerResult fromVerdict(NtpVerdict verdict) {
  switch (verdict) {
    case NTP_USE: return NTS_ANSWER_USE;
    case NTP_KISS_RATE: return NTS_ANSWER_KISS_RATE;
    case NTP_KISS_DENY: return NTS_ANSWER_KISS_DENY;
    default: return NTS_ANSWER_DROP;
  }
}

// The cookies among the sealed fields, into the jar; false when the fields
// cannot be read.
bool takeCookies(const uint8_t* plain, size_t size, CookieJar& jar, int& taken) {
  size_t from = 0;
  while (from < size) {
    Field f;
    if (!nextField(plain, size, from, f)) return false;
    if (f.type == NTS_EF_COOKIE && jar.add(f.body, f.bodySize)) ++taken;
  }
  return true;
}

}  // namespace

size_t packNtsRequest(NtpTimestamp transmit, const uint8_t uniqueId[NTS_UNIQUE_ID_SIZE],
                      const uint8_t nonce[NTS_NONCE_SIZE], CookieJar& jar, AesSiv& clientToServer,
                      uint8_t packet[NTS_PACKET_MAX]) {
  uint8_t cookie[NTS_COOKIE_MAX];
  size_t cookieSize = 0;
  if (!jar.take(cookie, cookieSize)) return 0;
  packNtpRequest(transmit, packet);
  size_t at = NTP_PACKET_SIZE;
  at += putField(packet + at, NTS_EF_UNIQUE_ID, uniqueId, NTS_UNIQUE_ID_SIZE);
  at += putField(packet + at, NTS_EF_COOKIE, cookie, cookieSize);
  // Placeholders as long as the cookie, so the answer is no larger than the
  // request and cannot amplify a forged source's traffic.
  for (int i = 0; i < jar.placeholdersWanted(); ++i)
    at += putField(packet + at, NTS_EF_COOKIE_PLACEHOLDER, nullptr, cookieSize);

  // Nothing to hide: the sealed part is the synthetic IV alone, over the
  // packet so far and the nonce.
  const size_t authAt = at;
  putBigEndian(packet + at, NTS_EF_AUTHENTICATOR, 2);
  putBigEndian(packet + at + 2, 4 + 4 + NTS_NONCE_SIZE + AES_SIV_TAG_SIZE, 2);
  putBigEndian(packet + at + 4, NTS_NONCE_SIZE, 2);
  putBigEndian(packet + at + 6, AES_SIV_TAG_SIZE, 2);
  for (int i = 0; i < NTS_NONCE_SIZE; ++i) packet[at + 8 + i] = nonce[i];
  at += 8 + NTS_NONCE_SIZE;
  clientToServer.sealWithNonce(packet, authAt, nonce, NTS_NONCE_SIZE, nullptr, 0, packet + at);
  return at + AES_SIV_TAG_SIZE;
}

NtsAnswer checkNtsAnswer(const uint8_t* packet, size_t size, NtpTimestamp sent,
                         const uint8_t uniqueId[NTS_UNIQUE_ID_SIZE], AesSiv& serverToClient, CookieJar& jar) {
  NtsAnswer out = {};
  out.result = NTS_ANSWER_DROP;
  if (size < static_cast<size_t>(NTP_PACKET_SIZE) || size > NTS_PACKET_MAX) return out;
  unpackNtpAnswer(packet, out.ntp);
  // Stray datagrams and answers to other requests go before any work.
  if (out.ntp.origin != sent || out.ntp.mode != 4) return out;

  const Field none = {0, 0, nullptr, 0};
  Field id = none, auth = none;
  bool idSeen = false, authSeen = false;
  size_t from = NTP_PACKET_SIZE;
  while (from < size) {
    Field f;
    if (!nextField(packet, size, from, f)) {
      out.result = NTS_ANSWER_MALFORMED;
      return out;
    }
    // Nothing after the authenticator is covered by it.
    if (authSeen) {
      out.result = NTS_ANSWER_NOT_AUTHENTIC;
      return out;
    }
    if (f.type == NTS_EF_UNIQUE_ID) {
      if (idSeen) {
        out.result = NTS_ANSWER_MALFORMED;
        return out;
      }
      idSeen = true;
      id = f;
    } else if (f.type == NTS_EF_AUTHENTICATOR) {
      authSeen = true;
      auth = f;
    }
  }
  if (!idSeen || id.bodySize != static_cast<size_t>(NTS_UNIQUE_ID_SIZE) ||
      !equalInConstantTime(id.body, uniqueId, NTS_UNIQUE_ID_SIZE)) {
    out.result = NTS_ANSWER_WRONG_ID;
    return out;
  }
  if (!authSeen) {
    // The refusal of a cookie cannot be authenticated, since the server has
    // no key without it; it comes with our identifier and nothing else.
    const bool nak = out.ntp.stratum == 0 && out.ntp.reference == KISS_NTS_NAK;
    out.result = nak ? NTS_ANSWER_NAK : NTS_ANSWER_NOT_AUTHENTIC;
    return out;
  }

  // Every field is 16 bytes at least: the body holds the two lengths.
  out.result = NTS_ANSWER_NOT_AUTHENTIC;
  const size_t nonceSize = getBigEndian(auth.body, 2);
  const size_t sealedSize = getBigEndian(auth.body + 2, 2);
  // A sealed part shorter than its tag never opens.
  if (nonceSize == 0 || 4 + paddedToWords(nonceSize) + paddedToWords(sealedSize) > auth.bodySize) return out;
  const uint8_t* nonce = auth.body + 4;
  const uint8_t* sealed = nonce + paddedToWords(nonceSize);
  uint8_t plain[NTS_PACKET_MAX];
  if (!serverToClient.openWithNonce(packet, auth.at, nonce, nonceSize, sealed, sealedSize, plain)) return out;

  if (!takeCookies(plain, sealedSize - AES_SIV_TAG_SIZE, jar, out.newCookies)) {
    out.result = NTS_ANSWER_MALFORMED;
    return out;
  }
  out.result = fromVerdict(judgeNtpAnswer(out.ntp, sent));
  return out;
}
