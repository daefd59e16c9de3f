// NTP packets, field by field and big-endian, and what an answer proves.
#include "query/ntp_packet.h"

#include "timebase/byte_order.h"

static const int NTP_VERSION = 4;
static const int MODE_CLIENT = 3;
static const int MODE_SERVER = 4;
static const uint32_t NOISE_MASK = (1u << 22) - 1u;

static uint32_t kissCode(const char code[4]) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) |
         static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}

NtpTimestamp requestStamp(Millis1900 t, uint32_t noise) {
  int64_t seconds = t / 1000;
  int64_t ms = t % 1000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  const uint64_t fraction = (static_cast<uint64_t>(ms) << 32) / 1000u;
  const uint64_t stamp = (static_cast<uint64_t>(seconds) << 32) | fraction;
  return (stamp & ~static_cast<uint64_t>(NOISE_MASK)) | (noise & NOISE_MASK);
}

void packNtpRequest(NtpTimestamp transmit, uint8_t packet[NTP_PACKET_SIZE]) {
  for (int i = 0; i < NTP_PACKET_SIZE; ++i) packet[i] = 0;
  packet[0] = static_cast<uint8_t>((0 << 6) | (NTP_VERSION << 3) | MODE_CLIENT);
  putBigEndian(packet + 40, transmit, 8);
}

void unpackNtpAnswer(const uint8_t packet[NTP_PACKET_SIZE], NtpAnswer& answer) {
  answer.leap = static_cast<uint8_t>(packet[0] >> 6);
  answer.version = static_cast<uint8_t>((packet[0] >> 3) & 7);
  answer.mode = static_cast<uint8_t>(packet[0] & 7);
  answer.stratum = packet[1];
  answer.reference = static_cast<uint32_t>(getBigEndian(packet + 12, 4));
  answer.origin = getBigEndian(packet + 24, 8);
  answer.receive = getBigEndian(packet + 32, 8);
  answer.transmit = getBigEndian(packet + 40, 8);
}

NtpSocketOutcome judgeNtpSocketError(int error) {
  if (error == WINSOCK_CONNECTION_RESET) return NTP_SOCKET_REFUSED;
  if (error == WINSOCK_WOULD_BLOCK || error == WINSOCK_MESSAGE_SIZE) return NTP_SOCKET_WAIT;
  return NTP_SOCKET_FAILED;
}

NtpVerdict judgeNtpAnswer(const NtpAnswer& answer, NtpTimestamp sent) {
  // Only an echo of our own stamp answers our request; a kiss that does not
  // echo it may be forged, and is dropped like any stray datagram.
  if (answer.origin != sent || answer.mode != MODE_SERVER) return NTP_DROP;
  if (answer.stratum == 0) {
    if (answer.reference == kissCode("RATE")) return NTP_KISS_RATE;
    if (answer.reference == kissCode("DENY") || answer.reference == kissCode("RSTR")) return NTP_KISS_DENY;
    return NTP_DROP;
  }
  if (answer.stratum > 15 || answer.leap == 3 || answer.transmit == 0) return NTP_DROP;
  // Taken modulo 2^64, so a server whose seconds wrapped between the two
  // stamps still compares right.
  if (static_cast<int64_t>(answer.transmit - answer.receive) < 0) return NTP_DROP;
  return NTP_USE;
}

// The stamp in whole microseconds (floor), its seconds read in the era
// nearest the local clock.
static int64_t ntpStampUs(NtpTimestamp stamp, Millis1900 localNow) {
  const int64_t seconds = answerSeconds(static_cast<uint32_t>(stamp >> 32), localNow);
  const uint64_t us = ((stamp & 0xFFFFFFFFu) * 1000000u) >> 32;
  return static_cast<int64_t>(static_cast<uint64_t>(seconds) * 1000000u + us);
}

int64_t ntpStampMs(NtpTimestamp stamp, Millis1900 localNow) {
  return millisFromMicros(ntpStampUs(stamp, localNow));
}

