// NTP's authenticated extension fields: the request against literal bytes
// and an independent check of its tag, and answers built here as a server
// would build them, then changed in each way an attacker or a broken server
// could change them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "query/nts_ntp.h"
#include "tests/unit/reference_aes.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes filled(uint8_t from, size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(from + 3 * i);
  return out;
}

Bytes field(uint16_t type, const Bytes& body) {
  const size_t size = 4 + ((body.size() + 3) & ~size_t{3});
  Bytes out(size, 0);
  out[0] = static_cast<uint8_t>(type >> 8);
  out[1] = static_cast<uint8_t>(type);
  out[2] = static_cast<uint8_t>(size >> 8);
  out[3] = static_cast<uint8_t>(size);
  for (size_t i = 0; i < body.size(); ++i) out[4 + i] = body[i];
  return out;
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

struct Key {
  ReferenceAes mac, ctr;
  AesSiv siv{mac, ctr};
  explicit Key(uint8_t from) { siv.setKey(filled(from, AES_SIV_KEY_SIZE).data()); }
};

const NtpTimestamp SENT = 0xE8000000A5A5A5A5ull;
const NtpTimestamp RECEIVED = 0xE800000112345678ull;

// What a server sends back, part by part, so each test can spoil one.
struct AnswerParts {
  uint8_t leap = 0, stratum = 1;
  uint32_t reference = 0x4C4F434Cu;  // "LOCL"
  NtpTimestamp origin = SENT;
  Bytes uniqueId = filled(0x10, NTS_UNIQUE_ID_SIZE);
  bool withId = true, withAuth = true;
  std::vector<Bytes> cookies = {filled(0x80, 100), filled(0x90, 100)};
  Bytes extraSealed;   // more sealed fields after the cookies
  Bytes after;         // fields after the authenticator
  Bytes nonce = filled(0x60, NTS_NONCE_SIZE);
};

Bytes answerOf(const AnswerParts& p, AesSiv& key) {
  Bytes out(NTP_PACKET_SIZE, 0);
  out[0] = static_cast<uint8_t>((p.leap << 6) | (4 << 3) | 4);
  out[1] = p.stratum;
  for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<uint8_t>(p.reference >> (24 - 8 * i));
  for (int i = 0; i < 8; ++i) {
    out[24 + i] = static_cast<uint8_t>(p.origin >> (56 - 8 * i));
    out[32 + i] = static_cast<uint8_t>(RECEIVED >> (56 - 8 * i));
    out[40 + i] = static_cast<uint8_t>((RECEIVED + 1000) >> (56 - 8 * i));
  }
  if (p.withId) append(out, field(NTS_EF_UNIQUE_ID, p.uniqueId));
  if (p.withAuth) {
    Bytes plain;
    for (const Bytes& c : p.cookies) append(plain, field(NTS_EF_COOKIE, c));
    append(plain, p.extraSealed);
    Bytes sealed(plain.size() + AES_SIV_TAG_SIZE);
    key.sealWithNonce(out.data(), out.size(), p.nonce.data(), p.nonce.size(), plain.data(), plain.size(),
                      sealed.data());
    Bytes body = {static_cast<uint8_t>(p.nonce.size() >> 8), static_cast<uint8_t>(p.nonce.size()),
                  static_cast<uint8_t>(sealed.size() >> 8), static_cast<uint8_t>(sealed.size())};
    Bytes nonce = p.nonce;
    nonce.resize((nonce.size() + 3) & ~size_t{3}, 0);
    append(body, nonce);
    append(body, sealed);
    append(out, field(NTS_EF_AUTHENTICATOR, body));
  }
  append(out, p.after);
  return out;
}

struct Client {
  Key serverToClient{0x40};
  CookieJar jar;
  Bytes uniqueId = filled(0x10, NTS_UNIQUE_ID_SIZE);
  NtsAnswer check(const Bytes& answer) {
    return checkNtsAnswer(answer.data(), answer.size(), SENT, uniqueId.data(), serverToClient.siv, jar);
  }
};

TEST(NtsRequest, ImageCarriesIdCookiePlaceholdersAndAVerifyingTag) {
  Key clientToServer(0x20);
  CookieJar jar;
  const Bytes first = filled(0x70, 98);  // not whole words: padded
  jar.add(first.data(), first.size());
  for (uint8_t i = 1; i < NTS_COOKIES_KEPT; ++i) jar.add(filled(i, 98).data(), 98);
  const Bytes id = filled(0x10, NTS_UNIQUE_ID_SIZE), nonce = filled(0x60, NTS_NONCE_SIZE);
  uint8_t packet[NTS_PACKET_MAX];
  const size_t size = packNtsRequest(SENT, id.data(), nonce.data(), jar, clientToServer.siv, packet);

  uint8_t header[NTP_PACKET_SIZE];
  packNtpRequest(SENT, header);
  Bytes expected(header, header + NTP_PACKET_SIZE);
  append(expected, Bytes{0x01, 0x04, 0x00, 0x24});
  append(expected, id);
  append(expected, Bytes{0x02, 0x04, 0x00, 0x68});
  append(expected, first);
  append(expected, Bytes{0, 0});
  // The jar still holds seven: the answer's one new cookie makes eight again,
  // so no placeholder goes along.
  EXPECT_EQ(NTS_COOKIES_KEPT - 1, jar.count());
  const size_t authAt = expected.size();
  append(expected, Bytes{0x04, 0x04, 0x00, 0x28, 0x00, 0x10, 0x00, 0x10});
  append(expected, nonce);
  ASSERT_EQ(authAt + 40, size);
  EXPECT_EQ(expected, Bytes(packet, packet + authAt + 24));

  // The tag verifies as a server checks it: over everything before the
  // authenticator, then the nonce, sealing nothing.
  uint8_t none[1];
  EXPECT_TRUE(clientToServer.siv.openWithNonce(packet, authAt, nonce.data(), nonce.size(), packet + authAt + 24,
                                               AES_SIV_TAG_SIZE, none));
}

TEST(NtsRequest, PlaceholdersRefillTheJarAndNoCookieGoesTwice) {
  Key clientToServer(0x20);
  CookieJar jar;
  for (uint8_t i = 0; i < 3; ++i) jar.add(filled(static_cast<uint8_t>(i * 50), 100).data(), 100);
  const Bytes id = filled(0x10, NTS_UNIQUE_ID_SIZE), nonce = filled(0x60, NTS_NONCE_SIZE);
  std::vector<Bytes> sent;
  for (int request = 0; request < 3; ++request) {
    uint8_t packet[NTS_PACKET_MAX];
    const size_t size = packNtsRequest(SENT, id.data(), nonce.data(), jar, clientToServer.siv, packet);
    // Header, id, the cookie, as many placeholders as the jar lacks, the authenticator.
    const int placeholders = NTS_COOKIES_KEPT - 1 - jar.count();
    EXPECT_EQ(5 + request, placeholders);
    ASSERT_EQ(size_t(48 + 36 + 104 * (1 + placeholders) + 40), size);
    for (int p = 0; p < placeholders; ++p) EXPECT_EQ(0x03, packet[48 + 36 + 104 * (1 + p)]);
    sent.emplace_back(packet + 88, packet + 188);
  }
  EXPECT_NE(sent[0], sent[1]);
  EXPECT_NE(sent[1], sent[2]);
  EXPECT_NE(sent[0], sent[2]);
  uint8_t packet[NTS_PACKET_MAX];
  EXPECT_EQ(0u, packNtsRequest(SENT, id.data(), nonce.data(), jar, clientToServer.siv, packet))
      << "an empty jar sends nothing: the next request needs a key exchange";
  // A short cookie still makes fields of the least size.
  jar.add(filled(1, 5).data(), 5);
  const size_t size = packNtsRequest(SENT, id.data(), nonce.data(), jar, clientToServer.siv, packet);
  EXPECT_EQ(0x10, packet[84 + 3]);
  EXPECT_EQ(size_t(48 + 36 + 16 * 8 + 40), size);
}

TEST(NtsAnswer, AGoodAnswerIsUsedAndItsCookiesTaken) {
  Client client;
  AnswerParts parts;
  parts.cookies.push_back(filled(0xA0, 100));
  const NtsAnswer a = client.check(answerOf(parts, client.serverToClient.siv));
  EXPECT_EQ(NTS_ANSWER_USE, a.result);
  EXPECT_EQ(3, a.newCookies);
  EXPECT_EQ(RECEIVED, a.ntp.receive);
  ASSERT_EQ(3, client.jar.count());
  uint8_t c[NTS_COOKIE_MAX];
  size_t size = 0;
  client.jar.take(c, size);
  EXPECT_EQ(filled(0x80, 100), Bytes(c, c + size));
  // Sealed fields other than cookies, and a cookie the jar holds, add nothing.
  AnswerParts again;
  again.extraSealed = field(0x0F04, filled(0, 20));
  const NtsAnswer b = client.check(answerOf(again, client.serverToClient.siv));
  EXPECT_EQ(NTS_ANSWER_USE, b.result);
  EXPECT_EQ(1, b.newCookies);
  EXPECT_EQ(3, client.jar.count());
}

TEST(NtsAnswer, AnyFlippedByteIsNeverUsedNorItsCookiesTaken) {
  Client client;
  const Bytes good = answerOf(AnswerParts(), client.serverToClient.siv);
  const size_t idAt = NTP_PACKET_SIZE, authAt = idAt + 36;
  for (size_t at = 0; at < good.size(); ++at) {
    Bytes bad = good;
    bad[at] ^= 0x04;
    client.jar.clear();
    const NtsAnswer a = client.check(bad);
    EXPECT_NE(NTS_ANSWER_USE, a.result) << "byte " << at;
    EXPECT_EQ(0, client.jar.count()) << "byte " << at;
    const bool headerField = at >= 1 && at < NTP_PACKET_SIZE && (at < 24 || at >= 32);
    const bool sealedPart = at >= authAt + 4;
    if (headerField || sealedPart) EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, a.result) << "byte " << at;
    if (at >= idAt + 4 && at < authAt) EXPECT_EQ(NTS_ANSWER_WRONG_ID, a.result) << "byte " << at;
    if (at >= 24 && at < 32) EXPECT_EQ(NTS_ANSWER_DROP, a.result) << "origin byte " << at;
  }
}

