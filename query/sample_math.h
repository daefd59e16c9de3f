// Arithmetic of one Time Protocol query: the 4-byte answer and the era it
// belongs to, what each sample proves about the offset, and the reduction of
// three samples to one server's latency, correction and bounds.
#pragma once
#include <cstdint>
#include "timebase/millis.h"
#include "timebase/offset_bounds.h"

const int TIME_PROTOCOL_PORT = 37;
const int TIME_ANSWER_SIZE = 4;

// An answer of S whole seconds means the server's clock read somewhere in
// [S, S+1) s; its middle is the unbiased reading.
const int64_t HALF_SECOND_MS = 500;
// A socket notification may wait this long in the message queue before it is
// stamped: with 50 servers answering at once under Wine, the connect
// notification was seen up to 18 ms after the server had already read its
// clock. The slack widens both bounds alike, so their midpoint stays centred.
const int64_t NOTIFY_SLACK_MS = 25;

// The middle of the interval, rounded down; exact for any 64-bit bounds.
int64_t boundsMidpoint(const OffsetBounds& b);
// [c - 500, c + 500): what a correction alone says about its server.
OffsetBounds boundsAround(int64_t correction);

// Milliseconds as microseconds, held at the limit beyond what 64 bits hold.
int64_t microsFromMillis(int64_t ms);
// The same interval in microseconds; ends beyond what 64 bits hold in
// microseconds (no real offset comes near) are held at the limit.
OffsetBounds boundsInMicros(const OffsetBounds& ms);
// A clock drifts between samples, so a bound proven at one time holds later
// only widened by the most a crystal drifts meanwhile. Where bounds are a
// fraction of a millisecond wide (NTP), that matters within a query.
// The microsecond bounds proven at provenAt, as they hold at time `to`.
OffsetBounds boundsCarriedTo(const OffsetBounds& us, Millis1900 provenAt, Millis1900 to);
// The intersection of n intervals; it does not hold when they share nothing.
OffsetBounds intersectBounds(const OffsetBounds b[], int n);

// Seconds since 1900 from the answer's 4 big-endian bytes.
uint32_t decodeTimeAnswer(const uint8_t answer[TIME_ANSWER_SIZE]);

// The answer's seconds in the 2^32-second era nearest the local clock, so a
// server past 2036-02-07 06:28:16 UTC, whose count has wrapped, reads right.
int64_t answerSeconds(uint32_t seconds, Millis1900 localNow);

// The middle of the answered second minus the local clock when the answer was
// read, advanced by half the sample's latency, plus the user's offset (64-bit,
// wrapping; the latency is halved unsigned).
int64_t sampleCorrection(uint32_t seconds, Millis1900 answered, uint32_t latency, int64_t userOffset);

// What causality proves: the server read its clock after the connection was
// established and before the answer was read, so the offset lies in
// [1000*S - answered, 1000*S + 1000 - connected), widened by the slack on
// either side and by the millisecond the clock readings drop, plus the user's
// offset.
OffsetBounds sampleBounds(uint32_t seconds, Millis1900 connected, Millis1900 answered,
                          int64_t userOffset);

struct ServerEstimate {
  uint32_t latency;      // mean of the three, unsigned 32-bit, truncated
  int64_t correction;    // midpoint of the bounds
  OffsetBounds bounds;   // intersection of the samples' bounds
};

// The intersection of the samples' bounds and its midpoint. Samples whose
// bounds do not intersect (a server that stepped its clock, say) give the
// mean of their corrections, with half a second either side.
ServerEstimate reduceSamples(const uint32_t latencies[3], const int64_t corrections[3],
                             const OffsetBounds bounds[3]);