bool ntpHoldFits(const NtpAnswer& answer, Millis1900 sent, Millis1900 answered) {
  const int64_t t2 = ntpStampMs(answer.receive, answered);
  const int64_t t3 = ntpStampMs(answer.transmit, answered);
  // The true round trip is under a millisecond longer than its readings say,
  // and the stamps cut to whole ms shorten or lengthen the hold by under one:
  // the same condition as the bounds' low < high.
  return t3 - t2 < answered - sent + 2;
}

OffsetBounds ntpSampleBounds(const NtpAnswer& answer, Millis1900 sent, Millis1900 answered,
                             int64_t userOffset) {
  // The true send time lies in [sent, sent + 1) and the true receipt in
  // [answered, answered + 1); the stamps, cut to whole ms, lie at most 1 ms
  // below the server's times. Unsigned sums wrap instead of overflowing.
  const uint64_t t2 = static_cast<uint64_t>(ntpStampMs(answer.receive, answered));
  const uint64_t t3 = static_cast<uint64_t>(ntpStampMs(answer.transmit, answered));
  const uint64_t user = static_cast<uint64_t>(userOffset);
  const uint64_t low = t3 - static_cast<uint64_t>(answered) - 1u + user;
  const uint64_t high = t2 + 1u - static_cast<uint64_t>(sent) + user;
  const OffsetBounds b = {static_cast<int64_t>(low), static_cast<int64_t>(high)};
  return b;
}

OffsetBounds ntpSampleBoundsUs(const NtpAnswer& answer, int64_t sentUs, int64_t answeredUs,
                               int64_t userOffset) {
  // As in whole milliseconds, one grain of slack on either side.
  const Millis1900 localNow = millisFromMicros(answeredUs);
  const uint64_t t2 = static_cast<uint64_t>(ntpStampUs(answer.receive, localNow));
  const uint64_t t3 = static_cast<uint64_t>(ntpStampUs(answer.transmit, localNow));
  const uint64_t user = static_cast<uint64_t>(userOffset) * 1000u;
  const uint64_t low = t3 - static_cast<uint64_t>(answeredUs) - 1u + user;
  const uint64_t high = t2 + 1u - static_cast<uint64_t>(sentUs) + user;
  const OffsetBounds b = {static_cast<int64_t>(low), static_cast<int64_t>(high)};
  return b;
}

uint32_t ntpSampleLatency(const NtpAnswer& answer, Millis1900 sent, Millis1900 answered) {
  const int64_t held = static_cast<int64_t>(answer.transmit - answer.receive);
  const int64_t heldMs = static_cast<int64_t>((static_cast<uint64_t>(held) * 1000u) >> 32);
  const int64_t latency = (answered - sent) - heldMs;
  if (latency <= 0) return 0;
  return latency > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(latency);
}

void recordKiss(KissLog& log, uint32_t address, NtpVerdict verdict, uint64_t now) {
  const uint64_t until = verdict == NTP_KISS_DENY ? KISS_FOREVER : now + KISS_RATE_REST_MS;
  int chosen = 0;
  uint64_t chosenEnds = KISS_FOREVER;
  for (int i = 0; i < KISS_LOG_SIZE; ++i) {
    if (log.used[i] && log.address[i] == address) {
      chosen = i;
      break;
    }
    // A free entry, else the rest that ends first: a new kiss matters more.
    const uint64_t ends = log.used[i] ? log.until[i] : 0;
    if (ends < chosenEnds) {
      chosen = i;
      chosenEnds = ends;
    }
  }
  if (log.used[chosen] && log.address[chosen] == address && log.until[chosen] > until) return;
  log.used[chosen] = true;
  log.address[chosen] = address;
  log.until[chosen] = until;
}

uint64_t kissRestUntil(const KissLog& log, uint32_t address, uint64_t now) {
  for (int i = 0; i < KISS_LOG_SIZE; ++i) {
    if (log.used[i] && log.address[i] == address) return log.until[i] > now ? log.until[i] : now;
  }
  return now;
}
