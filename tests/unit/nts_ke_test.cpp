// The key exchange's records against literal bytes: the request, a server's
// response whole and in pieces, and each way a response fails; the cookie
// jar the response fills.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "nts/nts_ke.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes record(uint16_t type, bool critical, const Bytes& body) {
  const uint16_t field = static_cast<uint16_t>(type | (critical ? NTS_RECORD_CRITICAL : 0));
  Bytes out(4 + body.size());
  out[0] = static_cast<uint8_t>(field >> 8);
  out[1] = static_cast<uint8_t>(field);
  out[2] = static_cast<uint8_t>(body.size() >> 8);
  out[3] = static_cast<uint8_t>(body.size());
  for (size_t i = 0; i < body.size(); ++i) out[4 + i] = body[i];
  return out;
}

Bytes u16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes cookie(uint8_t fill, size_t size = 100) { return Bytes(size, fill); }

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes PROTOCOL = record(NTS_RECORD_NEXT_PROTOCOL, true, u16(0));
const Bytes AEAD = record(NTS_RECORD_AEAD, true, u16(15));
const Bytes END = record(NTS_RECORD_END, true, {});

Bytes goodResponse() {
  Bytes out = joined({PROTOCOL, AEAD, record(NTS_RECORD_SERVER, true, text("ntp.example.test")),
                      record(NTS_RECORD_PORT, true, u16(11123))});
  for (uint8_t i = 1; i <= 8; ++i) {
    const Bytes c = record(NTS_RECORD_NEW_COOKIE, false, cookie(i));
    out.insert(out.end(), c.begin(), c.end());
  }
  out.insert(out.end(), END.begin(), END.end());
  return out;
}

NtsKeResult readWhole(const Bytes& response, NtsKeReader& reader) {
  reader.feed(response.data(), response.size());
  return reader.finish();
}

NtsKeResult resultOf(const Bytes& response) {
  NtsKeReader reader;
  return readWhole(response, reader);
}

TEST(NtsKeRequest, ImageOffersNtpv4AndAesSivCriticallyThenEnds) {
  uint8_t request[NTS_KE_REQUEST_SIZE];
  std::memset(request, 0xAA, sizeof request);
  packNtsKeRequest(request);
  const uint8_t expected[NTS_KE_REQUEST_SIZE] = {0x80, 0x01, 0, 2, 0, 0,    0x80, 0x04,
                                                 0,    2,    0, 15, 0x80, 0x00, 0,    0};
  EXPECT_EQ(0, std::memcmp(expected, request, sizeof request));
}

TEST(NtsKeRequest, ExporterContextNamesProtocolAlgorithmAndDirection) {
  uint8_t context[NTS_EXPORTER_CONTEXT_SIZE];
  ntsExporterContext(false, context);
  EXPECT_EQ(Bytes({0, 0, 0, 0x0F, 0}), Bytes(context, context + NTS_EXPORTER_CONTEXT_SIZE));
  ntsExporterContext(true, context);
  EXPECT_EQ(Bytes({0, 0, 0, 0x0F, 1}), Bytes(context, context + NTS_EXPORTER_CONTEXT_SIZE));
  EXPECT_STREQ("EXPORTER-network-time-security", NTS_EXPORTER_LABEL);
}

void expectGood(const NtsKeReader& reader) {
  ASSERT_EQ(NTS_KE_DONE, reader.result());
  const NtsKeResponse& r = reader.response();
  EXPECT_STREQ("ntp.example.test", r.server);
  EXPECT_EQ(11123, r.port);
  EXPECT_EQ(0, r.warnings);
  EXPECT_EQ(8, r.cookiesOffered);
  CookieJar jar = r.cookies;
  ASSERT_EQ(8, jar.count());
  uint8_t c[NTS_COOKIE_MAX];
  size_t size = 0;
  for (uint8_t i = 1; i <= 8; ++i) {
    ASSERT_TRUE(jar.take(c, size));
    EXPECT_EQ(cookie(i), Bytes(c, c + size));
  }
}

TEST(NtsKeResponse, AGoodResponseWholeByteByByteAndInPieces) {
  const Bytes response = goodResponse();
  NtsKeReader whole;
  EXPECT_EQ(NTS_KE_DONE, readWhole(response, whole));
  expectGood(whole);

  NtsKeReader single;
  for (size_t i = 0; i < response.size(); ++i) {
    const NtsKeResult r = single.feed(&response[i], 1);
    ASSERT_EQ(i + 1 < response.size() ? NTS_KE_MORE : NTS_KE_DONE, r) << "byte " << i;
  }
  expectGood(single);

  // Pieces that split headers, lengths and bodies at every kind of place.
  for (size_t piece : {2u, 3u, 5u, 7u, 64u, 101u}) {
    NtsKeReader reader;
    for (size_t at = 0; at < response.size(); at += piece)
      reader.feed(response.data() + at, std::min(piece, response.size() - at));
    expectGood(reader);
  }
  // Without a server or port record: ask the key exchange's host, port 123.
  const NtsKeReader plain = [] {
    NtsKeReader r;
    readWhole(joined({AEAD, PROTOCOL, record(NTS_RECORD_NEW_COOKIE, false, cookie(9)), END}), r);
    return r;
  }();
  EXPECT_EQ(NTS_KE_DONE, plain.result());
  EXPECT_STREQ("", plain.response().server);
  EXPECT_EQ(0, plain.response().port);
}