TEST(NtsAnswer, IdentifierKeyAndAuthenticatorMustAllBeThere) {
  Client client;
  AnswerParts other;
  other.uniqueId[31] ^= 1;
  EXPECT_EQ(NTS_ANSWER_WRONG_ID, client.check(answerOf(other, client.serverToClient.siv)).result);
  AnswerParts shorter;
  shorter.uniqueId.resize(28);
  EXPECT_EQ(NTS_ANSWER_WRONG_ID, client.check(answerOf(shorter, client.serverToClient.siv)).result);
  AnswerParts longer;
  longer.uniqueId.resize(36, 0);
  EXPECT_EQ(NTS_ANSWER_WRONG_ID, client.check(answerOf(longer, client.serverToClient.siv)).result);
  AnswerParts noId;
  noId.withId = false;
  EXPECT_EQ(NTS_ANSWER_WRONG_ID, client.check(answerOf(noId, client.serverToClient.siv)).result);
  AnswerParts noAuth;
  noAuth.withAuth = false;
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(answerOf(noAuth, client.serverToClient.siv)).result);
  Key clientToServer(0x20);
  const NtsAnswer wrongKey = client.check(answerOf(AnswerParts(), clientToServer.siv));
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, wrongKey.result);
  EXPECT_EQ(0, client.jar.count());
  // Fields after the authenticator are not covered by it.
  AnswerParts tail;
  tail.after = field(0x0F04, filled(0, 12));
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(answerOf(tail, client.serverToClient.siv)).result);
  // An identifier after the authenticator proves nothing either.
  AnswerParts lateId;
  lateId.withId = false;
  lateId.after = field(NTS_EF_UNIQUE_ID, lateId.uniqueId);
  EXPECT_NE(NTS_ANSWER_USE, client.check(answerOf(lateId, client.serverToClient.siv)).result);
  // Any nonce length the server chooses, padded to whole words.
  AnswerParts oddNonce;
  oddNonce.nonce = filled(1, 13);
  EXPECT_EQ(NTS_ANSWER_USE, client.check(answerOf(oddNonce, client.serverToClient.siv)).result);
  AnswerParts noNonce;
  noNonce.nonce.clear();
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(answerOf(noNonce, client.serverToClient.siv)).result);
}

