// NTP packets against literal bytes, what four timestamps prove, the rules an
// answer must pass, the era of its stamps, Kiss-o'-Death rests, and the names
// that select the protocol.
#include <gtest/gtest.h>

#include <string>

#include <cstring>
#include <random>

#include "query/ntp_packet.h"
#include "query/sample_plan.h"
#include "query/server_address.h"

namespace {

// Time in ms since 1900, plus microseconds, as the NTP stamp at or just after it.
NtpTimestamp stampOf(int64_t ms, int64_t micros = 0) {
  const uint64_t seconds = static_cast<uint64_t>(ms / 1000);
  const uint64_t us = static_cast<uint64_t>(ms % 1000) * 1000u + static_cast<uint64_t>(micros);
  return (seconds << 32) + ((us << 32) + 999999u) / 1000000u;
}

const int64_t T1 = int64_t{3900000000} * 1000 + 100;  // 2023, well inside the era

TEST(NtpPacket, RequestImageIsVersion4ClientWithTheStampAtOffset40) {
  uint8_t packet[NTP_PACKET_SIZE];
  std::memset(packet, 0xAA, sizeof packet);
  packNtpRequest(0xE7A1B2C312345678ull, packet);
  uint8_t expected[NTP_PACKET_SIZE] = {0x23};
  const uint8_t stamp[8] = {0xE7, 0xA1, 0xB2, 0xC3, 0x12, 0x34, 0x56, 0x78};
  std::memcpy(expected + 40, stamp, 8);
  EXPECT_EQ(0, std::memcmp(packet, expected, NTP_PACKET_SIZE));
}

TEST(NtpPacket, RequestStampCarriesTheTimeAndNoiseInItsLow22Bits) {
  // 3000.5 s: fraction 0x80000000, whose low 22 bits the noise fills.
  EXPECT_EQ((uint64_t{3000} << 32) | 0x80345678u, requestStamp(3000500, 0x12345678u));
  EXPECT_EQ((uint64_t{3000} << 32) | 0x80000000u, requestStamp(3000500, 0));
  // 3000.001 s: fraction 0x418937, whose bit 22 stays above the noise.
  EXPECT_EQ((uint64_t{3000} << 32) | 0x400000u, requestStamp(3000001, 0));
  // Whole seconds on either side of an odd and an even count.
  EXPECT_EQ(uint64_t{3000} << 32, requestStamp(3000000, 0));
  EXPECT_EQ(uint64_t{3001} << 32, requestStamp(3001000, 0));
  EXPECT_EQ((uint64_t{2999} << 32) | 0xFF800000u, requestStamp(2999999, 0));
}

TEST(NtpPacket, AnswerFieldsReadBigEndian) {
  const uint8_t packet[NTP_PACKET_SIZE] = {
      0xE4, 0x02, 0x06, 0xEC, 0, 0, 0, 0, 0, 0, 0, 0, 'R', 'A', 'T', 'E',
      0, 0, 0, 0, 0, 0, 0, 0,
      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
      0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
      0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28};
  NtpAnswer a;
  unpackNtpAnswer(packet, a);
  EXPECT_EQ(3, a.leap);
  EXPECT_EQ(4, a.version);
  EXPECT_EQ(4, a.mode);
  EXPECT_EQ(2, a.stratum);
  EXPECT_EQ(0x52415445u, a.reference);
  EXPECT_EQ(0x0102030405060708ull, a.origin);
  EXPECT_EQ(0x1112131415161718ull, a.receive);
  EXPECT_EQ(0x2122232425262728ull, a.transmit);
}

NtpAnswer goodAnswer(NtpTimestamp sent) {
  NtpAnswer a = {};
  a.version = 4;
  a.mode = 4;
  a.stratum = 2;
  a.origin = sent;
  a.receive = stampOf(T1 + 10);
  a.transmit = a.receive;
  return a;
}

TEST(NtpVerdict, EachRuleDropsTheAnswer) {
  const NtpTimestamp sent = requestStamp(T1, 77);
  EXPECT_EQ(NTP_USE, judgeNtpAnswer(goodAnswer(sent), sent));
  NtpAnswer a = goodAnswer(sent);
  a.origin ^= 1;
  EXPECT_EQ(NTP_DROP, judgeNtpAnswer(a, sent)) << "origin";
  a = goodAnswer(sent);
  a.leap = 3;
  EXPECT_EQ(NTP_DROP, judgeNtpAnswer(a, sent)) << "unsynchronized";
  a.leap = 2;
  EXPECT_EQ(NTP_USE, judgeNtpAnswer(a, sent)) << "a leap second pending";
  a = goodAnswer(sent);
  a.stratum = 16;
  EXPECT_EQ(NTP_DROP, judgeNtpAnswer(a, sent));
  a.stratum = 15;
  EXPECT_EQ(NTP_USE, judgeNtpAnswer(a, sent));
  a = goodAnswer(sent);
  a.transmit = 0;
  EXPECT_EQ(NTP_DROP, judgeNtpAnswer(a, sent)) << "no transmit time";
  a = goodAnswer(sent);
  a.mode = 5;
  EXPECT_EQ(NTP_DROP, judgeNtpAnswer(a, sent)) << "broadcast";
  a = goodAnswer(sent);
  a.transmit = a.receive - 1;
  EXPECT_EQ(NTP_DROP, judgeNtpAnswer(a, sent)) << "sent before received";
  // Across the 2036 wrap the transmit stamp is numerically smaller, yet later.
  a.receive = 0xFFFFFFFF00000000ull;
  a.transmit = 0x0000000000100000ull;
  EXPECT_EQ(NTP_USE, judgeNtpAnswer(a, sent));
}

TEST(NtpVerdict, KissCodesOnlyWithStratumZeroAndTheRightOrigin) {
  const NtpTimestamp sent = requestStamp(T1, 5);
  NtpAnswer a = goodAnswer(sent);
  a.stratum = 0;
  a.leap = 3;
  a.reference = 0x52415445u;  // RATE
  EXPECT_EQ(NTP_KISS_RATE, judgeNtpAnswer(a, sent));
  a.reference = 0x44454E59u;  // DENY
  EXPECT_EQ(NTP_KISS_DENY, judgeNtpAnswer(a, sent));
  a.reference = 0x52535452u;  // RSTR
  EXPECT_EQ(NTP_KISS_DENY, judgeNtpAnswer(a, sent));
  a.reference = 0x494E4954u;  // INIT: not a kiss to obey, not an answer to use
  EXPECT_EQ(NTP_DROP, judgeNtpAnswer(a, sent));
  a.reference = 0x44454E59u;
  a.origin = sent + 1;
  EXPECT_EQ(NTP_DROP, judgeNtpAnswer(a, sent)) << "a forged kiss";
}

TEST(NtpBounds, FourStampsWithSubMillisecondServerTimes) {
  // Server 1234.5 ms ahead; 10 ms out, 2 ms in the server, 10 ms back.
  NtpAnswer a = goodAnswer(0);
  a.receive = stampOf(T1 + 10 + 1234, 500);
  a.transmit = stampOf(T1 + 12 + 1234, 500);
  const OffsetBounds b = ntpSampleBounds(a, T1, T1 + 22, 0);
  EXPECT_EQ(1223, b.low);
  EXPECT_EQ(1245, b.high);
  const OffsetBounds shifted = ntpSampleBounds(a, T1, T1 + 22, -7);
  EXPECT_EQ(1216, shifted.low);
  EXPECT_EQ(1238, shifted.high);
  EXPECT_EQ(20u, ntpSampleLatency(a, T1, T1 + 22));
  // A server that held the request longer than the readings show: no wrap.
  a.transmit = stampOf(T1 + 40 + 1234);
  EXPECT_EQ(0u, ntpSampleLatency(a, T1, T1 + 22));
}

TEST(NtpBounds, AHoldLongerThanTheRoundTripIsUnfit) {
  // 22 ms between the local readings, so at most 23 ms between the true times.
  NtpAnswer a = goodAnswer(0);
  a.receive = stampOf(T1 + 10 + 1234, 500);
  for (const int64_t held : {0, 22, 23, 24, 3000}) {
    a.transmit = stampOf(T1 + 10 + 1234 + held, 500);
    const bool fits = held <= 23;
    EXPECT_EQ(fits, ntpHoldFits(a, T1, T1 + 22)) << held;
    // What it saves the bounds from.
    EXPECT_EQ(fits, boundsHold(ntpSampleBounds(a, T1, T1 + 22, 0))) << held;
  }
}

TEST(NtpBounds, HoldTheTrueOffsetForWholeMillisecondLocalReadings) {
  // The reference: true times in microseconds, local readings cut to ms.
  std::mt19937_64 random(5905);
  for (int round = 0; round < 2000; ++round) {
    const int64_t t1us = T1 * 1000 + static_cast<int64_t>(random() % 1000000);
    const int64_t theta = static_cast<int64_t>(random() % 4000000) - 2000000;  // us
    const int64_t out = static_cast<int64_t>(random() % 3000);
    const int64_t held = static_cast<int64_t>(random() % 3000);
    const int64_t back = static_cast<int64_t>(random() % 3000);
    const int64_t t2us = t1us + out + theta, t3us = t2us + held, t4us = t1us + out + held + back;
    NtpAnswer a = goodAnswer(0);
    a.receive = stampOf(t2us / 1000, t2us % 1000);
    a.transmit = stampOf(t3us / 1000, t3us % 1000);
    const OffsetBounds b = ntpSampleBounds(a, t1us / 1000, t4us / 1000, 0);
    ASSERT_TRUE(ntpHoldFits(a, t1us / 1000, t4us / 1000)) << round;
    ASSERT_LE(b.low * 1000, theta) << round;
    ASSERT_LT(theta, b.high * 1000) << round;
    ASSERT_LE(b.high - b.low, (out + back) / 1000 + 4) << round;
  }
}

TEST(NtpBounds, HoldTheTrueOffsetForWholeMicrosecondLocalReadings) {
  // The reference in nanoseconds: local readings cut to microseconds, the
  // server's stamps as exact as their 32-bit fractions.
  std::mt19937_64 random(1868);
  const auto stampNs = [](int64_t ns) {
    const uint64_t seconds = static_cast<uint64_t>(ns / 1000000000);
    const uint64_t rest = static_cast<uint64_t>(ns % 1000000000);
    return (seconds << 32) + (rest << 32) / 1000000000u;
  };
  for (int round = 0; round < 2000; ++round) {
    const int64_t t1 = T1 * 1000000 + static_cast<int64_t>(random() % 1000000000);
    const int64_t theta = static_cast<int64_t>(random() % 4000000000) - 2000000000;  // ns
    const int64_t out = static_cast<int64_t>(random() % 3000);
    const int64_t held = static_cast<int64_t>(random() % 300000);
    const int64_t back = static_cast<int64_t>(random() % 3000);
    const int64_t t2 = t1 + out + theta, t3 = t2 + held, t4 = t1 + out + held + back;
    NtpAnswer a = goodAnswer(0);
    a.receive = stampNs(t2);
    a.transmit = stampNs(t3);
    const OffsetBounds b = ntpSampleBoundsUs(a, t1 / 1000, t4 / 1000, 0);
    ASSERT_LE(b.low * 1000, theta) << round;
    ASSERT_LT(theta, b.high * 1000) << round;
    ASSERT_LE(b.high - b.low, (out + back) / 1000 + 4) << round;
  }
  // The user's offset counts in milliseconds.
  NtpAnswer a = goodAnswer(0);
  a.receive = stampOf(T1 + 10 + 1234, 500);
  a.transmit = stampOf(T1 + 12 + 1234, 500);
  const OffsetBounds b = ntpSampleBoundsUs(a, T1 * 1000, (T1 + 22) * 1000, -7);
  EXPECT_EQ(1224500 - 1 - 7000, b.low);
  EXPECT_EQ(1244500 + 1 - 7000, b.high);
}

TEST(NtpBounds, StampsReadInTheEraNearestTheLocalClock) {
  const int64_t wrap = (int64_t{1} << 32) * 1000;  // 2036-02-07 06:28:16 UTC
  EXPECT_EQ(wrap - 2000 + 500, ntpStampMs((uint64_t{0xFFFFFFFE} << 32) | 0x80000000u, wrap + 5000));
  EXPECT_EQ(wrap + 3000, ntpStampMs(uint64_t{3} << 32, wrap - 5000));
  EXPECT_EQ(T1, ntpStampMs(stampOf(T1), T1 + 20));
}

// Winsock's own numbers, so that a slip in the constants fails here too.
TEST(NtpSocketError, PortUnreachableIsRefusedAndOnlyNotYetWaits) {
  EXPECT_EQ(NTP_SOCKET_REFUSED, judgeNtpSocketError(10054));  // WSAECONNRESET
  EXPECT_EQ(NTP_SOCKET_WAIT, judgeNtpSocketError(10035));     // WSAEWOULDBLOCK
  EXPECT_EQ(NTP_SOCKET_WAIT, judgeNtpSocketError(10040));     // WSAEMSGSIZE
  EXPECT_EQ(NTP_SOCKET_FAILED, judgeNtpSocketError(10050));   // WSAENETDOWN
  EXPECT_EQ(NTP_SOCKET_FAILED, judgeNtpSocketError(10061));   // WSAECONNREFUSED is TCP's
}

TEST(KissLog, RateRestsAMinuteDenyForever) {
  KissLog log = {};
  recordKiss(log, 7, NTP_KISS_RATE, 1000);
  EXPECT_EQ(1000 + KISS_RATE_REST_MS, kissRestUntil(log, 7, 2000));
  EXPECT_EQ(61000u + 5, kissRestUntil(log, 7, 61005));  // rested
  EXPECT_EQ(2000u, kissRestUntil(log, 8, 2000));
  recordKiss(log, 8, NTP_KISS_DENY, 1000);
  EXPECT_EQ(KISS_FOREVER, kissRestUntil(log, 8, 1u << 30));
  recordKiss(log, 8, NTP_KISS_RATE, 5000);  // never shortens a denial
  EXPECT_EQ(KISS_FOREVER, kissRestUntil(log, 8, 6000));
  // Another address's rest is over: its entry may be reused, 8's may not.
  for (uint32_t address = 100; address < 100 + KISS_LOG_SIZE; ++address) {
    recordKiss(log, address, NTP_KISS_RATE, 70000);
  }
  EXPECT_EQ(KISS_FOREVER, kissRestUntil(log, 8, 80000));
  const uint32_t last = 100 + KISS_LOG_SIZE - 1;  // 7's entry was reused before, so the log was full
  EXPECT_EQ(70000 + KISS_RATE_REST_MS, kissRestUntil(log, last, 80000));
}

TEST(KissLog, AFullLogMakesRoomForANewRest) {
  // Every rest ends exactly now: those entries are free again, and a denial stays.
  KissLog log = {};
  recordKiss(log, 1, NTP_KISS_DENY, 0);
  for (uint32_t address = 100; address < 100 + KISS_LOG_SIZE - 1; ++address)
    recordKiss(log, address, NTP_KISS_RATE, 1000);
  recordKiss(log, 7, NTP_KISS_RATE, 61000);
  EXPECT_EQ(61000 + KISS_RATE_REST_MS, kissRestUntil(log, 7, 61000));
  EXPECT_EQ(KISS_FOREVER, kissRestUntil(log, 1, 61000));

  // Every rest still runs: the one that ends first goes.
  log = KissLog();
  recordKiss(log, 1, NTP_KISS_DENY, 0);
  for (uint32_t address = 100; address < 100 + KISS_LOG_SIZE - 1; ++address)
    recordKiss(log, address, NTP_KISS_RATE, 1000 + address);
  recordKiss(log, 7, NTP_KISS_RATE, 2000);
  EXPECT_EQ(2000 + KISS_RATE_REST_MS, kissRestUntil(log, 7, 2000));
  EXPECT_EQ(2000u, kissRestUntil(log, 100, 2000));
  EXPECT_EQ(1101 + KISS_RATE_REST_MS, kissRestUntil(log, 101, 2000));
  EXPECT_EQ(KISS_FOREVER, kissRestUntil(log, 1, 2000));
}

TEST(ServerName, PortSuffixSelectsTheProtocol) {
  const struct {
    const char* name;
    ServerProtocol protocol;
    const char* host;
  } cases[] = {
      {"time.example:123", PROTOCOL_NTP, "time.example"},
      {"192.0.2.1:123", PROTOCOL_NTP, "192.0.2.1"},
      {"192.0.2.1", PROTOCOL_TIME, "192.0.2.1"},
      {"time.example:37", PROTOCOL_TIME, "time.example"},
      {"New Server", PROTOCOL_TIME, "New Server"},
      {"time.example:4460", PROTOCOL_NTS, "time.example"},
      {"127.0.0.1:4460", PROTOCOL_NTS, "127.0.0.1"},
      // Only the last colon counts: the host part is kept as it is.
      {"odd:4460:123", PROTOCOL_NTP, "odd:4460"},
  };
  for (const auto& c : cases) {
    ServerAddress a;
    ASSERT_TRUE(parseServerName(c.name, a)) << c.name;
    EXPECT_EQ(c.protocol, a.protocol) << c.name;
    EXPECT_STREQ(c.host, a.host) << c.name;
  }
}

TEST(ServerName, OddSuffixesAndEmptyHostsAreRefused) {
  ServerAddress a;
  EXPECT_FALSE(parseServerName("time.example:80", a));
  EXPECT_EQ(PROTOCOL_TIME, a.protocol);
  EXPECT_FALSE(parseServerName("time.example:1234", a));
  EXPECT_FALSE(parseServerName("time.example:", a));
  EXPECT_FALSE(parseServerName(":123", a));
  EXPECT_FALSE(parseServerName("", a));
  EXPECT_FALSE(parseServerName(":4460", a));
  EXPECT_FALSE(parseServerName("time.example:44600", a));
  EXPECT_FALSE(parseServerName("time.example:446", a));
  EXPECT_FALSE(parseServerName("time.example:04460", a));
}

TEST(ServerName, OnlyTheTwoPacketProtocolsAreNtp) {
  EXPECT_TRUE(isNtpProtocol(PROTOCOL_NTP));
  EXPECT_TRUE(isNtpProtocol(PROTOCOL_NTS));
  EXPECT_FALSE(isNtpProtocol(PROTOCOL_TIME));
}

TEST(NtsTarget, TheKeyExchangesHostAndTheNtpPortUnlessItNamesOthers) {
  char host[SERVER_NAME_SIZE];
  uint16_t port = 0;
  ntsNtpTarget("ke.example", "", 0, host, port);
  EXPECT_STREQ("ke.example", host);
  EXPECT_EQ(123, port);
  ntsNtpTarget("ke.example", "ntp.example", 0, host, port);
  EXPECT_STREQ("ntp.example", host);
  EXPECT_EQ(123, port);
  ntsNtpTarget("ke.example", "", 10123, host, port);
  EXPECT_STREQ("ke.example", host);
  EXPECT_EQ(10123, port);
  ntsNtpTarget("ke.example", "192.0.2.7", 4123, host, port);
  EXPECT_STREQ("192.0.2.7", host);
  EXPECT_EQ(4123, port);
  // A name longer than a lookup takes is cut, never overrun.
  const std::string longName(300, 'n');
  ntsNtpTarget("ke.example", longName.c_str(), 0, host, port);
  EXPECT_EQ(std::string(SERVER_NAME_SIZE - 1, 'n'), host);
}

TEST(NtpAim, ATimeProtocolSampleAimsIntoAnNtpServersNarrowCore) {
  // Two Time Protocol cores a second wide, one NTP core 3 ms wide inside both.
  const OffsetBounds cores[3] = {{-200, 800}, {-100, 900}, {300, 303}};
  const int64_t aim = sampleAim(cores, 3, 0, 2);
  EXPECT_LE(300, aim);
  EXPECT_LT(aim, 303);
}

TEST(NtpAim, ProvenCoreIntersectsBoundsOrFallsBackOnTheirMiddles) {
  const OffsetBounds agreeing[3] = {{10, 20}, {12, 25}, {5, 18}};
  const OffsetBounds core = provenCore(agreeing, 3);
  EXPECT_EQ(12, core.low);
  EXPECT_EQ(18, core.high);
  // Middles 5 and 2005, too far apart to share a second: their mean.
  const OffsetBounds apart[2] = {{0, 10}, {2000, 2010}};
  const OffsetBounds fallback = provenCore(apart, 2);
  EXPECT_EQ(1005 - 500, fallback.low);
  EXPECT_EQ(1005 + 500, fallback.high);
}

}  // namespace