TEST(NtsKeResponse, AnErrorRecordRefusesAndAWarningIsOnlyNoted) {
  NtsKeReader refused;
  EXPECT_EQ(NTS_KE_REFUSED, readWhole(joined({record(NTS_RECORD_ERROR, true, u16(1)), goodResponse()}), refused));
  EXPECT_EQ(1, refused.response().errorCode);
  Bytes late = goodResponse();
  late.insert(late.end() - 4, {0x80, 0x02, 0, 2, 0, 2});
  EXPECT_EQ(NTS_KE_REFUSED, resultOf(late));

  NtsKeReader warned;
  EXPECT_EQ(NTS_KE_DONE, readWhole(joined({record(NTS_RECORD_WARNING, true, u16(7)), goodResponse()}), warned));
  EXPECT_EQ(1, warned.response().warnings);
  EXPECT_EQ(7, warned.response().lastWarning);
}

TEST(NtsKeResponse, UnknownRecordsAreSkippedUnlessCritical) {
  const Bytes unknown = record(0x4001, false, Bytes(1000, 0x55));
  EXPECT_EQ(NTS_KE_DONE, resultOf(joined({unknown, goodResponse()})));
  EXPECT_EQ(NTS_KE_UNKNOWN_CRITICAL, resultOf(joined({record(8, true, {}), goodResponse()})));
  EXPECT_EQ(NTS_KE_UNKNOWN_CRITICAL, resultOf(joined({record(0x7FFF, true, u16(0)), goodResponse()})));
}

TEST(NtsKeResponse, WhatWasNotOfferedOrNotNegotiatedFails) {
  const Bytes c = record(NTS_RECORD_NEW_COOKIE, false, cookie(1));
  EXPECT_EQ(NTS_KE_DONE, resultOf(joined({PROTOCOL, AEAD, c, END})));
  EXPECT_EQ(NTS_KE_NO_AEAD, resultOf(joined({PROTOCOL, c, END})));
  EXPECT_EQ(NTS_KE_NO_PROTOCOL, resultOf(joined({AEAD, c, END})));
  EXPECT_EQ(NTS_KE_NO_AEAD, resultOf(joined({PROTOCOL, record(NTS_RECORD_AEAD, true, u16(17)), c, END})));
  EXPECT_EQ(NTS_KE_NO_AEAD, resultOf(joined({PROTOCOL, record(NTS_RECORD_AEAD, false, {}), c, END})));
  EXPECT_EQ(NTS_KE_NO_PROTOCOL, resultOf(joined({record(NTS_RECORD_NEXT_PROTOCOL, true, u16(1)), AEAD, c, END})));
  EXPECT_EQ(NTS_KE_NO_PROTOCOL, resultOf(joined({record(NTS_RECORD_NEXT_PROTOCOL, true, {}), AEAD, c, END})));
  EXPECT_EQ(NTS_KE_NO_COOKIE, resultOf(joined({PROTOCOL, AEAD, END})));
}

TEST(NtsKeResponse, RecordsOfTheWrongShapeAreMalformed) {
  const Bytes c = record(NTS_RECORD_NEW_COOKIE, false, cookie(1));
  const Bytes cases[] = {
      joined({PROTOCOL, AEAD, c, record(NTS_RECORD_END, true, u16(0))}),
      joined({PROTOCOL, AEAD, AEAD, c, END}),
      joined({PROTOCOL, PROTOCOL, AEAD, c, END}),
      joined({record(NTS_RECORD_NEXT_PROTOCOL, true, {0, 0, 0}), AEAD, c, END}),
      joined({PROTOCOL, record(NTS_RECORD_AEAD, true, joined({u16(15), u16(15)})), c, END}),
      joined({PROTOCOL, AEAD, c, record(NTS_RECORD_PORT, true, {0, 1, 2}), END}),
      joined({PROTOCOL, AEAD, c, record(NTS_RECORD_PORT, true, u16(0)), END}),
      joined({PROTOCOL, AEAD, c, record(NTS_RECORD_PORT, true, u16(1)), record(NTS_RECORD_PORT, true, u16(2)), END}),
      joined({PROTOCOL, AEAD, c, record(NTS_RECORD_SERVER, true, text("a b")), END}),
      joined({PROTOCOL, AEAD, c, record(NTS_RECORD_SERVER, true, Bytes{'a', 0x7F}), END}),
      joined({PROTOCOL, AEAD, c, record(NTS_RECORD_SERVER, true, text("a")), record(NTS_RECORD_SERVER, true, text("b")),
              END}),
      joined({PROTOCOL, AEAD, c, record(NTS_RECORD_SERVER, true, {}), END}),
      joined({PROTOCOL, AEAD, record(NTS_RECORD_NEW_COOKIE, false, {}), END}),
      joined({record(NTS_RECORD_ERROR, true, {0}), PROTOCOL, AEAD, c, END}),
      joined({record(NTS_RECORD_WARNING, true, {0, 0, 0}), PROTOCOL, AEAD, c, END}),
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) EXPECT_EQ(NTS_KE_MALFORMED, resultOf(cases[i])) << i;
}