TEST(NtsAnswer, AnAuthenticatorWhoseLengthsDoNotFitIsNotAuthentic) {
  Client client;
  const Bytes good = answerOf(AnswerParts(), client.serverToClient.siv);
  const size_t authAt = NTP_PACKET_SIZE + 36;
  const size_t sealedSize = (good[authAt + 6] << 8) | good[authAt + 7];
  Bytes longer = good;
  longer[authAt + 7] = static_cast<uint8_t>(sealedSize + 4);
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(longer).result);
  Bytes shortTag = good;
  shortTag[authAt + 6] = 0;
  shortTag[authAt + 7] = AES_SIV_TAG_SIZE - 1;
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(shortTag).result);
  Bytes nonceTooLong = good;
  nonceTooLong[authAt + 4] = 1;
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(nonceTooLong).result);
  // Lengths that fit the body only without their padding: nothing is read
  // past the field.
  Bytes unpadded = good;
  unpadded[authAt + 5] = 13;
  unpadded[authAt + 6] = 0;
  unpadded[authAt + 7] = static_cast<uint8_t>(sealedSize + 3);
  ASSERT_EQ(good.size(), authAt + 4 + 4 + 16 + sealedSize);
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(unpadded).result);
  // An authenticator of the least size, all zeros.
  AnswerParts bare;
  bare.withAuth = false;
  bare.after = field(NTS_EF_AUTHENTICATOR, Bytes(12, 0));
  Bytes tiny = answerOf(bare, client.serverToClient.siv);
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(tiny).result);
}

