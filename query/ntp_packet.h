// One NTP client exchange (version 4, client mode, 48 bytes): the request
// image, the answer's fields, whether an answer may be used, and what its four
// timestamps prove about the offset.
#pragma once
#include <cstdint>
#include "query/sample_math.h"

const int NTP_PORT = 123;
const int NTP_PACKET_SIZE = 48;

// 64-bit NTP timestamps: seconds since 1900 in the high 32 bits, the fraction
// of a second in the low 32.
typedef uint64_t NtpTimestamp;

// The stamp of local time t, its lowest 22 bits (under a millisecond)
// replaced by noise: the answer must echo them, which a forged answer cannot.
NtpTimestamp requestStamp(Millis1900 t, uint32_t noise);
void packNtpRequest(NtpTimestamp transmit, uint8_t packet[NTP_PACKET_SIZE]);

struct NtpAnswer {
  uint8_t leap;        // 3: the server's clock is not synchronized
  uint8_t version;
  uint8_t mode;        // 4: server
  uint8_t stratum;     // 0: Kiss-o'-Death, 1..15 usable
  uint32_t reference;  // with stratum 0, the kiss code as four ASCII bytes
  NtpTimestamp origin;   // the request's transmit stamp, echoed
  NtpTimestamp receive;  // T2
  NtpTimestamp transmit; // T3
};

void unpackNtpAnswer(const uint8_t packet[NTP_PACKET_SIZE], NtpAnswer& answer);

enum NtpVerdict {
  NTP_USE = 0,
  NTP_DROP = 1,        // not an answer to our request, or one not to use
  NTP_KISS_RATE = 2,   // asked too often: not again for a while
  NTP_KISS_DENY = 3,   // DENY or RSTR: not again at all
};

NtpVerdict judgeNtpAnswer(const NtpAnswer& answer, NtpTimestamp sent);

// What a failed receive on the request's socket means. Winsock's numbers are
// part of its ABI, so the rule can live here without its headers.
const int WINSOCK_WOULD_BLOCK = 10035;
const int WINSOCK_MESSAGE_SIZE = 10040;  // a datagram larger than the buffer: dropped
const int WINSOCK_CONNECTION_RESET = 10054;  // ICMP "port unreachable" for the request

enum NtpSocketOutcome {
  NTP_SOCKET_WAIT = 0,     // nothing to use yet: wait on for an answer
  NTP_SOCKET_REFUSED = 1,  // nobody serves NTP there
  NTP_SOCKET_FAILED = 2,   // the query ends as unanswered
};

NtpSocketOutcome judgeNtpSocketError(int error);

// The stamp in whole milliseconds (floor), its seconds read in the era
// nearest the local clock.
int64_t ntpStampMs(NtpTimestamp stamp, Millis1900 localNow);

// Whether the server held the request (T3 - T2) no longer than the round trip
// (T4 - T1) took, as far as readings cut to whole milliseconds can tell. An
// answer that claims more proves nothing: its bounds would come out inverted.
bool ntpHoldFits(const NtpAnswer& answer, Millis1900 sent, Millis1900 answered);

// The offset lies in [T3 - T4, T2 - T1] plus the user's offset, T1 (sent) and
// T4 (answered) being local readings cut to whole milliseconds.
OffsetBounds ntpSampleBounds(const NtpAnswer& answer, Millis1900 sent, Millis1900 answered,
                             int64_t userOffset);
// The same in microseconds, from local readings cut to whole microseconds:
// what the answer's fractions of a millisecond prove.
OffsetBounds ntpSampleBoundsUs(const NtpAnswer& answer, int64_t sentUs, int64_t answeredUs,
                               int64_t userOffset);
// The round trip less the server's own time, (T4 - T1) - (T3 - T2); 0 when
// the readings' grain makes it negative.
uint32_t ntpSampleLatency(const NtpAnswer& answer, Millis1900 sent, Millis1900 answered);

// Servers that sent a Kiss-o'-Death, by address, and until when they rest.
const int KISS_LOG_SIZE = 64;
const uint64_t KISS_RATE_REST_MS = 60000;
const uint64_t KISS_FOREVER = ~uint64_t{0};

struct KissLog {
  uint32_t address[KISS_LOG_SIZE];
  uint64_t until[KISS_LOG_SIZE];  // counter ms; KISS_FOREVER for DENY/RSTR
  bool used[KISS_LOG_SIZE];
};

// verdict is NTP_KISS_RATE or NTP_KISS_DENY; a rest never shortens. A full
// log makes room for the new rest: the entry whose rest ends first goes, one
// that is over or else the oldest rate kiss; a denial last.
void recordKiss(KissLog& log, uint32_t address, NtpVerdict verdict, uint64_t now);
// When the address may be asked again: now when it may, KISS_FOREVER never.
uint64_t kissRestUntil(const KissLog& log, uint32_t address, uint64_t now);