TEST(NtsKeResponse, TruncatedAtAnyByteAndOversized) {
  const Bytes response = goodResponse();
  for (size_t size = 0; size < response.size(); ++size) {
    NtsKeReader reader;
    EXPECT_EQ(NTS_KE_MORE, reader.feed(response.data(), size));
    EXPECT_EQ(NTS_KE_TRUNCATED, reader.finish()) << size << " bytes";
  }
  const Bytes c = record(NTS_RECORD_NEW_COOKIE, false, cookie(1));
  EXPECT_EQ(NTS_KE_DONE, resultOf(joined({PROTOCOL, AEAD, record(NTS_RECORD_NEW_COOKIE, false, cookie(1, 256)), END})));
  EXPECT_EQ(NTS_KE_OVERSIZED,
            resultOf(joined({PROTOCOL, AEAD, record(NTS_RECORD_NEW_COOKIE, false, cookie(1, 257)), END})));
  EXPECT_EQ(NTS_KE_DONE, resultOf(joined({PROTOCOL, AEAD, c, record(NTS_RECORD_SERVER, true, Bytes(255, 'a')), END})));
  EXPECT_EQ(NTS_KE_OVERSIZED,
            resultOf(joined({PROTOCOL, AEAD, c, record(NTS_RECORD_SERVER, true, Bytes(256, 'a')), END})));
  EXPECT_EQ(NTS_KE_OVERSIZED, resultOf(joined({record(NTS_RECORD_AEAD, true, Bytes(34, 0)), PROTOCOL, c, END})));
  // A response of the most bytes a key exchange may take, then one more.
  const Bytes core = joined({PROTOCOL, AEAD, c, END});
  const size_t filler = NTS_KE_RESPONSE_MAX - core.size() - 4;
  EXPECT_EQ(NTS_KE_DONE, resultOf(joined({record(0x4001, false, Bytes(filler, 0)), core})));
  EXPECT_EQ(NTS_KE_OVERSIZED, resultOf(joined({record(0x4001, false, Bytes(filler + 1, 0)), core})));
}

TEST(NtsKeResponse, BytesAfterTheEndChangeNothing) {
  NtsKeReader reader;
  const Bytes response = goodResponse();
  reader.feed(response.data(), response.size());
  const Bytes more = joined({record(NTS_RECORD_ERROR, true, u16(2)), record(9, true, {})});
  EXPECT_EQ(NTS_KE_DONE, reader.feed(more.data(), more.size()));
  expectGood(reader);
}

TEST(CookieJar, EachCookieGoesOutOnceOldestFirst) {
  CookieJar jar;
  uint8_t c[NTS_COOKIE_MAX];
  size_t size = 0;
  EXPECT_FALSE(jar.take(c, size));
  for (uint8_t i = 1; i <= 3; ++i) EXPECT_TRUE(jar.add(cookie(i, 40u + i).data(), 40u + i));
  EXPECT_FALSE(jar.add(cookie(2, 42).data(), 42)) << "the jar holds it already";
  EXPECT_TRUE(jar.add(cookie(2, 43).data(), 43)) << "another size is another cookie";
  EXPECT_EQ(4, jar.count());
  ASSERT_TRUE(jar.take(c, size));
  EXPECT_EQ(cookie(1, 41), Bytes(c, c + size));
  EXPECT_EQ(3, jar.count());
  EXPECT_EQ(4, jar.placeholdersWanted());
  ASSERT_TRUE(jar.take(c, size));
  EXPECT_EQ(cookie(2, 42), Bytes(c, c + size));
  ASSERT_TRUE(jar.take(c, size));
  ASSERT_TRUE(jar.take(c, size));
  EXPECT_EQ(cookie(2, 43), Bytes(c, c + size));
  EXPECT_FALSE(jar.take(c, size));
  EXPECT_EQ(7, jar.placeholdersWanted());
}

TEST(CookieJar, AFullJarLetsItsOldestGoAndSizesAreBounded) {
  CookieJar jar;
  for (uint8_t i = 1; i <= 10; ++i) EXPECT_TRUE(jar.add(cookie(i).data(), 100));
  EXPECT_EQ(NTS_COOKIES_KEPT, jar.count());
  EXPECT_EQ(-1, jar.placeholdersWanted());
  uint8_t c[NTS_COOKIE_MAX];
  size_t size = 0;
  ASSERT_TRUE(jar.take(c, size));
  EXPECT_EQ(cookie(3), Bytes(c, c + size));
  EXPECT_EQ(0, jar.placeholdersWanted());
  EXPECT_FALSE(jar.add(c, 0));
  EXPECT_FALSE(jar.add(cookie(1, 257).data(), 257));
  EXPECT_TRUE(jar.add(cookie(1, 256).data(), 256));
  jar.clear();
  EXPECT_EQ(0, jar.count());
}

}  // namespace