TEST(NtsAnswer, TheNakIsToldApartButOnlyWithOurIdentifierAndStamp) {
  Client client;
  AnswerParts nak;
  nak.stratum = 0;
  nak.reference = 0x4E54534Eu;  // "NTSN"
  nak.withAuth = false;
  EXPECT_EQ(NTS_ANSWER_NAK, client.check(answerOf(nak, client.serverToClient.siv)).result);
  AnswerParts stranger = nak;
  stranger.uniqueId[0] ^= 1;
  EXPECT_EQ(NTS_ANSWER_WRONG_ID, client.check(answerOf(stranger, client.serverToClient.siv)).result);
  AnswerParts late = nak;
  late.origin ^= 1;
  EXPECT_EQ(NTS_ANSWER_DROP, client.check(answerOf(late, client.serverToClient.siv)).result);
  AnswerParts notKiss = nak;
  notKiss.stratum = 1;  // the code, but no Kiss-o'-Death
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(answerOf(notKiss, client.serverToClient.siv)).result);
  AnswerParts otherKiss = nak;
  otherKiss.reference = 0x52415445u;  // "RATE" without an authenticator
  EXPECT_EQ(NTS_ANSWER_NOT_AUTHENTIC, client.check(answerOf(otherKiss, client.serverToClient.siv)).result);
  AnswerParts rate = otherKiss;
  rate.withAuth = true;
  EXPECT_EQ(NTS_ANSWER_KISS_RATE, client.check(answerOf(rate, client.serverToClient.siv)).result);
  AnswerParts deny = rate;
  deny.reference = 0x44454E59u;  // "DENY"
  EXPECT_EQ(NTS_ANSWER_KISS_DENY, client.check(answerOf(deny, client.serverToClient.siv)).result);
}

TEST(NtsAnswer, AuthenticStampsStillPassNtpsRules) {
  Client client;
  AnswerParts unsynced;
  unsynced.leap = 3;
  EXPECT_EQ(NTS_ANSWER_DROP, client.check(answerOf(unsynced, client.serverToClient.siv)).result);
  AnswerParts far;
  far.stratum = 16;
  EXPECT_EQ(NTS_ANSWER_DROP, client.check(answerOf(far, client.serverToClient.siv)).result);
  Bytes short47 = answerOf(AnswerParts(), client.serverToClient.siv);
  short47.resize(NTP_PACKET_SIZE - 1);
  EXPECT_EQ(NTS_ANSWER_DROP, client.check(short47).result);
}

TEST(NtsAnswer, ExtensionFieldsOfTheWrongLengthAreMalformed) {
  Client client;
  const Bytes good = answerOf(AnswerParts(), client.serverToClient.siv);
  const size_t idAt = NTP_PACKET_SIZE;
  for (uint8_t length : {0, 12, 34, 255}) {
    Bytes bad = good;
    bad[idAt + 2] = 0;
    bad[idAt + 3] = length;
    EXPECT_EQ(NTS_ANSWER_MALFORMED, client.check(bad).result) << int(length);
  }
  // A last field that ends the packet but not on a whole word.
  AnswerParts odd;
  odd.withAuth = false;
  odd.after = field(0x0F04, filled(0, 16));
  odd.after[3] = 18;
  odd.after.resize(18);
  EXPECT_EQ(NTS_ANSWER_MALFORMED, client.check(answerOf(odd, client.serverToClient.siv)).result);
  Bytes trailing = good;
  trailing.push_back(0);
  trailing.push_back(0);
  EXPECT_NE(NTS_ANSWER_USE, client.check(trailing).result);
  AnswerParts twoIds;
  twoIds.after = field(NTS_EF_UNIQUE_ID, twoIds.uniqueId);
  twoIds.withAuth = false;
  Bytes doubled = answerOf(twoIds, client.serverToClient.siv);
  EXPECT_EQ(NTS_ANSWER_MALFORMED, client.check(doubled).result);
  AnswerParts badSealed;
  badSealed.extraSealed = Bytes{0x02, 0x04, 0x00, 0x08, 1, 2, 3, 4};
  EXPECT_EQ(NTS_ANSWER_MALFORMED, client.check(answerOf(badSealed, client.serverToClient.siv)).result);
}

}  // namespace
